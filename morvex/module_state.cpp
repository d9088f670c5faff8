// The process-wide module state, its string table and constants, and what
// the shared runtime is told about this module.
#include "morvex/module.h"

__pyx_mstatetype __pyx_mstate_global_static = {};

const __Pyx_ModuleBinding __pyx_module_binding = {
    &__pyx_mstate_global_static.__pyx_d,
    "morvex/morvex_cy.py",
    &__pyx_mstate_global_static.__pyx_code_cache,
    &__pyx_mstate_global_static.__pyx_CyFunctionType,
    &__pyx_mstate_global_static.__pyx_string_tab[strtab::asyncio_coroutines],
    &__pyx_mstate_global_static.__pyx_string_tab[strtab::is_coroutine],
};

namespace {

// Index 0 means "no encoding": every entry is ASCII text.
const char *const __pyx_string_tab_encodings[] = {nullptr};

PyObject *build_string(const __Pyx_StringTabEntry &e) {
    Py_ssize_t length = e.n - 1;
    if (!e.is_unicode)
        return PyBytes_FromStringAndSize(e.s, length);
    if (e.intern)
        return PyUnicode_InternFromString(e.s);
    if (e.encoding)
        return PyUnicode_Decode(e.s, length, __pyx_string_tab_encodings[e.encoding], nullptr);
    return PyUnicode_FromStringAndSize(e.s, length);
}

// Entry i becomes state slot i; `n` counts the terminating NUL.
#define PYX_STR(text, interned) {text, sizeof(text), 0, 1, interned}

const __Pyx_StringTabEntry __pyx_string_tab[] = {
    PYX_STR("?", 0),
    PYX_STR("asyncio.coroutines", 1),
    PYX_STR("cline_in_traceback", 1),
    PYX_STR("cython.int", 0),
    PYX_STR("fib", 1),
    PYX_STR("__func__", 1),
    PYX_STR("i", 1),
    PYX_STR("_is_coroutine", 1),
    PYX_STR("loop", 1),
    PYX_STR("__main__", 1),
    PYX_STR("__module__", 1),
    PYX_STR("n", 1),
    PYX_STR("__name__", 1),
    PYX_STR("pop", 1),
    PYX_STR("morvex.morvex_cy", 1),
    PYX_STR("morvex/morvex_cy.py", 0),
    PYX_STR("__qualname__", 1),
    PYX_STR("range", 1),
    PYX_STR("run_loop", 1),
    PYX_STR("s", 1),
    PYX_STR("__test__", 1),
    {nullptr, 0, 0, 0, 0},
};

static_assert(sizeof(__pyx_string_tab) / sizeof(__pyx_string_tab[0]) == strtab::count + 1,
              "one table entry per state slot, then the end entry");

}  // namespace

int __Pyx_InitStrings() {
    PyObject **slots = __pyx_mstate_global->__pyx_string_tab;
    for (int i = 0; __pyx_string_tab[i].s; i++) {
        if (__pyx_state_set(&slots[i], build_string(__pyx_string_tab[i])) < 0)
            return -1;
        // The host caches the hash in the string: lookups and keyword
        // matching never compute it again.
        if (PyObject_Hash(slots[i]) == -1)
            return -1;
    }
    return 0;
}

int __Pyx_InitConstants() {
    __Pyx_CachedCFunction &pop = __pyx_mstate_global->__pyx_umethod_PyDict_Type_pop;
    pop.type = reinterpret_cast<PyObject *>(&PyDict_Type);
    pop.method_name = &__pyx_mstate_global->__pyx_string_tab[strtab::pop];
    if (__Pyx_InitStrings() < 0)
        return -1;
    return __pyx_state_set(&__pyx_mstate_global->__pyx_int_1, PyLong_FromLong(1));
}
