// What crosses files inside the morvex_cy module: the process-wide module
// state with its string table, the builders run at import, the name
// lookups, argument intake and the one-argument call used by fib.
#pragma once

#include "runtime/runtime.h"

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// String table: indices are fixed.

namespace strtab {
enum : int {
    question_mark,       // "?"
    asyncio_coroutines,  // "asyncio.coroutines"
    cline_in_traceback,  // "cline_in_traceback"
    cython_int,          // "cython.int"           (not interned)
    fib,                 // "fib"
    dunder_func,         // "__func__"
    i,                   // "i"
    is_coroutine,        // "_is_coroutine"
    loop,                // "loop"
    dunder_main,         // "__main__"
    dunder_module,       // "__module__"
    n,                   // "n"
    dunder_name,         // "__name__"
    pop,                 // "pop"
    module_name,         // "morvex.morvex_cy"
    filename,            // "morvex/morvex_cy.py"  (not interned)
    dunder_qualname,     // "__qualname__"
    range,               // "range"
    run_loop,            // "run_loop"
    s,                   // "s"
    dunder_test,         // "__test__"
    count
};
}  // namespace strtab

struct __Pyx_StringTabEntry {
    const char *s;
    unsigned short n;  // byte length including the terminating NUL
    unsigned int encoding : 5;
    unsigned int is_unicode : 1;
    unsigned int intern : 1;
};

// Unbound-method record for dict.pop. Filled at import; nothing reads it.
struct __Pyx_CachedCFunction {
    PyObject *type;
    PyObject **method_name;
    PyCFunction func;
    PyObject *method;
    int flag;
};

// ---------------------------------------------------------------------------
// Module state: one per process, owns a reference to everything it holds,
// never released (the module has no clear or free hook).

struct __pyx_mstatetype {
    PyObject *__pyx_d;                 // the module namespace
    PyObject *__pyx_b;                 // builtins
    PyObject *__pyx_cython_runtime;
    PyObject *__pyx_empty_tuple;
    PyObject *__pyx_empty_bytes;
    PyObject *__pyx_empty_unicode;
    PyTypeObject *__pyx_CyFunctionType;
    __Pyx_CachedCFunction __pyx_umethod_PyDict_Type_pop;
    PyObject *__pyx_codeobj_tab[2];    // [0] run_loop, [1] fib
    PyObject *__pyx_string_tab[strtab::count];
    PyObject *__pyx_int_1;
    __Pyx_CodeObjectCache __pyx_code_cache;
};

extern __pyx_mstatetype __pyx_mstate_global_static;
inline constexpr __pyx_mstatetype *__pyx_mstate_global = &__pyx_mstate_global_static;

// Fills a state slot with `value`, stealing it; -1 (slot untouched) when
// `value` is null because making it failed. A retried import gives back
// what an earlier attempt stored there.
inline int __pyx_state_set(PyObject **slot, PyObject *value) {
    if (!value)
        return -1;
    Py_XSETREF(*slot, value);
    return 0;
}

// The interned string at `index` of the string table (borrowed).
inline PyObject *__pyx_str(int index) {
    return __pyx_mstate_global->__pyx_string_tab[index];
}

// Its hash, computed when the table was built.
inline Py_hash_t __pyx_str_hash(int index) {
    return reinterpret_cast<PyASCIIObject *>(__pyx_str(index))->hash;
}

// ---------------------------------------------------------------------------
// Import-time builders (0, or -1 with an exception set)

int __Pyx_InitStrings();    // string table, every entry hashed
int __Pyx_InitConstants();  // dict.pop record, string table, the integer 1
int __Pyx_CreateCodeObjects();

// ---------------------------------------------------------------------------
// Name lookups (new reference, or null with an exception set)

PyObject *__Pyx_GetBuiltinName(PyObject *name);
// Module globals first, with the name's stored hash, then the builtins when
// the name is absent; an error raised by a key's comparison propagates.
PyObject *__Pyx__GetModuleGlobalName(PyObject *name, Py_hash_t hash);

// The host's dictionary key table as CPython 3.12 lays it out: only what a
// lookup of a remembered entry reads. The hash index (1 << dk_log2_index_bytes
// bytes) follows the header, then the entries.
struct __Pyx_DictKeysHead {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;  // 1: every key is a str, entries are (key, value)
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};
// The index starts right after the header, as the host's dk_indices does:
// 32 bytes with a 64-bit Py_ssize_t, 20 with a 32-bit one.
static_assert(sizeof(__Pyx_DictKeysHead) ==
              offsetof(__Pyx_DictKeysHead, dk_nentries) + sizeof(Py_ssize_t));

struct __Pyx_DictUnicodeEntry {
    PyObject *me_key;
    PyObject *me_value;
};

// A module-global name looked up at every use, remembering which entry of
// the namespace's key table held it. A binding replaced in place stays in
// that entry; deleting the name, or rebuilding the table, leaves the entry
// without it and the full lookup runs again.
struct __Pyx_GlobalEntry {
    // Entry that held the name at the last full lookup; kNoEntry, which is
    // above every table's entry count, when there was none.
    size_t index = kNoEntry;

    static constexpr size_t kNoEntry = ~size_t(0);
};

// Full lookup of the name at string-table index `name` (globals with the
// stored hash, then builtins) that also refreshes `entry`. New reference,
// or null with NameError.
PyObject *__Pyx_GetModuleGlobalEntrySlow(__Pyx_GlobalEntry *entry, int name);

// The binding that the remembered entry still holds, borrowed from the
// namespace (valid until Python code runs); null when the entry no longer
// holds the name and the full lookup must run. A table whose keys are all
// str gives the host's lookup no Python code to run, so reading the entry
// is that lookup. Only a combined table has the str-only kind: the values
// are in the entries.
template <int Name>
inline PyObject *__Pyx_PeekModuleGlobalEntry(const __Pyx_GlobalEntry &entry) {
    auto *globals = reinterpret_cast<PyDictObject *>(__pyx_mstate_global->__pyx_d);
    auto *keys = reinterpret_cast<const __Pyx_DictKeysHead *>(globals->ma_keys);
    size_t index = entry.index;
    if (keys->dk_kind != 1 || index >= size_t(keys->dk_nentries))
        return nullptr;
    auto *entries = reinterpret_cast<const __Pyx_DictUnicodeEntry *>(
        reinterpret_cast<const char *>(keys + 1) + (size_t(1) << keys->dk_log2_index_bytes));
    const __Pyx_DictUnicodeEntry &e = entries[index];
    return e.me_key == __pyx_str(Name) ? e.me_value : nullptr;
}

// The namespace's version tag. The host gives a dictionary a new tag, unique
// in the interpreter and never 0, whenever its contents change; while the
// tag is one seen before, every lookup in it finds what it found then.
inline uint64_t __Pyx_NamespaceVersion() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // still kept by 3.12
    return reinterpret_cast<PyDictObject *>(__pyx_mstate_global->__pyx_d)->ma_version_tag;
#pragma GCC diagnostic pop
}

// ---------------------------------------------------------------------------
// Argument intake

// Everything a wrapper needs to know about its single parameter.
struct __Pyx_OneIntParam {
    const char *function_name;  // in argument messages: "run_loop"
    const char *qualname;       // traceback entries: "morvex.morvex_cy.run_loop"
    int def_line;               // line of argument errors
    PyObject **argnames[2];     // slot of the interned parameter name, then null
};

// The argument of a one-int call: a new reference to the argument object
// and its 32-bit value; `object` is null when intake failed.
struct __Pyx_IntArg {
    PyObject *object;
    int value;
};

// Collects the one argument of a fast call (positional, or by keyword from
// a names tuple or a dictionary) and converts it to a 32-bit signed integer.
// On failure: exception set, nothing held, traceback entry added at the def
// line. Returned by value, so the hot path keeps both in registers.
__Pyx_IntArg __Pyx_TakeOneIntArgSlow(const __Pyx_OneIntParam &param, PyObject *const *args,
                                     Py_ssize_t nargs, PyObject *kwds);

// The common call, one compact int given positionally, stays inline.
inline __Pyx_IntArg __Pyx_TakeOneIntArg(const __Pyx_OneIntParam &param, PyObject *const *args,
                                        Py_ssize_t nargs, PyObject *kwds) {
    if (nargs == 1 && !kwds) {
        PyObject *x = args[0];
        auto *v = reinterpret_cast<PyLongObject *>(x);
        if (PyLong_Check(x) && _PyLong_IsCompact(v))
            return {Py_NewRef(x), int(_PyLong_CompactValue(v))};
    }
    return __Pyx_TakeOneIntArgSlow(param, args, nargs, kwds);
}

// The wrapper of a one-int function: intake, body, then the argument object
// is released whatever the body's outcome.
template <PyObject *(*Body)(PyObject *self, int value)>
PyObject *__Pyx_OneIntArgWrapper(const __Pyx_OneIntParam &param, PyObject *self,
                                 PyObject *const *args, Py_ssize_t nargs, PyObject *kwds) {
    __Pyx_IntArg arg = __Pyx_TakeOneIntArg(param, args, nargs, kwds);
    if (!arg.object)
        return nullptr;
    PyObject *result = Body(self, arg.value);
    Py_DECREF(arg.object);
    return result;
}

// ---------------------------------------------------------------------------
// The two functions

extern PyMethodDef __pyx_mdef_6morvex_9morvex_cy_1run_loop;
extern PyMethodDef __pyx_mdef_6morvex_9morvex_cy_3fib;

// Calls `func` with the vector `args` (the host's vectorcall conventions),
// taking the direct paths for the shared function type and for native
// one-argument functions. Every path spends one unit of the recursion
// budget, its own or the host's. Takes and releases no references.
PyObject *__Pyx_PyObject_FastCallDict(PyObject *func, PyObject *const *args, size_t nargsf,
                                      PyObject *kwargs);
