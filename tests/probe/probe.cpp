// _morvex_probe: a second module of the runtime generation, for tests only.
// It builds function objects of the shared type with calling conventions,
// flags and defaults that morvex_cy never uses, and exposes the traceback
// cache and the argument intake directly.
#include "morvex/module.h"
#include "runtime/interp_state.h"  // the eval breaker, read as the checkpoint reads its fields

#include <limits.h>
#include <signal.h>
#include <stddef.h>
#include <time.h>

namespace {

struct ProbeState {
    PyObject *globals;
    __Pyx_CodeObjectCache code_cache;
    PyTypeObject *function_type;
    PyObject *asyncio_coroutines;  // interned
    PyObject *is_coroutine;        // interned
    PyObject *loop;                // interned
    long defaults_getter_calls;
};

ProbeState state = {};

// --- Native entries of the probe's function objects -----------------------
// Each returns what it was given, so tests can see self and arguments.

PyObject *entry_noargs(PyObject *self, PyObject *) {
    return Py_BuildValue("(sO)", "noargs", self);
}

PyObject *entry_o(PyObject *self, PyObject *arg) {
    return Py_BuildValue("(sOO)", "o", self, arg);
}

// Breaks the host's rule on purpose: null without an exception.
PyObject *entry_null(PyObject *, PyObject *) {
    return nullptr;
}

PyObject *entry_varargs_keywords(PyObject *self, PyObject *args, PyObject *kw) {
    return Py_BuildValue("(sOOO)", "varargs_keywords", self, args, kw ? kw : Py_None);
}

PyObject *vector_tuple(PyObject *const *args, Py_ssize_t nargs) {
    PyObject *tuple = PyTuple_New(nargs);
    if (!tuple)
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; i++)
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    return tuple;
}

PyObject *entry_fastcall(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    OwnedRef all(vector_tuple(args, nargs + nkw));
    if (!all)
        return nullptr;
    PyObject *names = kwnames ? kwnames : Py_None;
    return Py_BuildValue("(sOnOO)", "fastcall", self, nargs, all.get(), names);
}

PyObject *entry_method(PyObject *self, PyTypeObject *cls, PyObject *const *args, size_t nargsf,
                       PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    OwnedRef positional(vector_tuple(args, nargs));
    if (!positional)
        return nullptr;
    PyObject *defining_class = cls ? reinterpret_cast<PyObject *>(cls) : Py_None;
    return Py_BuildValue("(sOOOO)", "method", self, defining_class, positional.get(),
                         kwnames ? kwnames : Py_None);
}

template <typename F>
PyCFunction as_cfunction(F f) {
    return __Pyx_FunctionCast<PyCFunction>(f);
}

PyMethodDef kinds[] = {
    {"noargs", as_cfunction(entry_noargs), METH_NOARGS, nullptr},
    {"o", as_cfunction(entry_o), METH_O, nullptr},
    {"varargs_keywords", as_cfunction(entry_varargs_keywords), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"fastcall", as_cfunction(entry_fastcall), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"method", as_cfunction(entry_method), METH_METHOD | METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"varargs", as_cfunction(entry_noargs), METH_VARARGS, nullptr},
    {"documented", as_cfunction(entry_noargs), METH_NOARGS, "probe docstring"},
    {"null_o", as_cfunction(entry_null), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- Defaults getters ------------------------------------------------------

PyObject *defaults_pair(PyObject *) {
    state.defaults_getter_calls++;
    return Py_BuildValue("((ii){si})", 1, 2, "k", 3);
}

PyObject *defaults_failing(PyObject *) {
    state.defaults_getter_calls++;
    PyErr_SetString(PyExc_ValueError, "defaults getter failed");
    return nullptr;
}

// --- A bare call target --------------------------------------------------
// The least a called object of a custom type can do for run_loop's work: a
// vectorcall field and nothing else, no checks beyond the argument's kind.
// The benchmarks measure run_loop against it.

struct BareCallTarget {
    PyObject_HEAD
    vectorcallfunc vectorcall;
};

PyObject *bare_vectorcall(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *x = PyVectorcall_NARGS(nargsf) == 1 && !kwnames ? args[0] : nullptr;
    auto *v = reinterpret_cast<PyLongObject *>(x);
    if (!x || !PyLong_CheckExact(x) || !_PyLong_IsCompact(v))
        return PyErr_Format(PyExc_TypeError, "one compact int is required");
    Py_ssize_t loop = _PyLong_CompactValue(v);
    return PyLong_FromLong(loop > 0 ? long(loop) : 0);
}

PyMemberDef bare_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(BareCallTarget, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot bare_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_members, bare_members},
    {0, nullptr},
};

PyType_Spec bare_spec = {
    "_morvex_probe.BareCallTarget", sizeof(BareCallTarget), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL, bare_slots,
};

// bare_call_target() -> a new callable of that type
PyObject *bare_call_target(PyObject *, PyObject *) {
    OwnedRef type(PyType_FromSpec(&bare_spec));
    if (!type)
        return nullptr;
    auto *target = PyObject_New(BareCallTarget, reinterpret_cast<PyTypeObject *>(type.get()));
    if (!target)
        return nullptr;
    target->vectorcall = bare_vectorcall;
    return reinterpret_cast<PyObject *>(target);
}

// --- Module functions --------------------------------------------------------

// make_function(kind, flags=0, qualname="probe_fn", defaults=None, code=None,
//               fast_entry=True)
// Without its fast entry a function is called through the type's tp_call,
// as one made by a module of the generation that gives its convention none.
PyObject *make_function(PyObject *, PyObject *args, PyObject *kw) {
    static const char *keywords[] = {"kind",     "flags",      "qualname", "defaults",
                                     "code",     "fast_entry", nullptr};
    const char *kind;
    int flags = 0, fast_entry = 1;
    PyObject *qualname = nullptr, *defaults = Py_None, *code = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "s|iUOOp", const_cast<char **>(keywords), &kind,
                                     &flags, &qualname, &defaults, &code, &fast_entry))
        return nullptr;
    PyMethodDef *def = kinds;
    while (def->ml_name && strcmp(def->ml_name, kind) != 0)
        def++;
    if (!def->ml_name)
        return PyErr_Format(PyExc_ValueError, "no such kind: %s", kind);
    OwnedRef name(qualname ? Py_NewRef(qualname) : PyUnicode_FromString("probe_fn"));
    if (!name)
        return nullptr;
    OwnedRef module(PyUnicode_FromString("_morvex_probe"));
    if (!module)
        return nullptr;
    PyObject *func = __Pyx_CyFunction_New(def, flags, name.get(), nullptr, module.get(),
                                          state.globals, code == Py_None ? nullptr : code);
    if (func && !fast_entry)
        __Pyx_CyFunction_Cast(func)->func.func.vectorcall = nullptr;
    if (!func || defaults == Py_None)
        return func;
    __Pyx_CyFunction_Cast(func)->defaults_getter =
        PyObject_IsTrue(defaults) ? defaults_pair : defaults_failing;
    return func;
}

PyObject *defaults_getter_calls(PyObject *, PyObject *) {
    return PyLong_FromLong(state.defaults_getter_calls);
}

// raise_with_entry(exception, funcname, line): raises `exception` with one
// traceback entry added by the runtime.
PyObject *raise_with_entry(PyObject *, PyObject *args) {
    PyObject *exception;
    const char *funcname;
    int line;
    if (!PyArg_ParseTuple(args, "Osi", &exception, &funcname, &line))
        return nullptr;
    if (!PyExceptionInstance_Check(exception))
        return PyErr_Format(PyExc_TypeError, "an exception instance is required");
    PyErr_SetRaisedException(Py_NewRef(exception));
    __Pyx_AddTraceback(funcname, line);
    return nullptr;
}

// add_entry_without_exception(funcname, line): must neither crash nor raise.
PyObject *add_entry_without_exception(PyObject *, PyObject *args) {
    const char *funcname;
    int line;
    if (!PyArg_ParseTuple(args, "si", &funcname, &line))
        return nullptr;
    __Pyx_AddTraceback(funcname, line);
    if (PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
}

// code_cache() -> (count, max_count, lines, code objects)
PyObject *code_cache(PyObject *, PyObject *) {
    const __Pyx_CodeObjectCache &cache = state.code_cache;
    OwnedRef lines(PyTuple_New(cache.count)), codes(PyTuple_New(cache.count));
    if (!lines || !codes)
        return nullptr;
    for (int i = 0; i < cache.count; i++) {
        PyObject *line = PyLong_FromLong(cache.entries[i].code_line);
        if (!line)
            return nullptr;
        PyTuple_SET_ITEM(lines.get(), i, line);
        PyTuple_SET_ITEM(codes.get(), i,
                         Py_NewRef(reinterpret_cast<PyObject *>(cache.entries[i].code_object)));
    }
    return Py_BuildValue("(iiOO)", cache.count, cache.max_count, lines.get(), codes.get());
}

const __Pyx_OneIntParam intake_param = {"probe_intake", "probe.intake", 7, {&state.loop, nullptr}};

// intake(positional, kwnames=None, kwvalues=(), kwdict=None) -> int
// Runs the argument intake on a vector built from `positional` and
// `kwvalues`, with a names tuple or a dictionary as keywords.
PyObject *intake(PyObject *, PyObject *args, PyObject *kw) {
    static const char *keywords[] = {"positional", "kwnames", "kwvalues", "kwdict", nullptr};
    PyObject *positional, *kwnames = Py_None, *kwvalues = nullptr, *kwdict = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O!|OO!O", const_cast<char **>(keywords),
                                     &PyTuple_Type, &positional, &kwnames, &PyTuple_Type,
                                     &kwvalues, &kwdict))
        return nullptr;
    OwnedRef vector(kwvalues ? PySequence_Concat(positional, kwvalues) : Py_NewRef(positional));
    if (!vector)
        return nullptr;
    PyObject *kwds = kwnames != Py_None ? kwnames : kwdict != Py_None ? kwdict : nullptr;
    __Pyx_IntArg arg = __Pyx_TakeOneIntArg(intake_param, &PyTuple_GET_ITEM(vector.get(), 0),
                                           PyTuple_GET_SIZE(positional), kwds);
    if (!arg.object)
        return nullptr;
    Py_DECREF(arg.object);
    return PyLong_FromLong(arg.value);
}

// clear(func): runs the type's clear slot, as the garbage collector does
// when it breaks a cycle.
PyObject *clear(PyObject *, PyObject *func) {
    if (!PyObject_TypeCheck(func, state.function_type))
        return PyErr_Format(PyExc_TypeError, "a function object of the shared type is required");
    Py_TYPE(func)->tp_clear(func);
    Py_RETURN_NONE;
}

// exec_def(source, target): runs the execution slots of `source`'s module
// definition on the module object `target`, as the host would.
PyObject *exec_def(PyObject *, PyObject *args) {
    PyObject *source, *target;
    if (!PyArg_ParseTuple(args, "O!O!", &PyModule_Type, &source, &PyModule_Type, &target))
        return nullptr;
    PyModuleDef *def = PyModule_GetDef(source);
    if (!def)
        return PyErr_Format(PyExc_ValueError, "source has no module definition");
    if (PyModule_ExecDef(target, def) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// nested(depth, func, arg): func(arg) called `depth` levels down a native
// recursion, each level one unit of the thread's recursion budget, so that
// a test can start a call with any amount of budget left.
PyObject *nested_call(Py_ssize_t depth, PyObject *func, PyObject *arg) {
    if (depth == 0)
        return PyObject_CallOneArg(func, arg);
    if (Py_EnterRecursiveCall(" in probe nesting"))
        return nullptr;
    PyObject *result = nested_call(depth - 1, func, arg);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject *nested(PyObject *, PyObject *args) {
    Py_ssize_t depth;
    PyObject *func, *arg;
    if (!PyArg_ParseTuple(args, "nOO", &depth, &func, &arg))
        return nullptr;
    return nested_call(depth, func, arg);
}

// call_signalled(signum, func, arg): func(arg) with the signal `signum`
// raised just before, from C: its handler runs at the first place inside
// the call that checks for signals, not before the call.
PyObject *call_signalled(PyObject *, PyObject *args) {
    int signum;
    PyObject *func, *arg;
    if (!PyArg_ParseTuple(args, "iOO", &signum, &func, &arg))
        return nullptr;
    if (raise(signum) != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    return PyObject_CallOneArg(func, arg);
}

// The host's call entries with exactly the arguments given, so that tests
// reach shapes a Python-level call never makes (a names tuple with
// non-strings or duplicates, a keyword dictionary with non-string keys).
// `args` is a tuple; the last len(kwnames) items are the keyword values.

// vectorcall(func, args, kwnames=None): PyObject_Vectorcall
PyObject *vectorcall(PyObject *, PyObject *args) {
    PyObject *func, *vector, *kwnames = Py_None;
    if (!PyArg_ParseTuple(args, "OO!|O", &func, &PyTuple_Type, &vector, &kwnames))
        return nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(vector);
    if (kwnames == Py_None) {
        kwnames = nullptr;
    } else if (!PyTuple_Check(kwnames) || PyTuple_GET_SIZE(kwnames) > nargs) {
        return PyErr_Format(PyExc_TypeError, "kwnames must be None or a tuple of at most %zd",
                            nargs);
    } else {
        nargs -= PyTuple_GET_SIZE(kwnames);
    }
    return PyObject_Vectorcall(func, &PyTuple_GET_ITEM(vector, 0), size_t(nargs), kwnames);
}

// vectorcall_dict(func, args, kwargs=None): PyObject_VectorcallDict
PyObject *vectorcall_dict(PyObject *, PyObject *args) {
    PyObject *func, *vector, *kwargs = Py_None;
    if (!PyArg_ParseTuple(args, "OO!|O", &func, &PyTuple_Type, &vector, &kwargs))
        return nullptr;
    if (kwargs != Py_None && !PyDict_Check(kwargs))
        return PyErr_Format(PyExc_TypeError, "kwargs must be None or a dict");
    return PyObject_VectorcallDict(func, &PyTuple_GET_ITEM(vector, 0),
                                   size_t(PyTuple_GET_SIZE(vector)),
                                   kwargs == Py_None ? nullptr : kwargs);
}

// vectorcall_call(func, args, kwargs=None): PyVectorcall_Call, the tp_call
// of a type whose instances have a vectorcall field
PyObject *vectorcall_call(PyObject *, PyObject *args) {
    PyObject *func, *tuple, *kwargs = nullptr;
    if (!PyArg_ParseTuple(args, "OO!|O!", &func, &PyTuple_Type, &tuple, &PyDict_Type, &kwargs))
        return nullptr;
    return PyVectorcall_Call(func, tuple, kwargs);
}

// call_with_budget(units, func, *args): func(*args) with the calling
// thread's recursion budget set to `units` units for the call, and put back
// afterwards, so that tests try every interpreter's budget on this one.
PyObject *call_with_budget(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 2)
        return PyErr_Format(PyExc_TypeError, "call_with_budget(units, func, *args)");
    long units = PyLong_AsLong(args[0]);
    if (units == -1 && PyErr_Occurred())
        return nullptr;
    if (units < 0 || units > INT_MAX)
        return PyErr_Format(PyExc_ValueError, "units must lie in 0..%d", INT_MAX);
    PyThreadState *tstate = PyThreadState_Get();
    int saved = tstate->c_recursion_remaining;
    tstate->c_recursion_remaining = int(units);
    PyObject *result = PyObject_Vectorcall(args[1], args + 2, size_t(nargs - 2), nullptr);
    tstate->c_recursion_remaining = saved;
    return result;
}

// eval_breaker() -> whether the interpreter's loop would stop at its next
// check to serve a request
PyObject *eval_breaker(PyObject *, PyObject *) {
    auto *breaker = &PyThreadState_Get()->interp->ceval.eval_breaker._value;
    return PyBool_FromLong(__atomic_load_n(breaker, __ATOMIC_RELAXED));
}

// add_pending_call(delay, func): a thread that holds no interpreter state
// waits `delay` seconds, then asks the main thread to run func() by
// Py_AddPendingCall, as a C library's thread would; func's exception fails
// whatever the main thread was running.
int run_pending(void *func) {
    PyObject *result = PyObject_CallNoArgs(static_cast<PyObject *>(func));
    Py_DECREF(static_cast<PyObject *>(func));
    Py_XDECREF(result);
    return result ? 0 : -1;
}

struct PendingRequest {
    double delay;
    PyObject *func;  // owned, handed to run_pending
};

void request_later(void *arg) {
    PendingRequest request = *static_cast<PendingRequest *>(arg);
    PyMem_RawFree(arg);
    auto seconds = time_t(request.delay);
    struct timespec wait = {seconds, long((request.delay - double(seconds)) * 1e9)};
    nanosleep(&wait, nullptr);
    while (Py_AddPendingCall(run_pending, request.func) != 0)  // the queue is full: wait
        nanosleep(&wait, nullptr);
}

PyObject *add_pending_call(PyObject *, PyObject *args) {
    double delay;
    PyObject *func;
    if (!PyArg_ParseTuple(args, "dO", &delay, &func))
        return nullptr;
    auto *request = static_cast<PendingRequest *>(PyMem_RawMalloc(sizeof(PendingRequest)));
    if (!request)
        return PyErr_NoMemory();
    *request = {delay, Py_NewRef(func)};
    if (PyThread_start_new_thread(request_later, request) == PYTHREAD_INVALID_THREAD_ID) {
        Py_DECREF(func);
        PyMem_RawFree(request);
        return PyErr_Format(PyExc_RuntimeError, "cannot start a thread");
    }
    Py_RETURN_NONE;
}

// recursion_remaining() -> the units of the calling thread's recursion
// budget left, less the one this call takes
PyObject *recursion_remaining(PyObject *, PyObject *) {
    return PyLong_FromLong(PyThreadState_Get()->c_recursion_remaining);
}

PyObject *shared_type(PyObject *, PyObject *) {
    return Py_NewRef(reinterpret_cast<PyObject *>(state.function_type));
}

PyMethodDef probe_methods[] = {
    {"make_function", as_cfunction(make_function), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"defaults_getter_calls", defaults_getter_calls, METH_NOARGS, nullptr},
    {"raise_with_entry", raise_with_entry, METH_VARARGS, nullptr},
    {"add_entry_without_exception", add_entry_without_exception, METH_VARARGS, nullptr},
    {"code_cache", code_cache, METH_NOARGS, nullptr},
    {"intake", as_cfunction(intake), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"clear", clear, METH_O, nullptr},
    {"exec_def", exec_def, METH_VARARGS, nullptr},
    {"nested", nested, METH_VARARGS, nullptr},
    {"call_signalled", call_signalled, METH_VARARGS, nullptr},
    {"vectorcall", vectorcall, METH_VARARGS, nullptr},
    {"vectorcall_dict", vectorcall_dict, METH_VARARGS, nullptr},
    {"vectorcall_call", vectorcall_call, METH_VARARGS, nullptr},
    {"call_with_budget", as_cfunction(call_with_budget), METH_FASTCALL, nullptr},
    {"recursion_remaining", recursion_remaining, METH_NOARGS, nullptr},
    {"add_pending_call", add_pending_call, METH_VARARGS, nullptr},
    {"eval_breaker", eval_breaker, METH_NOARGS, nullptr},
    {"shared_type", shared_type, METH_NOARGS, nullptr},
    {"bare_call_target", bare_call_target, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_morvex_probe", nullptr, -1, probe_methods,
    nullptr,               nullptr,         nullptr, nullptr,
};

PyObject *intern(const char *text) {
    PyObject *str = PyUnicode_InternFromString(text);
    if (str && PyObject_Hash(str) == -1)
        Py_CLEAR(str);
    return str;
}

}  // namespace

const __Pyx_ModuleBinding __pyx_module_binding = {
    &state.globals,        "probe/probe.py",    &state.code_cache,
    &state.function_type,  &state.asyncio_coroutines, &state.is_coroutine,
};

PyMODINIT_FUNC PyInit__morvex_probe() {
    OwnedRef module(PyModule_Create(&probe_module));
    if (!module)
        return nullptr;
    state.globals = Py_NewRef(PyModule_GetDict(module.get()));
    if (!(state.asyncio_coroutines = intern("asyncio.coroutines")) ||
        !(state.is_coroutine = intern("_is_coroutine")) || !(state.loop = intern("loop")))
        return nullptr;
    if (__pyx_CyFunction_init(module.get()) < 0)
        return nullptr;
    return module.release();
}
