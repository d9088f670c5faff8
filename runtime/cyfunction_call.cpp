// The generic call slot (argument tuple and keyword dictionary) and the
// binding of a function object fetched through an instance.
#include "runtime/runtime.h"

#include <string.h>

namespace {

inline bool has_keywords(PyObject *kw) {
    return kw && PyDict_Size(kw) != 0;
}

// No keywords and exactly `expected` positionals; false with TypeError.
bool check_fixed_args(const PyMethodDef *def, PyObject *args, PyObject *kw, Py_ssize_t expected,
                      const char *count_message) {
    if (has_keywords(kw)) {
        __Pyx_CyFunction_RaiseCallError(def, "takes no keyword arguments");
        return false;
    }
    if (PyTuple_GET_SIZE(args) != expected) {
        __Pyx_CyFunction_RaiseCountError(def, count_message, PyTuple_GET_SIZE(args));
        return false;
    }
    return true;
}

// Calls the native entry of a tuple-taking convention with `self`.
PyObject *__Pyx_CyFunction_CallMethod(PyObject *func, PyObject *self, PyObject *args,
                                      PyObject *kw) {
    const PyMethodDef *def = __Pyx_CyFunction_Cast(func)->func.func.m_ml;
    PyCFunction meth = def->ml_meth;
    switch (def->ml_flags & (METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O)) {
    case METH_VARARGS:
        if (has_keywords(kw))
            return __Pyx_CyFunction_RaiseCallError(def, "takes no keyword arguments");
        return meth(self, args);
    case METH_VARARGS | METH_KEYWORDS:
        return __Pyx_FunctionCast<PyCFunctionWithKeywords>(meth)(self, args, kw);
    case METH_NOARGS:
        if (!check_fixed_args(def, args, kw, 0, "takes no arguments"))
            return nullptr;
        return meth(self, nullptr);
    case METH_O:
        if (!check_fixed_args(def, args, kw, 1, "takes exactly one argument"))
            return nullptr;
        return meth(self, PyTuple_GET_ITEM(args, 0));
    default:
        PyErr_SetString(PyExc_SystemError, "Bad call flags for CyFunction");
        return nullptr;
    }
}

// Calls `vc` with the positionals and the dictionary's items turned into a
// names tuple. The entry count is read once; exactly the stored values are
// released afterwards.
PyObject *__Pyx_PyVectorcall_FastCallDict(PyObject *func, vectorcallfunc vc,
                                          PyObject *const *positional, Py_ssize_t nargs,
                                          PyObject *kw) {
    if (!kw || PyDict_GET_SIZE(kw) == 0)
        return vc(func, positional, size_t(nargs), nullptr);

    Py_ssize_t nkw = PyDict_GET_SIZE(kw);
    auto **array = static_cast<PyObject **>(PyMem_Malloc(size_t(nargs + nkw) * sizeof(PyObject *)));
    if (!array)
        return PyErr_NoMemory();
    if (nargs)
        memcpy(array, positional, size_t(nargs) * sizeof(PyObject *));
    PyObject *names = PyTuple_New(nkw);
    if (!names) {
        PyMem_Free(array);
        return nullptr;
    }

    PyObject **values = array + nargs;
    Py_ssize_t pos = 0, stored = 0;
    PyObject *key, *value;
    unsigned long key_flags = Py_TPFLAGS_UNICODE_SUBCLASS;
    while (stored < nkw && PyDict_Next(kw, &pos, &key, &value)) {
        key_flags &= Py_TYPE(key)->tp_flags;
        PyTuple_SET_ITEM(names, stored, Py_NewRef(key));
        values[stored] = Py_NewRef(value);
        stored++;
    }

    PyObject *result;
    if (key_flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        result = vc(func, array, size_t(nargs), names);
    } else {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        result = nullptr;
    }

    Py_DECREF(names);
    for (Py_ssize_t i = 0; i < stored; i++)
        Py_DECREF(values[i]);
    PyMem_Free(array);
    return result;
}

__PYX_COLD PyObject *raise_unbound_needs_argument(const __pyx_CyFunctionObject *f) {
    if (f->func_qualname)
        PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument",
                     f->func_qualname);
    else  // cleared by the collector
        PyErr_Format(PyExc_TypeError, "unbound method %.200s() needs an argument",
                     f->func.func.m_ml->ml_name);
    return nullptr;
}

}  // namespace

PyObject *__Pyx_CyFunction_CallAsMethod(PyObject *func, PyObject *args, PyObject *kw) {
    __pyx_CyFunctionObject *f = __Pyx_CyFunction_Cast(func);
    vectorcallfunc vc = f->func.func.vectorcall;
    if (vc)
        return __Pyx_PyVectorcall_FastCallDict(func, vc, &PyTuple_GET_ITEM(args, 0),
                                               PyTuple_GET_SIZE(args), kw);
    if (!__Pyx_CyFunction_TakesSelfFromArgs(f))
        return __Pyx_CyFunction_CallMethod(func, f->func.func.m_self, args, kw);

    OwnedRef rest(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    if (!rest)
        return nullptr;
    if (PyTuple_GET_SIZE(args) == 0)
        return raise_unbound_needs_argument(f);
    return __Pyx_CyFunction_CallMethod(func, PyTuple_GET_ITEM(args, 0), rest.get(), kw);
}

PyObject *__Pyx_PyMethod_New(PyObject *func, PyObject *self, PyObject * /*type*/) {
    if (!self)
        return Py_NewRef(func);
    return PyMethod_New(func, self);
}
