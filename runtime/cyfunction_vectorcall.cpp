// The four fast call entries. The constructor stores one of them in the
// record's vectorcall field, chosen from the calling convention, so a call
// never re-decides how to reach the native entry.
#include "runtime/runtime.h"

namespace {

// Where the native entry's `self` and arguments come from in one call.
struct CallFrame {
    PyObject *self;
    PyObject *const *args;
    Py_ssize_t nargs;
};

// Splits off `self`: the first argument for a method of a class, else
// m_self. False, with TypeError raised, when a method is called with no
// argument to be its self.
inline bool take_self(const __pyx_CyFunctionObject *f, PyObject *const *args, size_t nargsf,
                      CallFrame *frame) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (__Pyx_CyFunction_TakesSelfFromArgs(f)) {
        if (nargs == 0) {
            __Pyx_CyFunction_RaiseCallError(f->func.func.m_ml, "needs an argument");
            return false;
        }
        *frame = {args[0], args + 1, nargs - 1};
        return true;
    }
    *frame = {f->func.func.m_self, args, nargs};
    return true;
}

inline bool has_keywords(PyObject *kwnames) {
    return kwnames && PyTuple_GET_SIZE(kwnames) != 0;
}

// take_self for the conventions without keywords and with a fixed count
// (`expected`): false with TypeError raised, the missing self reported
// first, then keywords, then the count.
bool take_fixed_args(const __pyx_CyFunctionObject *f, PyObject *const *args, size_t nargsf,
                     PyObject *kwnames, Py_ssize_t expected, const char *count_message,
                     CallFrame *frame) {
    const PyMethodDef *def = f->func.func.m_ml;
    if (!take_self(f, args, nargsf, frame))
        return false;
    if (has_keywords(kwnames)) {
        __Pyx_CyFunction_RaiseCallError(def, "takes no keyword arguments");
        return false;
    }
    if (frame->nargs != expected) {
        __Pyx_CyFunction_RaiseCountError(def, count_message, frame->nargs);
        return false;
    }
    return true;
}

}  // namespace

PyObject *__Pyx_CyFunction_RaiseCallError(const PyMethodDef *def, const char *what) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", def->ml_name, what);
    return nullptr;
}

PyObject *__Pyx_CyFunction_RaiseCountError(const PyMethodDef *def, const char *what,
                                          Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", def->ml_name, what, given);
    return nullptr;
}

PyObject *__Pyx_CyFunction_Vectorcall_NOARGS(PyObject *func, PyObject *const *args, size_t nargsf,
                                             PyObject *kwnames) {
    const __pyx_CyFunctionObject *f = __Pyx_CyFunction_Cast(func);
    CallFrame frame;
    if (!take_fixed_args(f, args, nargsf, kwnames, 0, "takes no arguments", &frame))
        return nullptr;
    return f->func.func.m_ml->ml_meth(frame.self, nullptr);
}

PyObject *__Pyx_CyFunction_Vectorcall_O(PyObject *func, PyObject *const *args, size_t nargsf,
                                        PyObject *kwnames) {
    const __pyx_CyFunctionObject *f = __Pyx_CyFunction_Cast(func);
    CallFrame frame;
    if (!take_fixed_args(f, args, nargsf, kwnames, 1, "takes exactly one argument", &frame))
        return nullptr;
    return f->func.func.m_ml->ml_meth(frame.self, frame.args[0]);
}

// Hands the caller's vector on unchanged: the wrapped entry does its own
// arity and keyword checking.
PyObject *__Pyx_CyFunction_Vectorcall_FASTCALL_KEYWORDS(PyObject *func, PyObject *const *args,
                                                        size_t nargsf, PyObject *kwnames) {
    const __pyx_CyFunctionObject *f = __Pyx_CyFunction_Cast(func);
    CallFrame frame;
    if (!take_self(f, args, nargsf, &frame))
        return nullptr;
    auto meth = __Pyx_FunctionCast<_PyCFunctionFastWithKeywords>(f->func.func.m_ml->ml_meth);
    return meth(frame.self, frame.args, frame.nargs, kwnames);
}

PyObject *__Pyx_CyFunction_Vectorcall_FASTCALL_KEYWORDS_METHOD(PyObject *func,
                                                               PyObject *const *args,
                                                               size_t nargsf, PyObject *kwnames) {
    const __pyx_CyFunctionObject *f = __Pyx_CyFunction_Cast(func);
    CallFrame frame;
    if (!take_self(f, args, nargsf, &frame))
        return nullptr;
    auto meth = __Pyx_FunctionCast<PyCMethod>(f->func.func.m_ml->ml_meth);
    return meth(frame.self, f->func.mm_class, frame.args, size_t(frame.nargs), kwnames);
}
