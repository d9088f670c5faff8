// The call fib makes at each recursive step: whatever object the global
// name is bound to, with a vector of arguments and no tuple or dictionary.
#include "morvex/module.h"

namespace {

// True when `type` is `base` or derives from it, by the chain of tp_base
// links; running off the end counts only when `base` is object itself.
bool __Pyx_InBases(PyTypeObject *type, PyTypeObject *base) {
    while (type) {
        type = type->tp_base;
        if (type == base)
            return true;
    }
    return base == &PyBaseObject_Type;
}

// True when `type` is `a` or `b` or derives from either.
bool __Pyx_IsAnySubtype2(PyTypeObject *type, PyTypeObject *a, PyTypeObject *b) {
    if (type == a || type == b)
        return true;
    PyObject *mro = type->tp_mro;
    if (mro) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
            PyObject *base = PyTuple_GET_ITEM(mro, i);
            if (base == reinterpret_cast<PyObject *>(a) || base == reinterpret_cast<PyObject *>(b))
                return true;
        }
        return false;
    }
    return __Pyx_InBases(type, a) || __Pyx_InBases(type, b);
}

// A builtin or shared-type function: its record starts with the host's
// builtin-function fields, m_ml among them.
bool is_function_like(PyObject *func) {
    return __Pyx_IsAnySubtype2(Py_TYPE(func), __pyx_mstate_global->__pyx_CyFunctionType,
                               &PyCFunction_Type);
}

// A function whose native entry takes one argument as it is, with the self
// its record holds. A shared-type method of a class takes its self from the
// call's first argument instead (its record's m_self is the function
// itself), so it goes through its own entry, which says what is missing.
bool takes_one_arg_natively(PyObject *func) {
    if (!is_function_like(func) ||
        !(reinterpret_cast<PyCFunctionObject *>(func)->m_ml->ml_flags & METH_O))
        return false;
    return !PyObject_TypeCheck(func, __pyx_mstate_global->__pyx_CyFunctionType) ||
           !__Pyx_CyFunction_TakesSelfFromArgs(__Pyx_CyFunction_Cast(func));
}

// Calls a native METH_O function directly, inside the host's recursion guard.
PyObject *__Pyx_PyObject_CallMethO(PyObject *func, PyObject *arg) {
    const PyCFunctionObject *f = reinterpret_cast<PyCFunctionObject *>(func);
    PyObject *self = (f->m_ml->ml_flags & METH_STATIC) ? nullptr : f->m_self;
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject *result = f->m_ml->ml_meth(self, arg);
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return result;
}

// The callable's vectorcall function, or null when it has none. The shared
// type keeps it in the record itself.
vectorcallfunc __Pyx_PyVectorcall_Function(PyObject *callable) {
    if (Py_IS_TYPE(callable, __pyx_mstate_global->__pyx_CyFunctionType))
        return reinterpret_cast<PyCFunctionObject *>(callable)->vectorcall;
    return PyVectorcall_Function(callable);
}

// Calls a vectorcall entry without keywords. A Python function's entry runs
// the interpreter, which spends a unit of the recursion budget itself; any
// other native entry may recurse back into fib with nothing to bound the
// native stack, so the call spends one here.
PyObject *call_vectorcall(vectorcallfunc vc, PyObject *func, PyObject *const *args,
                          size_t nargsf) {
    if (PyFunction_Check(func))
        return vc(func, args, nargsf, nullptr);
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject *result = vc(func, args, nargsf, nullptr);
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

PyObject *__Pyx_PyObject_FastCallDict(PyObject *func, PyObject *const *args, size_t nargsf,
                                      PyObject *kwargs) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwargs) {
        if (nargs == 1 && takes_one_arg_natively(func))
            return __Pyx_PyObject_CallMethO(func, args[0]);
        if (vectorcallfunc vc = __Pyx_PyVectorcall_Function(func))
            return call_vectorcall(vc, func, args, nargsf);
    }
    // The host's call through tp_call spends a unit of the recursion budget.
    return PyObject_VectorcallDict(func, args, size_t(nargs), kwargs);
}
