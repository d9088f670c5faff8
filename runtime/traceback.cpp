// Traceback entries that point into the module's source file, and the
// process-wide cache of the placeholder code objects they need.
#include "runtime/runtime.h"

#include <frameobject.h>  // PyFrame_New
#include <string.h>

namespace {

constexpr int kCacheGrowth = 64;

// Position of the first entry whose line is not less than `code_line`;
// `count` when the line lies above the last entry.
int __pyx_bisect_code_objects(const __Pyx_CodeObjectCacheEntry *entries, int count,
                              int code_line) {
    int start = 0, mid = 0, end = count - 1;
    if (end >= 0 && code_line > entries[end].code_line)
        return count;
    while (start < end) {
        mid = start + (end - start) / 2;
        if (code_line < entries[mid].code_line)
            end = mid;
        else if (code_line > entries[mid].code_line)
            start = mid + 1;
        else
            return mid;
    }
    return code_line <= entries[mid].code_line ? mid : mid + 1;
}

// New reference to the cached code object for `code_line`, or null on a miss.
PyCodeObject *__pyx_find_code_object(const __Pyx_CodeObjectCache *cache, int code_line) {
    if (!cache->entries || cache->count <= 0)
        return nullptr;
    int pos = __pyx_bisect_code_objects(cache->entries, cache->count, code_line);
    if (pos >= cache->count || cache->entries[pos].code_line != code_line)
        return nullptr;
    return reinterpret_cast<PyCodeObject *>(
        Py_NewRef(reinterpret_cast<PyObject *>(cache->entries[pos].code_object)));
}

// Caches `code_object` under `code_line`, taking a reference. An allocation
// failure only skips the caching and raises nothing. No Python code runs
// while the array changes.
void __pyx_insert_code_object(__Pyx_CodeObjectCache *cache, int code_line,
                              PyCodeObject *code_object) {
    __Pyx_CodeObjectCacheEntry *entries = cache->entries;
    if (!entries) {
        entries = static_cast<__Pyx_CodeObjectCacheEntry *>(
            PyMem_Malloc(kCacheGrowth * sizeof(__Pyx_CodeObjectCacheEntry)));
        if (!entries)
            return;
        cache->entries = entries;
        cache->max_count = kCacheGrowth;
        cache->count = 1;
        entries[0].code_line = code_line;
        entries[0].code_object = code_object;
        Py_INCREF(code_object);
        return;
    }
    int pos = __pyx_bisect_code_objects(entries, cache->count, code_line);
    if (pos < cache->count && entries[pos].code_line == code_line) {
        PyCodeObject *old = entries[pos].code_object;
        entries[pos].code_object = code_object;
        Py_INCREF(code_object);
        Py_DECREF(old);
        return;
    }
    if (cache->count == cache->max_count) {
        int new_max = cache->max_count + kCacheGrowth;
        entries = static_cast<__Pyx_CodeObjectCacheEntry *>(
            PyMem_Realloc(cache->entries, size_t(new_max) * sizeof(__Pyx_CodeObjectCacheEntry)));
        if (!entries)
            return;
        cache->entries = entries;
        cache->max_count = new_max;
    }
    memmove(&entries[pos + 1], &entries[pos],
            size_t(cache->count - pos) * sizeof(__Pyx_CodeObjectCacheEntry));
    entries[pos].code_line = code_line;
    entries[pos].code_object = code_object;
    cache->count++;
    Py_INCREF(code_object);
}

// The current exception, taken out of the thread state with the references
// needed to put it back exactly as it was.
struct FetchedError {
    PyObject *value;      // the thread state's reference
    PyObject *traceback;  // owned, may be null
};

FetchedError __Pyx_ErrFetchInState(PyThreadState *tstate) {
    PyObject *value = tstate->current_exception;
    tstate->current_exception = nullptr;
    if (!value)
        return {nullptr, nullptr};
    return {value, PyException_GetTraceback(value)};
}

void __Pyx_ErrRestoreInState(PyThreadState *tstate, FetchedError err) {
    if (err.value) {
        PyObject *current_tb = PyException_GetTraceback(err.value);
        if (current_tb != err.traceback)
            PyException_SetTraceback(err.value, err.traceback ? err.traceback : Py_None);
        Py_XDECREF(current_tb);
    }
    PyObject *previous = tstate->current_exception;
    tstate->current_exception = err.value;
    Py_XDECREF(previous);
    Py_XDECREF(err.traceback);
}

void __Pyx_ErrReleaseFetched(FetchedError err) {
    Py_XDECREF(err.value);
    Py_XDECREF(err.traceback);
}

}  // namespace

void __Pyx_AddTraceback(const char *funcname, int py_line) {
    PyThreadState *tstate = _PyThreadState_UncheckedGet();
    // The host's traceback needs an exception to attach to; a caller that
    // got here without one (a callee returned null without raising) gets no
    // entry rather than a crash.
    if (!tstate->current_exception)
        return;
    // The code and frame constructors must run with no exception pending
    // (the frame's builtins lookup fails on one), so it is set aside.
    FetchedError pending = __Pyx_ErrFetchInState(tstate);
    __Pyx_CodeObjectCache *cache = __pyx_module_binding.code_cache;
    PyCodeObject *code = __pyx_find_code_object(cache, py_line);
    if (!code) {
        code = PyCode_NewEmpty(__pyx_module_binding.filename, funcname, py_line);
        if (!code) {
            __Pyx_ErrReleaseFetched(pending);  // the constructor's error stands
            return;
        }
        __pyx_insert_code_object(cache, py_line, code);
    }
    PyFrameObject *frame = PyFrame_New(tstate, code, *__pyx_module_binding.globals, nullptr);
    Py_DECREF(code);
    if (!frame) {
        __Pyx_ErrReleaseFetched(pending);  // the frame's error stands
        return;
    }
    __Pyx_ErrRestoreInState(tstate, pending);
    // A new frame reports its code object's first line, which is `py_line`:
    // the entry shows that line without touching the frame's private fields.
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}
