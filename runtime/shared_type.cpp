// One type object per process for every module of this runtime generation,
// kept in the dictionary of the registry module `_cython_3_1_1`.
#include "runtime/runtime.h"

#include <string.h>

namespace {

constexpr const char kRegistryModuleName[] = "_cython_3_1_1";

// New reference to the registry module, made empty in the host's module
// table when absent; null with an exception set.
PyObject *__Pyx_FetchSharedCythonABIModule() {
    return Py_XNewRef(PyImport_AddModule(kRegistryModuleName));
}

// 0 when `cached_type` can serve as the type, else -1 with TypeError.
__PYX_COLD int __Pyx_VerifyCachedType(PyObject *cached_type, const char *name,
                                      Py_ssize_t expected_basicsize) {
    if (!PyType_Check(cached_type)) {
        PyErr_Format(PyExc_TypeError, "Shared Cython type %.200s is not a type object", name);
        return -1;
    }
    if (reinterpret_cast<PyTypeObject *>(cached_type)->tp_basicsize != expected_basicsize) {
        PyErr_Format(PyExc_TypeError,
                     "Shared Cython type %.200s has the wrong size, try recompiling", name);
        return -1;
    }
    return 0;
}

// New reference to the registry's type under `key`, verified; builds and
// registers one when the key is free. Insert-or-get, so a module that races
// us through the host's import machinery makes us adopt its type.
PyObject *fetch_or_register(PyObject *registry, PyObject *key, const char *key_text,
                            PyType_Spec *spec, PyObject *bases) {
    PyObject *dict = PyModule_GetDict(registry);  // borrowed
    if (!dict)
        return nullptr;
    PyObject *cached = PyDict_GetItemWithError(dict, key);  // borrowed
    if (cached) {
        if (__Pyx_VerifyCachedType(cached, key_text, spec->basicsize) < 0)
            return nullptr;
        return Py_NewRef(cached);
    }
    if (PyErr_Occurred())
        return nullptr;

    OwnedRef fresh(PyType_FromModuleAndSpec(registry, spec, bases));
    if (!fresh) {
        // CPython 3.12 can fail an allocation for the type's name without
        // reporting it; the import must not fail without an exception.
        if (!PyErr_Occurred())
            PyErr_NoMemory();
        return nullptr;
    }
    PyObject *stored = PyDict_SetDefault(dict, key, fresh.get());  // borrowed
    if (!stored)
        return nullptr;
    if (stored == fresh.get())
        return fresh.release();
    if (__Pyx_VerifyCachedType(stored, key_text, spec->basicsize) < 0)
        return nullptr;
    return Py_NewRef(stored);
}

}  // namespace

PyTypeObject *__Pyx_FetchCommonTypeFromSpec(PyObject * /*module*/, PyType_Spec *spec,
                                            PyObject *bases) {
    const char *dot = strrchr(spec->name, '.');
    const char *key_text = dot ? dot + 1 : spec->name;
    OwnedRef key(PyUnicode_FromString(key_text));
    if (!key)
        return nullptr;
    OwnedRef registry(__Pyx_FetchSharedCythonABIModule());
    if (!registry)
        return nullptr;
    return reinterpret_cast<PyTypeObject *>(
        fetch_or_register(registry.get(), key.get(), key_text, spec, bases));
}

int __pyx_CyFunction_init(PyObject *module) {
    PyTypeObject *type = __Pyx_FetchCommonTypeFromSpec(module, &__pyx_CyFunctionType_spec, nullptr);
    if (!type)
        return -1;
    // A retried import fetches again; the earlier reference is given back.
    Py_XSETREF(*__pyx_module_binding.function_type, type);
    return 0;
}
