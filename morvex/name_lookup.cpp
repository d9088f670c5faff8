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
    // A key's comparison can raise (KeyboardInterrupt among others): that is
    // the lookup's outcome, as in the host's own global lookup. Only a name
    // that is absent falls back to the builtins.
    if (PyErr_Occurred())
        return nullptr;
    return __Pyx_GetBuiltinName(name);
}

namespace {

// Index sizes by table size, as the host chooses them: 8-byte slots only
// where pointers are 8 bytes wide.
int index_bytes_log2(int log2_size) {
    return log2_size < 8 ? 0 : log2_size < 16 ? 1 : log2_size < 32 || SIZEOF_VOID_P <= 4 ? 2 : 3;
}

// Largest table the reader accepts: its index, up to 8 bytes a slot, and its
// slot count stay below the width of size_t, whatever that width is.
constexpr int kMaxLog2Size = 8 * int(sizeof(size_t)) - 4;

// The entry of `globals`' key table that holds `name` bound to `value`, or
// kNoEntry. The header is checked for the shape the host gives a table of
// str keys; a table of any other shape is never read past its header.
size_t find_entry(PyObject *globals, PyObject *name, PyObject *value) {
    auto *dict = reinterpret_cast<PyDictObject *>(globals);
    auto *keys = reinterpret_cast<const __Pyx_DictKeysHead *>(dict->ma_keys);
    if (dict->ma_values || keys->dk_kind != 1 || keys->dk_log2_size < 3 ||
        keys->dk_log2_size > kMaxLog2Size ||
        keys->dk_log2_index_bytes != keys->dk_log2_size + index_bytes_log2(keys->dk_log2_size) ||
        keys->dk_nentries < 0 || keys->dk_nentries > (Py_ssize_t(1) << keys->dk_log2_size))
        return __Pyx_GlobalEntry::kNoEntry;
    auto *entries = reinterpret_cast<const __Pyx_DictUnicodeEntry *>(
        reinterpret_cast<const char *>(keys + 1) + (size_t(1) << keys->dk_log2_index_bytes));
    for (size_t i = 0; i < size_t(keys->dk_nentries); i++) {
        if (entries[i].me_key == name && entries[i].me_value == value)
            return i;
    }
    return __Pyx_GlobalEntry::kNoEntry;
}

}  // namespace

PyObject *__Pyx_GetModuleGlobalEntrySlow(__Pyx_GlobalEntry *entry, int name_index) {
    PyObject *name = __pyx_str(name_index);
    PyObject *value = __Pyx__GetModuleGlobalName(name, __pyx_str_hash(name_index));
    // A value found in the builtins has no entry in the namespace.
    entry->index = value ? find_entry(__pyx_mstate_global->__pyx_d, name, value)
                         : __Pyx_GlobalEntry::kNoEntry;
    return value;
}
