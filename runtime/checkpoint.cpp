// The checkpoint of long native work: what the interpreter's own loop does
// between two instructions, in the loop's order. A scheduled collection of
// cyclic garbage runs, and pending signal handlers and pending calls run on
// the main thread; a thread that asked for the interpreter lock gets its
// turn; an exception another thread set for this one is raised.
//
// Where nothing is pending, nothing happens that anyone could see: no
// Python code runs, no object is made, no trace, profile or monitoring
// event is given.
//
// What the loop leaves behind is what the checkpoint leaves behind:
// - Signals and pending calls: the host's own PyErr_CheckSignals and
//   Py_MakePendingCalls run them and reset their requests, recomputing the
//   interpreter's eval breaker as the loop does. Py_MakePendingCalls serves
//   the queue Py_AddPendingCall fills even where the thread that filled it
//   held no interpreter state and so left the eval breaker unset, which the
//   loop itself would only notice at its next other reason to look.
// - The lock: released and taken back only when the host asked for it.
// - An asynchronous exception (PyThreadState_SetAsyncExc): taken from the
//   thread state, so that it is raised once, and its request in the
//   interpreter's ceval state cleared, as the loop's UNSIGNAL_ASYNC_EXC
//   does. The loop then also recomputes the eval breaker from its sources;
//   here it is left as it was, set, and the loop's next look finds nothing
//   to do and recomputes it itself: one visit, after which no later
//   instruction is slowed. Only the request may not be left set, since
//   every recomputation would set the eval breaker again from it.
#include "runtime/interp_state.h"

// The lock request and the asynchronous-exception request are kept in the
// interpreter's own state. What is relied on: `ceval.gil_drop_request` and `ceval.pending.async_exc`
// of PyInterpreterState (struct _ceval_state and struct _pending_calls of
// internal/pycore_ceval_state.h), which the headers of 3.12.1 and 3.12.10
// declare alike and place at the same offsets on every 64-bit target,
// x86_64 and aarch64 with glibc or musl (368 + 4, and 368 + 32 + 20), and
// on i386 (228 + 4, and 228 + 24 + 12); and `async_exc` of the public
// PyThreadState. Each build compiles them from its target's own headers.

namespace {

// The host sets this after a waiting thread has waited a whole switch
// interval; releasing the lock with it set hands the lock over for certain.
// Released without it, the lock would mostly come straight back here, and
// every such release would restart the waiter's interval.
bool lock_is_wanted(PyThreadState *tstate) {
    return __atomic_load_n(&tstate->interp->ceval.gil_drop_request._value, __ATOMIC_RELAXED) != 0;
}

// Raises the exception set for this thread; always -1.
__PYX_COLD int raise_async_exception(PyThreadState *tstate) {
    PyObject *exception = tstate->async_exc;
    tstate->async_exc = nullptr;
    tstate->interp->ceval.pending.async_exc = 0;
    PyErr_SetNone(exception);
    Py_DECREF(exception);
    return -1;
}

}  // namespace

int __Pyx_Checkpoint(PyThreadState *tstate) {
    if (PyErr_CheckSignals() < 0 || Py_MakePendingCalls() < 0)
        return -1;
    if (lock_is_wanted(tstate)) {
        PyEval_SaveThread();
        PyEval_RestoreThread(tstate);
    }
    if (tstate->async_exc)
        return raise_async_exception(tstate);
    return 0;
}
