// The checkpoint of long native work: what the interpreter's own loop does
// between two instructions, as far as a module can do it. Pending signal
// handlers run (on the main thread; the host runs a scheduled collection of
// cyclic garbage there too), and a thread that asked for the interpreter
// lock gets its turn.
#include "runtime/runtime.h"

// Whether another thread asked for the lock is kept in the interpreter's own
// state, which only the host's internal headers lay out; the flag is read
// where the headers of the interpreter built against place it. They are
// written for C: the atomics fall back to the compiler's builtins over plain
// ints (the layout of <stdatomic.h>'s, which C++20 lacks), and the
// collector's header would redefine a name the public headers already made a
// macro.
#undef HAVE_STD_ATOMIC
#undef _PyGC_FINALIZED
#define Py_BUILD_CORE 1
#include <internal/pycore_interp.h>

namespace {

// The host sets this after a waiting thread has waited a whole switch
// interval; releasing the lock with it set hands the lock over for certain.
// Released without it, the lock would mostly come straight back here, and
// every such release would restart the waiter's interval.
bool lock_is_wanted(PyThreadState *tstate) {
    return __atomic_load_n(&tstate->interp->ceval.gil_drop_request._value, __ATOMIC_RELAXED) != 0;
}

}  // namespace

int __Pyx_Checkpoint(PyThreadState *tstate) {
    if (PyErr_CheckSignals() < 0)
        return -1;
    if (lock_is_wanted(tstate)) {
        PyEval_SaveThread();
        PyEval_RestoreThread(tstate);
    }
    return 0;
}
