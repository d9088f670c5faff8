// The attribute surface of a function object: getters and setters, the
// member, method and getset tables, the repr and pickling by qualified name.
// Values that are rarely needed are built on first read and kept.
#include "runtime/runtime.h"

#include <stddef.h>

namespace {

inline __pyx_CyFunctionObject *cyfunc(PyObject *op) {
    return __Pyx_CyFunction_Cast(op);
}

inline PyObject *or_none(PyObject *field) {
    return field ? field : Py_None;
}

// Stores a new value (taking a reference) and only then releases the old
// one, so code run by that release already sees the new value.
inline void replace_field(PyObject **field, PyObject *value) {
    Py_XSETREF(*field, Py_XNewRef(value));
}

// Keeps a lazily built value: stores `built` (taking over its reference)
// and returns a new reference to it. Null, field left empty, when building
// failed. Should the field have been filled while building ran code, the
// stored value wins and `built` is dropped.
inline PyObject *keep_built(PyObject **field, PyObject *built) {
    if (!built)
        return nullptr;
    if (*field) {
        Py_DECREF(built);
        return Py_NewRef(*field);
    }
    *field = built;
    return Py_NewRef(built);
}

__PYX_COLD int refuse(const char *message) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
}

// --- Name and qualified name ----------------------------------------------

PyObject *__Pyx_CyFunction_get_name(PyObject *op, void *) {
    __pyx_CyFunctionObject *f = cyfunc(op);
    if (f->func_name)
        return Py_NewRef(f->func_name);
    return keep_built(&f->func_name, PyUnicode_InternFromString(f->func.func.m_ml->ml_name));
}

int __Pyx_CyFunction_set_name(PyObject *op, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value))
        return refuse("__name__ must be set to a string object");
    replace_field(&cyfunc(op)->func_name, value);
    return 0;
}

// The qualified name and globals are set for the object's whole life, but
// the collector's clear empties them; a cleared object reads None.
PyObject *__Pyx_CyFunction_get_qualname(PyObject *op, void *) {
    return Py_NewRef(or_none(cyfunc(op)->func_qualname));
}

int __Pyx_CyFunction_set_qualname(PyObject *op, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value))
        return refuse("__qualname__ must be set to a string object");
    replace_field(&cyfunc(op)->func_qualname, value);
    return 0;
}

// --- Docstring --------------------------------------------------------------

PyObject *__Pyx_CyFunction_get_doc(PyObject *op, void *) {
    __pyx_CyFunctionObject *f = cyfunc(op);
    if (f->func_doc)
        return Py_NewRef(f->func_doc);
    const char *doc = f->func.func.m_ml->ml_doc;
    if (!doc)
        Py_RETURN_NONE;
    return keep_built(&f->func_doc, PyUnicode_FromString(doc));
}

// Deletion stores None, so the definition's doc text is not read again.
int __Pyx_CyFunction_set_doc(PyObject *op, PyObject *value, void *) {
    replace_field(&cyfunc(op)->func_doc, value ? value : Py_None);
    return 0;
}

// --- Attribute dictionary ---------------------------------------------------

PyObject *__Pyx_CyFunction_get_dict(PyObject *op, void *) {
    __pyx_CyFunctionObject *f = cyfunc(op);
    if (f->func_dict)
        return Py_NewRef(f->func_dict);
    return keep_built(&f->func_dict, PyDict_New());
}

int __Pyx_CyFunction_set_dict(PyObject *op, PyObject *value, void *) {
    if (!value)
        return refuse("function's dictionary may not be deleted");
    if (!PyDict_Check(value))
        return refuse("setting function's dictionary to a non-dict");
    replace_field(&cyfunc(op)->func_dict, value);
    return 0;
}

// --- Globals, closure, code ---------------------------------------------------

PyObject *__Pyx_CyFunction_get_globals(PyObject *op, void *) {
    return Py_NewRef(or_none(cyfunc(op)->func_globals));
}

PyObject *__Pyx_CyFunction_get_closure(PyObject *, void *) {
    Py_RETURN_NONE;
}

PyObject *__Pyx_CyFunction_get_code(PyObject *op, void *) {
    return Py_NewRef(or_none(cyfunc(op)->func_code));
}

// --- Defaults -------------------------------------------------------------

// Fills both defaults fields from the getter's (tuple, dict) pair.
int __Pyx_CyFunction_init_defaults(__pyx_CyFunctionObject *f) {
    PyObject *pair = f->defaults_getter(reinterpret_cast<PyObject *>(f));
    if (!pair)
        return -1;
    replace_field(&f->defaults_tuple, PyTuple_GET_ITEM(pair, 0));
    replace_field(&f->defaults_kwdict, PyTuple_GET_ITEM(pair, 1));
    Py_DECREF(pair);
    return 0;
}

// The field is read again after filling: the getter and the releases it
// causes may run code that assigns the attribute meanwhile.
PyObject *get_defaults_field(PyObject *op, PyObject *__pyx_CyFunctionObject::*field) {
    __pyx_CyFunctionObject *f = cyfunc(op);
    if (f->*field)
        return Py_NewRef(f->*field);
    if (!f->defaults_getter)
        Py_RETURN_NONE;
    if (__Pyx_CyFunction_init_defaults(f) < 0)
        return nullptr;
    return Py_NewRef(f->*field ? f->*field : Py_None);
}

// Type test first (a refused value warns not), then the warning, which the
// filters may turn into an error, then the store.
int set_defaults_field(PyObject *op, PyObject *value, PyObject *__pyx_CyFunctionObject::*field,
                       bool accepted, const char *type_message, const char *warning) {
    if (!accepted)
        return refuse(type_message);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0)
        return -1;
    replace_field(&(cyfunc(op)->*field), value);
    return 0;
}

PyObject *__Pyx_CyFunction_get_defaults(PyObject *op, void *) {
    return get_defaults_field(op, &__pyx_CyFunctionObject::defaults_tuple);
}

int __Pyx_CyFunction_set_defaults(PyObject *op, PyObject *value, void *) {
    if (!value)
        value = Py_None;
    return set_defaults_field(
        op, value, &__pyx_CyFunctionObject::defaults_tuple,
        value == Py_None || PyTuple_Check(value), "__defaults__ must be set to a tuple object",
        "changes to cyfunction.__defaults__ will not currently affect the values used in "
        "function calls");
}

PyObject *__Pyx_CyFunction_get_kwdefaults(PyObject *op, void *) {
    return get_defaults_field(op, &__pyx_CyFunctionObject::defaults_kwdict);
}

int __Pyx_CyFunction_set_kwdefaults(PyObject *op, PyObject *value, void *) {
    if (!value)
        value = Py_None;
    return set_defaults_field(
        op, value, &__pyx_CyFunctionObject::defaults_kwdict,
        value == Py_None || PyDict_Check(value), "__kwdefaults__ must be set to a dict object",
        "changes to cyfunction.__kwdefaults__ will not currently affect the values used in "
        "function calls");
}

// --- Annotations ------------------------------------------------------------

PyObject *__Pyx_CyFunction_get_annotations(PyObject *op, void *) {
    __pyx_CyFunctionObject *f = cyfunc(op);
    if (f->func_annotations)
        return Py_NewRef(f->func_annotations);
    return keep_built(&f->func_annotations, PyDict_New());
}

// Deletion and None empty the field; the next read makes a fresh dictionary.
int __Pyx_CyFunction_set_annotations(PyObject *op, PyObject *value, void *) {
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value))
        return refuse("__annotations__ must be set to a dict object");
    replace_field(&cyfunc(op)->func_annotations, value);
    return 0;
}

// --- Coroutine marker -------------------------------------------------------

// New reference: False without the coroutine flag; else asyncio's marker
// object, or True when it cannot be had (any error on the way is cleared).
PyObject *__Pyx_CyFunction_get_is_coroutine_value(const __pyx_CyFunctionObject *f) {
    if (!(f->flags & FUNC_FLAG_COROUTINE))
        Py_RETURN_FALSE;
    PyObject *fromlist = PyList_New(1);
    if (!fromlist)
        return nullptr;
    PyList_SET_ITEM(fromlist, 0, Py_NewRef(*__pyx_module_binding.is_coroutine_name));
    PyObject *module = PyImport_ImportModuleLevelObject(
        *__pyx_module_binding.asyncio_coroutines_name, nullptr, nullptr, fromlist, 0);
    Py_DECREF(fromlist);
    PyObject *marker = nullptr;
    if (module) {
        marker = PyObject_GenericGetAttr(module, *__pyx_module_binding.is_coroutine_name);
        Py_DECREF(module);
    }
    if (marker)
        return marker;
    PyErr_Clear();
    Py_RETURN_TRUE;
}

// The import may run code that reads the attribute too; the first value
// stored wins, and every later read returns it.
PyObject *__Pyx_CyFunction_get_is_coroutine(PyObject *op, void *) {
    __pyx_CyFunctionObject *f = cyfunc(op);
    if (f->func_is_coroutine)
        return Py_NewRef(f->func_is_coroutine);
    return keep_built(&f->func_is_coroutine, __Pyx_CyFunction_get_is_coroutine_value(f));
}

// --- Pickling -----------------------------------------------------------------

// Any positional arguments are ignored. The qualified name makes pickle and
// copy find the object in its module by name.
PyObject *__Pyx_CyFunction_reduce(PyObject *op, PyObject *) {
    return Py_NewRef(or_none(cyfunc(op)->func_qualname));
}

}  // namespace

PyObject *__Pyx_CyFunction_repr(PyObject *op) {
    __pyx_CyFunctionObject *f = cyfunc(op);
    if (!f->func_qualname)  // cleared by the collector
        return PyUnicode_FromFormat("<cyfunction %s at %p>", f->func.func.m_ml->ml_name, op);
    return PyUnicode_FromFormat("<cyfunction %U at %p>", f->func_qualname, op);
}

// ---------------------------------------------------------------------------
// Tables

#define PYX_GETSET(name, get, set) {name, get, set, nullptr, nullptr}

PyGetSetDef __pyx_CyFunction_getsets[] = {
    PYX_GETSET("func_doc", __Pyx_CyFunction_get_doc, __Pyx_CyFunction_set_doc),
    PYX_GETSET("__doc__", __Pyx_CyFunction_get_doc, __Pyx_CyFunction_set_doc),
    PYX_GETSET("func_name", __Pyx_CyFunction_get_name, __Pyx_CyFunction_set_name),
    PYX_GETSET("__name__", __Pyx_CyFunction_get_name, __Pyx_CyFunction_set_name),
    PYX_GETSET("__qualname__", __Pyx_CyFunction_get_qualname, __Pyx_CyFunction_set_qualname),
    PYX_GETSET("func_dict", __Pyx_CyFunction_get_dict, __Pyx_CyFunction_set_dict),
    PYX_GETSET("__dict__", __Pyx_CyFunction_get_dict, __Pyx_CyFunction_set_dict),
    PYX_GETSET("func_globals", __Pyx_CyFunction_get_globals, nullptr),
    PYX_GETSET("__globals__", __Pyx_CyFunction_get_globals, nullptr),
    PYX_GETSET("func_closure", __Pyx_CyFunction_get_closure, nullptr),
    PYX_GETSET("__closure__", __Pyx_CyFunction_get_closure, nullptr),
    PYX_GETSET("func_code", __Pyx_CyFunction_get_code, nullptr),
    PYX_GETSET("__code__", __Pyx_CyFunction_get_code, nullptr),
    PYX_GETSET("func_defaults", __Pyx_CyFunction_get_defaults, __Pyx_CyFunction_set_defaults),
    PYX_GETSET("__defaults__", __Pyx_CyFunction_get_defaults, __Pyx_CyFunction_set_defaults),
    PYX_GETSET("__kwdefaults__", __Pyx_CyFunction_get_kwdefaults, __Pyx_CyFunction_set_kwdefaults),
    PYX_GETSET("__annotations__", __Pyx_CyFunction_get_annotations,
               __Pyx_CyFunction_set_annotations),
    PYX_GETSET("_is_coroutine", __Pyx_CyFunction_get_is_coroutine, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The three offsets are read by the host while it builds the type: they
// become its instance-dictionary, vectorcall and weak-reference offsets.
PyMemberDef __pyx_CyFunction_members[] = {
    {"__module__", _Py_T_OBJECT, offsetof(PyCFunctionObject, m_module), 0, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(__pyx_CyFunctionObject, func_dict), Py_READONLY,
     nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(PyCFunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(PyCFunctionObject, m_weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef __pyx_CyFunction_methods[] = {
    {"__reduce__", __Pyx_CyFunction_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
