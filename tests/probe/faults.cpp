// _morvex_faults: allocation failures on demand, for the sweeps. A module of
// its own, apart from the probe, so that importing it changes nothing the
// import of morvex_cy allocates: it creates no shared type and interns no
// string.
//
// set_nomemory(start, stop=0) counts every allocation request from then on
// (raw, mem and object domains alike, from any thread) and fails those
// numbered above `start` up to `stop` (none after it), or every one above
// `start` when `stop` is 0 or less. remove_mem_hooks() puts the allocators
// back. Frees always pass through, so memory allocated before or after the
// window is released as usual.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

struct Window {
    long count;
    long start;
    long stop;
};

Window window = {0, 0, 0};

// The allocators in place before the hooks, one per domain; each hook gets
// its own as its context.
PyMemAllocatorEx raw, mem, obj;
bool installed = false;

bool fails_now() {
    window.count++;
    return window.count > window.start && (window.stop <= 0 || window.count <= window.stop);
}

void *hook_malloc(void *ctx, size_t size) {
    auto *original = static_cast<PyMemAllocatorEx *>(ctx);
    return fails_now() ? nullptr : original->malloc(original->ctx, size);
}

void *hook_calloc(void *ctx, size_t nelem, size_t elsize) {
    auto *original = static_cast<PyMemAllocatorEx *>(ctx);
    return fails_now() ? nullptr : original->calloc(original->ctx, nelem, elsize);
}

// A failed realloc leaves the block as it was, as the host's does.
void *hook_realloc(void *ctx, void *ptr, size_t size) {
    auto *original = static_cast<PyMemAllocatorEx *>(ctx);
    return fails_now() ? nullptr : original->realloc(original->ctx, ptr, size);
}

void hook_free(void *ctx, void *ptr) {
    auto *original = static_cast<PyMemAllocatorEx *>(ctx);
    original->free(original->ctx, ptr);
}

void install(PyMemAllocatorDomain domain, PyMemAllocatorEx *original) {
    PyMem_GetAllocator(domain, original);
    PyMemAllocatorEx hook = {original, hook_malloc, hook_calloc, hook_realloc, hook_free};
    PyMem_SetAllocator(domain, &hook);
}

PyObject *set_nomemory(PyObject *, PyObject *args) {
    long start, stop = 0;
    if (!PyArg_ParseTuple(args, "l|l", &start, &stop))
        return nullptr;
    // Counting starts here: nothing below allocates.
    window = {0, start, stop};
    if (!installed) {
        installed = true;
        install(PYMEM_DOMAIN_RAW, &raw);
        install(PYMEM_DOMAIN_MEM, &mem);
        install(PYMEM_DOMAIN_OBJ, &obj);
    }
    Py_RETURN_NONE;
}

PyObject *remove_mem_hooks(PyObject *, PyObject *) {
    if (installed) {
        installed = false;
        PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &raw);
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem);
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &obj);
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"set_nomemory", set_nomemory, METH_VARARGS, nullptr},
    {"remove_mem_hooks", remove_mem_hooks, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef faults_module = {
    PyModuleDef_HEAD_INIT, "_morvex_faults", nullptr, -1, methods,
    nullptr,               nullptr,          nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__morvex_faults() {
    return PyModule_Create(&faults_module);
}
