// The function-object record: construction, garbage-collector hooks,
// deallocation, and the type spec that ties in the call and attribute slots.
#include "runtime/runtime.h"

namespace {

// The calling conventions a function object can be built for.
constexpr int kCallFlagsMask =
    METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;

// The fast call entry for `ml_flags`. Sets *ok to false for a convention the
// type cannot call; a null entry with *ok true routes calls through tp_call.
vectorcallfunc choose_vectorcall(int ml_flags, bool *ok) {
    *ok = true;
    switch (ml_flags & kCallFlagsMask) {
    case METH_VARARGS | METH_KEYWORDS:
        return nullptr;
    case METH_NOARGS:
        return __Pyx_CyFunction_Vectorcall_NOARGS;
    case METH_O:
        return __Pyx_CyFunction_Vectorcall_O;
    case METH_FASTCALL | METH_KEYWORDS:
        return __Pyx_CyFunction_Vectorcall_FASTCALL_KEYWORDS;
    case METH_METHOD | METH_FASTCALL | METH_KEYWORDS:
        return __Pyx_CyFunction_Vectorcall_FASTCALL_KEYWORDS_METHOD;
    default:
        *ok = false;
        return nullptr;
    }
}

int __Pyx_CyFunction_clear(PyObject *op) {
    __pyx_CyFunctionObject *m = __Pyx_CyFunction_Cast(op);
    Py_CLEAR(m->func_closure);
    Py_CLEAR(m->func.func.m_module);
    Py_CLEAR(m->func_dict);
    Py_CLEAR(m->func_name);
    Py_CLEAR(m->func_qualname);
    Py_CLEAR(m->func_doc);
    Py_CLEAR(m->func_globals);
    Py_CLEAR(m->func_code);
    Py_CLEAR(m->func.mm_class);
    Py_CLEAR(m->defaults_tuple);
    Py_CLEAR(m->defaults_kwdict);
    Py_CLEAR(m->func_annotations);
    Py_CLEAR(m->func_is_coroutine);
    Py_CLEAR(m->defaults);
    return 0;
}

// Visits what can lead back to the function in a cycle: everything but the
// code object, which cannot be replaced and holds only constants. The name
// and qualified name can (a str subclass instance has a __dict__), and so can
// the annotations (any dict may be assigned); left unvisited, a cycle through
// them would never be collected.
int __Pyx_CyFunction_traverse(PyObject *op, visitproc visit, void *arg) {
    __pyx_CyFunctionObject *m = __Pyx_CyFunction_Cast(op);
    Py_VISIT(m->func_closure);
    Py_VISIT(m->func.func.m_module);
    Py_VISIT(m->func_dict);
    Py_VISIT(m->func_doc);
    Py_VISIT(m->func_globals);
    Py_VISIT(m->func.mm_class);
    Py_VISIT(m->defaults_tuple);
    Py_VISIT(m->defaults_kwdict);
    Py_VISIT(m->func_is_coroutine);
    Py_VISIT(m->defaults);
    Py_VISIT(m->func_name);
    Py_VISIT(m->func_qualname);
    Py_VISIT(m->func_annotations);
    return 0;
}

void __Pyx_CyFunction_dealloc(PyObject *op) {
    __pyx_CyFunctionObject *m = __Pyx_CyFunction_Cast(op);
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (m->func.func.m_weakreflist)
        PyObject_ClearWeakRefs(op);
    __Pyx_CyFunction_clear(op);
    PyObject_GC_Del(op);
    Py_DECREF(type);  // instances of heap types own their type
}

}  // namespace

PyObject *__Pyx_CyFunction_New(PyMethodDef *ml, int flags, PyObject *qualname, PyObject *closure,
                               PyObject *module, PyObject *globals, PyObject *code) {
    PyTypeObject *type = *__pyx_module_binding.function_type;
    __pyx_CyFunctionObject *op = PyObject_GC_New(__pyx_CyFunctionObject, type);
    if (!op)
        return nullptr;
    // Every field is set before anything can fail: dealloc may run on a
    // refused object and must find a consistent record.
    op->flags = flags;
    op->func.func.m_weakreflist = nullptr;
    op->func.func.m_ml = ml;
    op->func.func.m_self = reinterpret_cast<PyObject *>(op);  // no reference: it is itself
    op->func_closure = Py_XNewRef(closure);
    op->func.func.m_module = Py_XNewRef(module);
    op->func_dict = nullptr;
    op->func_name = nullptr;
    op->func_qualname = Py_NewRef(qualname);
    op->func_doc = nullptr;
    op->func_globals = Py_NewRef(globals);
    op->func.mm_class = nullptr;
    op->func_code = Py_XNewRef(code);
    op->defaults = nullptr;
    op->defaults_tuple = nullptr;
    op->defaults_kwdict = nullptr;
    op->defaults_getter = nullptr;
    op->func_annotations = nullptr;
    op->func_is_coroutine = nullptr;

    bool supported;
    op->func.func.vectorcall = choose_vectorcall(ml->ml_flags, &supported);
    if (!supported) {
        PyErr_SetString(PyExc_SystemError, "Bad call flags for CyFunction");
        Py_DECREF(op);
        return nullptr;
    }
    PyObject_GC_Track(op);
    return reinterpret_cast<PyObject *>(op);
}

void __Pyx_CyFunction_SetAnnotationsDict(PyObject *func, PyObject *dict) {
    Py_XSETREF(__Pyx_CyFunction_Cast(func)->func_annotations, dict);
}

// ---------------------------------------------------------------------------
// The type

namespace {

PyType_Slot __pyx_CyFunctionType_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(__Pyx_CyFunction_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(__Pyx_CyFunction_repr)},
    {Py_tp_call, reinterpret_cast<void *>(__Pyx_CyFunction_CallAsMethod)},
    {Py_tp_traverse, reinterpret_cast<void *>(__Pyx_CyFunction_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(__Pyx_CyFunction_clear)},
    {Py_tp_methods, __pyx_CyFunction_methods},
    {Py_tp_members, __pyx_CyFunction_members},
    {Py_tp_getset, __pyx_CyFunction_getsets},
    {Py_tp_descr_get, reinterpret_cast<void *>(__Pyx_PyMethod_New)},
    {0, nullptr},
};

}  // namespace

// Instances are made only by __Pyx_CyFunction_New: a record that Python code
// created blank would have no method definition to call or name to show.
PyType_Spec __pyx_CyFunctionType_spec = {
    "_cython_3_1_1.cython_function_or_method",
    sizeof(__pyx_CyFunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    __pyx_CyFunctionType_slots,
};
