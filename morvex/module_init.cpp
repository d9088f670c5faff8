// The module's entry into the host: its definition for multi-phase
// initialisation, the creation slot (one interpreter, one module object per
// process) and the execution slot that fills the module state and binds
// run_loop and fib.
#include "morvex/module.h"

#include <stdint.h>

// A host that sets this before the import makes the module call itself
// "__main__". Read only while the module executes.
extern "C" {
__attribute__((visibility("default"))) int __pyx_module_is_main_morvex__morvex_cy = 0;
}

namespace {

constexpr const char kModuleName[] = "morvex.morvex_cy";
constexpr const char kInitFunctionName[] = "init morvex.morvex_cy";

// The interpreter that first created the module; -1 until then.
int64_t main_interpreter_id = -1;
// The module object, once execution has begun; cleared when it fails.
PyObject *__pyx_m = nullptr;

// ---------------------------------------------------------------------------
// Creation

int __Pyx_check_single_interpreter() {
    int64_t current_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current_id == -1)
        return -1;
    if (main_interpreter_id == -1) {
        main_interpreter_id = current_id;
        return 0;
    }
    if (current_id != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies spec.<from_name> to moddict[to_name]. A missing attribute is
// skipped; None is skipped unless `allow_none`.
int __Pyx_copy_spec_to_module(PyObject *spec, PyObject *moddict, const char *from_name,
                              const char *to_name, int allow_none) {
    PyObject *value = PyObject_GetAttrString(spec, from_name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    int result = 0;
    if (allow_none || value != Py_None)
        result = PyDict_SetItemString(moddict, to_name, value);
    Py_DECREF(value);
    return result;
}

PyObject *__pyx_pymod_create(PyObject *spec, PyModuleDef * /*def*/) {
    if (__Pyx_check_single_interpreter() < 0)
        return nullptr;
    if (__pyx_m)
        return Py_NewRef(__pyx_m);

    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (!name)
        return nullptr;
    OwnedRef module(PyModule_NewObject(name));
    Py_DECREF(name);
    if (!module)
        return nullptr;
    PyObject *moddict = PyModule_GetDict(module.get());  // borrowed
    if (!moddict)
        return nullptr;
    if (__Pyx_copy_spec_to_module(spec, moddict, "loader", "__loader__", 1) < 0 ||
        __Pyx_copy_spec_to_module(spec, moddict, "origin", "__file__", 1) < 0 ||
        __Pyx_copy_spec_to_module(spec, moddict, "parent", "__package__", 1) < 0 ||
        __Pyx_copy_spec_to_module(spec, moddict, "submodule_search_locations", "__path__", 0) < 0)
        return nullptr;
    return module.release();
}

// ---------------------------------------------------------------------------
// Execution steps

// Warns (RuntimeWarning) when the runtime's major.minor is not the one the
// module was compiled for; -1 when the filters turn the warning into an error.
int __Pyx_check_binary_version() {
    unsigned long runtime = Py_Version & ~0xFFUL;
    unsigned long runtime_major_minor = runtime >> 16;
    if (runtime_major_minor == ((PY_MAJOR_VERSION << 8) | PY_MINOR_VERSION))
        return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                  int((runtime >> 24) & 0xFF), int((runtime >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1);
}

// Namespace, builtins, the runtime module, the empty constants and the
// shared function type.
int exec_runtime_setup(PyObject *module) {
    __pyx_mstatetype *st = __pyx_mstate_global;
    // The module table hands out borrowed references; the state keeps its own.
    if (__pyx_state_set(&st->__pyx_d, Py_XNewRef(PyModule_GetDict(module))) < 0 ||
        __pyx_state_set(&st->__pyx_b, Py_XNewRef(PyImport_AddModule("builtins"))) < 0 ||
        __pyx_state_set(&st->__pyx_cython_runtime,
                        Py_XNewRef(PyImport_AddModule("cython_runtime"))) < 0)
        return -1;
    if (PyObject_SetAttrString(module, "__builtins__", st->__pyx_b) < 0 ||
        __Pyx_check_binary_version() < 0)
        return -1;
    if (__pyx_state_set(&st->__pyx_empty_tuple, PyTuple_New(0)) < 0 ||
        __pyx_state_set(&st->__pyx_empty_bytes, PyBytes_FromStringAndSize("", 0)) < 0 ||
        __pyx_state_set(&st->__pyx_empty_unicode, PyUnicode_FromStringAndSize("", 0)) < 0)
        return -1;
    return __pyx_CyFunction_init(module);
}

int exec_name_as_main(PyObject *module) {
    if (!__pyx_module_is_main_morvex__morvex_cy)
        return 0;
    return PyObject_SetAttr(module, __pyx_str(strtab::dunder_name), __pyx_str(strtab::dunder_main));
}

// Adds the module to the host's module table unless the name is taken,
// whatever holds it. The lookup reports its errors: one that read as "no
// entry" would replace what the table holds.
int exec_register_module(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (!modules)
        return -1;
    PyObject *name = __pyx_str(strtab::module_name);
    if (PyDict_GetItemWithError(modules, name))
        return 0;
    if (PyErr_Occurred())
        return -1;
    return PyDict_SetItem(modules, name, module);
}

int exec_check_builtins() {
    PyObject *range = __Pyx_GetBuiltinName(__pyx_str(strtab::range));
    if (!range)
        return -1;
    Py_DECREF(range);
    return 0;
}

// Makes the function object for `def` with annotations {param: "cython.int"}
// and binds it in the namespace under `name`, which is also its qualified name.
int exec_bind_function(PyMethodDef *def, int name, int param, PyObject *code) {
    __pyx_mstatetype *st = __pyx_mstate_global;
    OwnedRef annotations(PyDict_New());
    if (!annotations)
        return -1;
    if (PyDict_SetItem(annotations.get(), __pyx_str(param), __pyx_str(strtab::cython_int)) < 0)
        return -1;
    OwnedRef function(__Pyx_CyFunction_New(def, 0, __pyx_str(name), nullptr,
                                           __pyx_str(strtab::module_name), st->__pyx_d, code));
    if (!function)
        return -1;
    __Pyx_CyFunction_SetAnnotationsDict(function.get(), annotations.release());
    return PyDict_SetItem(st->__pyx_d, __pyx_str(name), function.get());
}

int exec_bind_test_dict() {
    OwnedRef test(PyDict_New());
    if (!test)
        return -1;
    return PyDict_SetItem(__pyx_mstate_global->__pyx_d, __pyx_str(strtab::dunder_test), test.get());
}

// Failure path: the pending exception stands. Once the string table and the
// constants stand (`line` > 0), an entry "init morvex.morvex_cy" at `line`
// is added. The module is forgotten, so a later import starts over; the
// state keeps what the steps had set.
__PYX_COLD int exec_failed(int line) {
    if (__pyx_m) {
        if (line > 0 && __pyx_mstate_global->__pyx_d)
            __Pyx_AddTraceback(kInitFunctionName, line);
        Py_CLEAR(__pyx_m);
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, kInitFunctionName);
    }
    return -1;
}

int __pyx_pymod_exec_morvex_cy(PyObject *module) {
    if (__pyx_m) {
        if (__pyx_m == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'morvex_cy' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    __pyx_m = Py_NewRef(module);
    __pyx_mstatetype *st = __pyx_mstate_global;

    if (exec_runtime_setup(module) < 0 || __Pyx_InitConstants() < 0)
        return exec_failed(0);
    // From here on the string table and constants stand: failures add a
    // traceback entry at the source line of the failing statement.
    if (PyErr_Occurred())
        return exec_failed(1);
    if (exec_name_as_main(module) < 0 || exec_register_module(module) < 0 ||
        exec_check_builtins() < 0 || __Pyx_CreateCodeObjects() < 0)
        return exec_failed(1);
    if (exec_bind_function(&__pyx_mdef_6morvex_9morvex_cy_1run_loop, strtab::run_loop,
                           strtab::loop, st->__pyx_codeobj_tab[0]) < 0)
        return exec_failed(23);
    if (exec_bind_function(&__pyx_mdef_6morvex_9morvex_cy_3fib, strtab::fib, strtab::n,
                           st->__pyx_codeobj_tab[1]) < 0)
        return exec_failed(32);
    if (exec_bind_test_dict() < 0)
        return exec_failed(1);
    return 0;
}

// ---------------------------------------------------------------------------
// Definition

PyMethodDef __pyx_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot __pyx_moduledef_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(__pyx_pymod_create)},
    {Py_mod_exec, reinterpret_cast<void *>(__pyx_pymod_exec_morvex_cy)},
    {0, nullptr},
};

constexpr const char kModuleDoc[] =
    "pure python with cython type annotation\n"
    "\n"
    "Install:\n"
    "pip install cython\n"
    "\n"
    "To run cython:\n"
    "1. python setup.py build_ext --inplace\n"
    "This generates .c source file and .so library file.\n"
    "2. python cython_call.py\n"
    "Call cython modules in a normal .py file.\n"
    " \n"
    "time python cython_call.py 500000000\n"
    "sum: 500000000\n"
    "\n"
    "real    0m0.025s\n"
    "user    0m0.020s\n"
    "sys     0m0.000s\n";
static_assert(sizeof(kModuleDoc) - 1 == 349);

PyModuleDef __pyx_moduledef = {
    PyModuleDef_HEAD_INIT,
    "morvex_cy",
    kModuleDoc,
    0,  // all state is process-wide
    __pyx_methods,
    __pyx_moduledef_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_morvex_cy() {
    return PyModuleDef_Init(&__pyx_moduledef);
}
