// The code objects of run_loop and fib: argument shape, local names, first
// line and a location table that maps each code unit to its source span.
#include "morvex/module.h"

#include <stdint.h>

namespace {

// One 32-bit word of bit fields, least significant first. The widths are
// limits: at most 3 locals, first line 63, a location table of 1023 bytes.
struct __Pyx_PyCode_New_function_description {
    unsigned int argcount : 1;
    unsigned int num_posonly_args : 1;
    unsigned int num_kwonly_args : 1;
    unsigned int nlocals : 2;
    unsigned int flags : 10;
    unsigned int first_line : 6;
    unsigned int line_table_length : 10;
    unsigned int unused : 1;
};

static_assert(sizeof(__Pyx_PyCode_New_function_description) == sizeof(uint32_t));

// The word the fields make. Composed by hand: Clang cannot bit_cast bit
// fields in a constant expression.
constexpr uint32_t packed(__Pyx_PyCode_New_function_description d) {
    return uint32_t(d.argcount) | uint32_t(d.num_posonly_args) << 1 |
           uint32_t(d.num_kwonly_args) << 2 | uint32_t(d.nlocals) << 3 | uint32_t(d.flags) << 5 |
           uint32_t(d.first_line) << 15 | uint32_t(d.line_table_length) << 21 |
           uint32_t(d.unused) << 31;
}

constexpr __Pyx_PyCode_New_function_description kRunLoopCode = {
    1, 0, 0, 3, CO_OPTIMIZED | CO_NEWLOCALS, 23, 33, 0};
constexpr __Pyx_PyCode_New_function_description kFibCode = {
    1, 0, 0, 1, CO_OPTIMIZED | CO_NEWLOCALS, 32, 45, 0};
static_assert(packed(kRunLoopCode) == 69959801u);
static_assert(packed(kFibCode) == 95420521u);

// Location tables in the host's 3.12 format, one entry per code unit.
constexpr char kRunLoopLineTable[] =
    "\xd0\x00\x13\x90\x31\xf0\x06\x00\x05\x09\x88\x01\xd8\x04\x08\x88\x05\x88\x55\x90"
    "\x21\x90\x31\xd8\x08\x0d\x88\x51\xd8\x04\x0b\x88\x31";
constexpr char kFibLineTable[] =
    "\x80\x0b\x88\x31\xd8\x04\x07\x80\x72\x88\x14\x88\x53\x90\x01\xd8\x08\x0f\x88\x71"
    "\xd8\x04\x0b\x88\x33\x88\x61\x88\x72\x90\x12\x90\x33\x90\x62\x98\x03\x98\x31\x98"
    "\x42\x98\x62\xa0\x01";
static_assert(sizeof(kRunLoopLineTable) - 1 == kRunLoopCode.line_table_length);
static_assert(sizeof(kFibLineTable) - 1 == kFibCode.line_table_length);

// New code object; null with an exception set. The name tuple is shared
// with an equal one already in `tuple_dedup_map`.
PyObject *__Pyx_PyCode_New(__Pyx_PyCode_New_function_description descr, PyObject *const *varnames,
                           PyObject *filename, PyObject *funcname, const char *line_table,
                           PyObject *tuple_dedup_map) {
    OwnedRef names(PyTuple_New(descr.nlocals));
    if (!names)
        return nullptr;
    for (unsigned int i = 0; i < descr.nlocals; i++)
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(varnames[i]));
    PyObject *varnames_tuple = PyDict_SetDefault(tuple_dedup_map, names.get(), names.get());
    if (!varnames_tuple)
        return nullptr;

    PyObject *empty_bytes = __pyx_mstate_global->__pyx_empty_bytes;
    PyObject *empty_tuple = __pyx_mstate_global->__pyx_empty_tuple;
    OwnedRef linetable, code;
    if (line_table) {
        linetable = OwnedRef(PyBytes_FromStringAndSize(line_table, descr.line_table_length));
        if (!linetable)
            return nullptr;
        // Nothing ever runs these units; the host only needs code as long as
        // the location table describes, so they are zero, in whole words.
        Py_ssize_t code_size = ((descr.line_table_length + 2) * 2) & ~Py_ssize_t(3);
        code = OwnedRef(PyBytes_FromStringAndSize(nullptr, code_size));
        if (!code)
            return nullptr;
        memset(PyBytes_AS_STRING(code.get()), 0, size_t(code_size));
    } else {
        linetable = OwnedRef(Py_NewRef(empty_bytes));
        code = OwnedRef(Py_NewRef(empty_bytes));
    }
    return reinterpret_cast<PyObject *>(PyUnstable_Code_NewWithPosOnlyArgs(
        descr.argcount, descr.num_posonly_args, descr.num_kwonly_args, descr.nlocals, 0,
        descr.flags, code.get(), empty_tuple, empty_tuple, varnames_tuple, empty_tuple,
        empty_tuple, filename, funcname, funcname, descr.first_line, linetable.get(),
        empty_bytes));
}

}  // namespace

int __Pyx_CreateCodeObjects() {
    OwnedRef dedup(PyDict_New());
    if (!dedup)
        return -1;
    PyObject *filename = __pyx_str(strtab::filename);
    PyObject *run_loop_names[] = {__pyx_str(strtab::loop), __pyx_str(strtab::i),
                                  __pyx_str(strtab::s)};
    if (__pyx_state_set(&__pyx_mstate_global->__pyx_codeobj_tab[0],
                        __Pyx_PyCode_New(kRunLoopCode, run_loop_names, filename,
                                         __pyx_str(strtab::run_loop), kRunLoopLineTable,
                                         dedup.get())) < 0)
        return -1;

    PyObject *fib_names[] = {__pyx_str(strtab::n)};
    return __pyx_state_set(&__pyx_mstate_global->__pyx_codeobj_tab[1],
                           __Pyx_PyCode_New(kFibCode, fib_names, filename, __pyx_str(strtab::fib),
                                            kFibLineTable, dedup.get()));
}
