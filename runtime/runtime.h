// What every extension module of this runtime generation shares: the
// function-object type `cython_function_or_method` (record, construction,
// call entries, attributes) and traceback entries with their code-object
// cache. A module links these sources and supplies __pyx_module_binding.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

// Error helpers kept out of line, away from the hot paths.
#define __PYX_COLD __attribute__((cold, noinline))

// Entries of the host's other calling conventions travel in
// PyMethodDef::ml_meth typed as PyCFunction; the cast goes through a
// generic function pointer, as the host's own tables do.
template <typename To, typename From>
inline To __Pyx_FunctionCast(From function) {
    return reinterpret_cast<To>(reinterpret_cast<void (*)()>(function));
}

// ---------------------------------------------------------------------------
// Owned references

// Move-only owner of one strong reference (or of nothing). For functions
// that hold several references across failure points; slots and tiny
// functions use the host's macros instead.
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Steals `ref`, which may be null.
    explicit OwnedRef(PyObject *ref) noexcept : ref_(ref) {}
    OwnedRef(OwnedRef &&other) noexcept : ref_(other.release()) {}
    OwnedRef &operator=(OwnedRef &&other) noexcept {
        Py_XSETREF(ref_, other.release());
        return *this;
    }
    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    ~OwnedRef() { Py_XDECREF(ref_); }

    PyObject *get() const noexcept { return ref_; }
    explicit operator bool() const noexcept { return ref_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *release() noexcept {
        PyObject *ref = ref_;
        ref_ = nullptr;
        return ref;
    }

private:
    PyObject *ref_ = nullptr;
};

// ---------------------------------------------------------------------------
// Traceback entries

struct __Pyx_CodeObjectCacheEntry {
    PyCodeObject *code_object;  // owned
    int code_line;              // key
};

// Placeholder code objects for traceback entries, one per source line.
// The first `count` entries are sorted by strictly increasing line;
// count <= max_count. Grows by 64 entries, never shrinks, never freed.
struct __Pyx_CodeObjectCache {
    int count;
    int max_count;
    __Pyx_CodeObjectCacheEntry *entries;
};

// Adds one entry (this module's source file, `funcname`, `py_line`) to the
// traceback of the current exception. Needs the GIL and a pending exception.
void __Pyx_AddTraceback(const char *funcname, int py_line);

// ---------------------------------------------------------------------------
// Long native work

// Gives the interpreter back for a moment, on the thread `tstate` that holds
// the lock, as its own loop does between two instructions: runs a scheduled
// collection, pending signal handlers and pending calls, lets a thread that
// waits for the lock take its turn, and raises an exception another thread
// set for this one. Python code may run, and the lock may change hands
// (with `tstate` the current thread again on return), so whatever the caller
// concluded from the interpreter's state must be checked again afterwards.
// 0, or -1 with the exception a handler, a pending call or another thread
// raised.
int __Pyx_Checkpoint(PyThreadState *tstate);

// ---------------------------------------------------------------------------
// Native stack

// The lowest usable address of the calling thread's native stack, learned
// from the system on the thread's first call and kept for it; 0 where none
// is known. Needs the GIL.
uintptr_t __Pyx_NativeStackEnd();

// Whether fewer than `margin` bytes of the stack ending at `end` are left
// below the caller's frame. Never when `end` is 0, nor for a frame outside
// that stack (below its end, or far above it): the subtraction wraps, or
// leaves more than the margin.
__attribute__((always_inline)) inline bool __Pyx_NativeStackIsShort(uintptr_t end,
                                                                    uintptr_t margin) {
    return uintptr_t(__builtin_frame_address(0)) - end < margin;
}

// ---------------------------------------------------------------------------
// What the linking module supplies

struct __Pyx_ModuleBinding {
    PyObject *const *globals;           // namespace given to traceback frames
    const char *filename;               // source file named by traceback entries
    __Pyx_CodeObjectCache *code_cache;  // this module's traceback code objects
    PyTypeObject **function_type;       // receives the shared function type
    PyObject *const *asyncio_coroutines_name;  // interned "asyncio.coroutines"
    PyObject *const *is_coroutine_name;        // interned "_is_coroutine"
};

extern const __Pyx_ModuleBinding __pyx_module_binding;

// ---------------------------------------------------------------------------
// The function-object type

// Bits of __pyx_CyFunctionObject::flags; no other bit is read.
constexpr int FUNC_FLAG_STATIC = 0x01;     // cancels FUNC_FLAG_METHOD
constexpr int FUNC_FLAG_METHOD = 0x04;     // self is the call's first argument
constexpr int FUNC_FLAG_COROUTINE = 0x08;  // read only by _is_coroutine

struct __pyx_CyFunctionObject;
using __Pyx_DefaultsGetter = PyObject *(*)(PyObject *func);

// Begins with the host's PyCMethodObject, so host code and the direct call
// paths read m_ml, m_self and vectorcall as on a builtin function.
struct __pyx_CyFunctionObject {
    PyCMethodObject func;  // m_ml, m_self, m_module, m_weakreflist, vectorcall, mm_class
    PyObject *func_dict;
    PyObject *func_name;
    PyObject *func_qualname;
    PyObject *func_doc;
    PyObject *func_globals;
    PyObject *func_code;
    PyObject *func_closure;
    PyObject *defaults;
    int flags;
    PyObject *defaults_tuple;
    PyObject *defaults_kwdict;
    __Pyx_DefaultsGetter defaults_getter;
    PyObject *func_annotations;
    PyObject *func_is_coroutine;
};

inline __pyx_CyFunctionObject *__Pyx_CyFunction_Cast(PyObject *op) {
    return reinterpret_cast<__pyx_CyFunctionObject *>(op);
}

// `self` comes from the call's first argument: a method of a class that is
// not a static method.
inline bool __Pyx_CyFunction_TakesSelfFromArgs(const __pyx_CyFunctionObject *f) {
    return (f->flags & (FUNC_FLAG_METHOD | FUNC_FLAG_STATIC)) == FUNC_FLAG_METHOD;
}

// Fetches the process-wide type from the registry module (creating and
// registering it on first use) into *__pyx_module_binding.function_type.
// 0, or -1 with an exception set.
int __pyx_CyFunction_init(PyObject *module);

// New reference to the shared type built from `spec`, found in or added to
// the registry module; null with an exception set.
PyTypeObject *__Pyx_FetchCommonTypeFromSpec(PyObject *module, PyType_Spec *spec, PyObject *bases);

// New function object of the shared type; takes its own references. `qualname`
// and `globals` must not be null. Null with an exception set on failure.
PyObject *__Pyx_CyFunction_New(PyMethodDef *ml, int flags, PyObject *qualname, PyObject *closure,
                               PyObject *module, PyObject *globals, PyObject *code);

// Stores `dict` as the function's annotations; steals the reference.
void __Pyx_CyFunction_SetAnnotationsDict(PyObject *func, PyObject *dict);

extern PyType_Spec __pyx_CyFunctionType_spec;

// Fast call entries, chosen by the constructor from the calling convention.
PyObject *__Pyx_CyFunction_Vectorcall_NOARGS(PyObject *func, PyObject *const *args, size_t nargsf,
                                             PyObject *kwnames);
PyObject *__Pyx_CyFunction_Vectorcall_O(PyObject *func, PyObject *const *args, size_t nargsf,
                                        PyObject *kwnames);
PyObject *__Pyx_CyFunction_Vectorcall_FASTCALL_KEYWORDS(PyObject *func, PyObject *const *args,
                                                        size_t nargsf, PyObject *kwnames);
PyObject *__Pyx_CyFunction_Vectorcall_FASTCALL_KEYWORDS_METHOD(PyObject *func,
                                                               PyObject *const *args,
                                                               size_t nargsf, PyObject *kwnames);

// TypeError "<ml_name>() <what>", or with " (<given> given)"; return null.
__PYX_COLD PyObject *__Pyx_CyFunction_RaiseCallError(const PyMethodDef *def, const char *what);
__PYX_COLD PyObject *__Pyx_CyFunction_RaiseCountError(const PyMethodDef *def, const char *what,
                                                     Py_ssize_t given);

// Generic call slot and method binding.
PyObject *__Pyx_CyFunction_CallAsMethod(PyObject *func, PyObject *args, PyObject *kw);
PyObject *__Pyx_PyMethod_New(PyObject *func, PyObject *self, PyObject *type);

// Attribute surface.
PyObject *__Pyx_CyFunction_repr(PyObject *op);
extern PyGetSetDef __pyx_CyFunction_getsets[];
extern PyMemberDef __pyx_CyFunction_members[];
extern PyMethodDef __pyx_CyFunction_methods[];
