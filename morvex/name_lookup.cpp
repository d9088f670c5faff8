// Lookups of names in the builtins and in the module's globals.
#include "morvex/module.h"

namespace {

__PYX_COLD PyObject *raise_name_error(PyObject *name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

}  // namespace

PyObject *__Pyx_GetBuiltinName(PyObject *name) {
    PyObject *builtins = __pyx_mstate_global->__pyx_b;
    PyTypeObject *type = Py_TYPE(builtins);
    PyObject *result;
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        // Reports a missing attribute by a null result, without raising.
        result = _PyObject_GenericGetAttrWithDict(builtins, name, nullptr, 1);
        if (result)
            return result;
    } else {
        result = type->tp_getattro ? type->tp_getattro(builtins, name)
                                   : PyObject_GetAttr(builtins, name);
        if (result)
            return result;
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Clear();
    }
    if (PyErr_Occurred())
        return nullptr;
    return raise_name_error(name);
}

PyObject *__Pyx__GetModuleGlobalName(PyObject *name, Py_hash_t hash) {
    PyObject *found = _PyDict_GetItem_KnownHash(__pyx_mstate_global->__pyx_d, name, hash);
    if (found)
        return Py_NewRef(found);
    PyErr_Clear();
    return __Pyx_GetBuiltinName(name);
}
