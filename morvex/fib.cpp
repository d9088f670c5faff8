// fib(n): the n-th Fibonacci number by naive double recursion through the
// module's global name `fib`, with Python-level additions.
//
// A level is one entry of the body for n outside {1, 2}: it looks `fib` up
// before each of its two terms, the second time after the first term has
// returned, calls what it finds, and adds the two results.
//
// The fast path rests on one fact: while only this file's code runs, with
// the interpreter lock held throughout, nothing can change the namespace. No
// Python code runs, no other thread runs, no signal handler runs (handlers
// run only where something checks for them). So once a lookup that ran no
// code has found the module's own function, every lookup until the next
// point where other code may run would find it again.
//
// - Lookup. The namespace's version tag is compared with the one recorded
//   when the remembered key-table entry last held the own function. A table
//   of str keys runs no code while it is searched, and an unchanged table
//   gives the same object, so an equal tag is that lookup. Any other tag
//   reads the remembered entry again; when the table is no longer str-only,
//   or the entry no longer holds the name, the host's full lookup runs, and
//   with it whatever code it runs.
// - Machine subtrees. When such a quiet lookup gives the own function for an
//   argument m with 1 <= m < kMachineLimit, the whole subtree fib(m) runs as
//   a plain recursion on machine integers: all of its 2*fib(m) - 1 entries,
//   with no lookup, since each would be answered by the one just made. It
//   is short (tens of microseconds), makes no object and calls nothing, so
//   no other code runs inside it. It also never touches the recursion
//   budget: it runs only when the budget holds its deepest chain (m - 2
//   levels and a base case's check), so no unit of it could fail, and
//   nothing reads the budget before the subtree returns.
// - Levels at or above the limit, levels whose lookup ran code (a namespace
//   with other keys than str) and levels near the end of the budget run one
//   at a time: a lookup per term, and one unit of the recursion budget per
//   level entered directly (a base case only checks that one is left).
//   Calls of other bindings spend theirs in the one-argument call, or the
//   host does.
// - The native stack. The budget counts levels; what bounds the stack is
//   the stack itself. A level is entered directly, and a body entered at
//   all, only while more than kStackMargin bytes of the calling thread's
//   stack are left below the frame; otherwise it fails with the host's
//   RecursionError, exactly as when the budget is spent. Every recursion
//   passes one of the two checks once per cycle, whatever bindings it goes
//   through, and the margin holds what may run below a check that passed:
//   the level itself, a machine subtree's bounded depth, one cycle through
//   another binding and the interpreter's frames, and the error path. Where
//   the thread's stack is not known, the budget alone bounds it.
// - Checkpoints. Every kLevelsPerCheckpoint levels give the interpreter back
//   (signal handlers, a thread waiting for the lock): at most about a
//   millisecond of work passes between two of them. A checkpoint may run any
//   code, and it comes at the start of a level, before that level's
//   lookups, holding nothing borrowed. Its exception fails the level like
//   any other failure.
// - A term is a machine integer only while nothing but the own function ran
//   below it. It is then a Fibonacci number, at least 1, so {null, 0} is
//   free to mean failure. Two machine terms are added with a check for the
//   64-bit range. An int is made only when a sum leaves that range, meets an
//   object another binding returned, or leaves the body; it is the int the
//   host's addition would have made, its shared small ints included, and no
//   intermediate int was ever seen by anything.
// - Entering the own function directly is the call its fast call entry, the
//   wrapper and the intake would make: they hand the int over unchanged. The
//   function object is never touched after the lookup, so no reference to it
//   is held while a quiet lookup's term runs.
// - Any other binding is called with an int, as it always was, and its
//   result stays the object it is; every sum with it is the host's
//   PyNumber_Add, the first term on the left.
#include "morvex/module.h"

#include <stdint.h>

namespace {

constexpr const char kQualname[] = "morvex.morvex_cy.fib";
constexpr int kCallLine = 35;

// The calling thread, fixed for the whole of one body entry.
struct Caller {
    PyThreadState *tstate;
    uintptr_t stack_end;  // __Pyx_NativeStackEnd(): 0 when unknown
};

// A term or sum of the recursion: a machine integer (`object` null), or an
// owned object. {null, 0} is a failure, with an exception set.
struct Term {
    PyObject *object;
    int64_t value;

    bool failed() const { return !object && value == 0; }
};

constexpr Term kFailed = {nullptr, 0};

inline Term machine(int64_t value) {
    return {nullptr, value};
}

// Takes over `object`, which is null when making it failed.
inline Term owned(PyObject *object) {
    return {object, 0};
}

// 1 and 2 exactly: n - 1, taken unsigned, is at most 1.
inline bool is_base_case(int n) {
    return unsigned(n) - 1u <= 1u;
}

// n - 1 and n - 2 wrap in 32 bits, as the typed source does.
inline int minus(int n, unsigned k) {
    return int(unsigned(n) - k);
}

// ---------------------------------------------------------------------------
// The recursion budget and the native stack

// What may run below a check that passed: a level (80 bytes on x86_64 and
// aarch64, 112 on 32-bit x86), a machine subtree's at most 22 small frames
// (32 bytes each on aarch64, where a page may be 64 KiB: the margin is
// counted in bytes of stack, not pages), one cycle
// through another binding and the interpreter's frames, and the error path
// (the RecursionError and its first traceback entry). All of it fits in
// 4 KiB on CPython 3.12.1 built by gcc and on 3.12.10 built by clang: the
// smallest margin with which fib(0) never overflowed a thread stack of
// 32 KiB to 1 MiB, bound to itself, to a Python function or to an
// lru_cache wrapper, under budgets of 1500 and 10000 units. Four times
// that leaves room for builds with larger frames (it holds under
// AddressSanitizer too), and still lets a 32 KiB thread run fib(25).
constexpr uintptr_t kStackMargin = 16 * 1024;

inline bool stack_is_short(const Caller &caller) {
    return __Pyx_NativeStackIsShort(caller.stack_end, kStackMargin);
}

__PYX_COLD bool stack_exhausted() {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    return false;
}

// A level entered directly: one unit of the thread's budget, and stack to
// spare. The host's own check raises RecursionError when no unit is left.
__PYX_COLD bool enter_level_slow(const Caller &caller) {
    if (caller.tstate->c_recursion_remaining > 0)
        return stack_exhausted();
    return Py_EnterRecursiveCall(" while calling a Python object") == 0;
}

inline bool enter_level(const Caller &caller) {
    if (caller.tstate->c_recursion_remaining > 0 && !stack_is_short(caller)) {
        caller.tstate->c_recursion_remaining--;
        return true;
    }
    return enter_level_slow(caller);
}

inline void leave_level(const Caller &caller) {
    caller.tstate->c_recursion_remaining++;
}

// A base case takes its unit and gives it back at once: only the budget's
// check is left to do (it needs no more stack than its caller).
inline bool check_base_level(const Caller &caller) {
    if (caller.tstate->c_recursion_remaining > 0)
        return true;
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return false;
    leave_level(caller);
    return true;
}

// ---------------------------------------------------------------------------
// Machine subtrees

// Arguments below this run as one machine subtree after a quiet lookup.
// fib(23) has 57313 entries: well under a millisecond even unoptimised.
constexpr int kMachineLimit = 24;

constexpr uint64_t fibonacci(int n) {
    return n <= 2 ? 1 : fibonacci(n - 1) + fibonacci(n - 2);
}
static_assert(fibonacci(kMachineLimit - 1) <= UINT32_MAX, "a subtree's sum fits 32 bits");

// fib(m) for 1 <= m < kMachineLimit, entry by entry.
uint32_t machine_fib(int m) {
    if (is_base_case(m))
        return 1;
    return machine_fib(m - 1) + machine_fib(m - 2);
}

// Whether fib(m) runs as a machine subtree: m lies in its range and the
// budget holds the subtree's deepest chain, m - 2 levels and a base case's
// check, with a unit to spare.
inline bool fits_machine_subtree(const Caller &caller, int m) {
    return unsigned(m) - 1u < unsigned(kMachineLimit - 1) &&
           caller.tstate->c_recursion_remaining >= m;
}

// ---------------------------------------------------------------------------
// Checkpoints

// A level does a lookup, a sum and at most two machine subtrees: this many
// take a millisecond or less at full speed.
constexpr int kLevelsPerCheckpoint = 16;

// Levels left until the next checkpoint, counted across every thread: what
// it measures is work done while holding the interpreter lock.
int levels_to_checkpoint = kLevelsPerCheckpoint;

// True to go on; false with the exception a handler raised.
inline bool pass_checkpoint(const Caller &caller) {
    if (--levels_to_checkpoint > 0)
        return true;
    levels_to_checkpoint = kLevelsPerCheckpoint;
    return __Pyx_Checkpoint(caller.tstate) == 0;
}

// ---------------------------------------------------------------------------
// Sums

// A new reference to the term as an object, or null with an exception set.
// Consumes the term.
PyObject *as_object(Term term) {
    return term.object ? term.object : PyLong_FromLongLong(term.value);
}

// a + b by the host's addition, consuming both; a is released first.
__PYX_COLD Term add_objects(Term a, Term b) {
    PyObject *left = as_object(a);
    if (!left) {
        Py_XDECREF(b.object);
        return kFailed;
    }
    PyObject *right = as_object(b);
    if (!right) {
        Py_DECREF(left);
        return kFailed;
    }
    PyObject *sum = PyNumber_Add(left, right);
    Py_DECREF(left);
    Py_DECREF(right);
    return owned(sum);
}

inline Term add_terms(Term a, Term b) {
    int64_t sum;
    if (!a.object && !b.object && !__builtin_add_overflow(a.value, b.value, &sum))
        return machine(sum);
    return add_objects(a, b);
}

// ---------------------------------------------------------------------------
// Lookup of `fib`

__Pyx_GlobalEntry fib_global;
// The namespace's version when the remembered entry last held the own
// function; 0, which no version is, before that.
uint64_t own_fib_version = 0;

// A function object made from this module's fib definition.
inline bool is_own_fib(PyObject *callable) {
    return Py_IS_TYPE(callable, __pyx_mstate_global->__pyx_CyFunctionType) &&
           reinterpret_cast<PyCFunctionObject *>(callable)->m_ml ==
               &__pyx_mdef_6morvex_9morvex_cy_3fib;
}

// The remembered entry, read after the namespace changed. True, with the
// version recorded, when it holds the own function; otherwise *peeked is
// what it holds (borrowed), or null when the full lookup must run.
bool read_fib_entry(PyObject **peeked) {
    PyObject *callable = __Pyx_PeekModuleGlobalEntry<strtab::fib>(fib_global);
    if (callable && is_own_fib(callable)) {
        own_fib_version = __Pyx_NamespaceVersion();
        return true;
    }
    *peeked = callable;
    return false;
}

// The lookup of `fib` at this moment: true when it gives the own function.
inline bool look_up_own_fib(PyObject **peeked) {
    return __Pyx_NamespaceVersion() == own_fib_version || read_fib_entry(peeked);
}

// ---------------------------------------------------------------------------
// Terms

Term fib_level(const Caller &caller, int n);

// The own function entered directly with `arg_value`, one level deeper.
inline Term own_term(const Caller &caller, int arg_value) {
    if (is_base_case(arg_value))
        return check_base_level(caller) ? machine(1) : kFailed;
    if (!enter_level(caller))
        return kFailed;
    Term result = fib_level(caller, arg_value);
    leave_level(caller);
    return result;
}

// Calls a binding other than the own function with a new int of
// `arg_value`; steals `callable`. A bound method is taken apart first: its
// self and function are held, and the method itself is released before the
// call.
Term call_binding(PyObject *callable, int arg_value) {
    PyObject *arg = PyLong_FromLong(arg_value);
    if (!arg) {
        Py_DECREF(callable);
        return kFailed;
    }
    PyObject *result;
    if (Py_IS_TYPE(callable, &PyMethod_Type)) {
        PyObject *self = Py_NewRef(PyMethod_GET_SELF(callable));
        PyObject *function = Py_NewRef(PyMethod_GET_FUNCTION(callable));
        Py_DECREF(callable);
        PyObject *callargs[2] = {self, arg};
        result = __Pyx_PyObject_FastCallDict(function, callargs, 2, nullptr);
        Py_DECREF(self);
        Py_DECREF(arg);
        Py_DECREF(function);
    } else {
        PyObject *callargs[2] = {nullptr, arg};  // slot 0 free for the callee
        result = __Pyx_PyObject_FastCallDict(callable, callargs + 1,
                                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        Py_DECREF(arg);
        Py_DECREF(callable);
    }
    return owned(result);
}

// A term whose lookup did not give the own function by the remembered
// entry: `peeked` is what the entry holds instead, or null, and the full
// lookup runs now. What the full lookup finds is held while the term runs.
__PYX_COLD Term other_term(const Caller &caller, PyObject *peeked, int arg_value) {
    if (peeked)
        return call_binding(Py_NewRef(peeked), arg_value);
    PyObject *callable = __Pyx_GetModuleGlobalEntrySlow(&fib_global, strtab::fib);
    if (!callable)
        return kFailed;
    if (!is_own_fib(callable))
        return call_binding(callable, arg_value);
    Term result = own_term(caller, arg_value);
    Py_DECREF(callable);
    return result;
}

// One term: whatever `fib` is bound to now, called with `arg_value`.
inline Term fib_term(const Caller &caller, int arg_value) {
    PyObject *peeked = nullptr;
    if (!look_up_own_fib(&peeked))
        return other_term(caller, peeked, arg_value);
    // The lookup ran no code: nothing but this file's code runs from here
    // until the next checkpoint or call of another binding.
    if (fits_machine_subtree(caller, arg_value))
        return machine(machine_fib(arg_value));
    return own_term(caller, arg_value);
}

__PYX_COLD Term level_failed() {
    __Pyx_AddTraceback(kQualname, kCallLine);
    return kFailed;
}

// fib(n) for n other than 1 and 2, on the calling thread:
// fib(n - 1) + fib(n - 2), the first term on the left.
Term fib_level(const Caller &caller, int n) {
    if (!pass_checkpoint(caller))
        return level_failed();
    Term first = fib_term(caller, minus(n, 1));
    if (first.failed())
        return level_failed();
    Term second = fib_term(caller, minus(n, 2));
    if (second.failed()) {
        Py_XDECREF(first.object);
        return level_failed();
    }
    Term sum = add_terms(first, second);
    if (sum.failed())
        return level_failed();
    return sum;
}

PyObject *__pyx_pf_6morvex_9morvex_cy_2fib(PyObject * /*self*/, int __pyx_v_n) {
    if (is_base_case(__pyx_v_n))
        return Py_NewRef(__pyx_mstate_global->__pyx_int_1);
    // A body entered through another binding is one cycle deeper: the check
    // of a level entered directly.
    const Caller caller = {_PyThreadState_UncheckedGet(), __Pyx_NativeStackEnd()};
    if (stack_is_short(caller)) {
        stack_exhausted();
        return nullptr;
    }
    Term result = fib_level(caller, __pyx_v_n);
    if (result.failed())
        return nullptr;
    // The outermost sum becomes an object only now.
    PyObject *object = as_object(result);
    if (!object)
        __Pyx_AddTraceback(kQualname, kCallLine);
    return object;
}

const __Pyx_OneIntParam fib_param = {
    "fib",
    kQualname,
    32,
    {&__pyx_mstate_global_static.__pyx_string_tab[strtab::n], nullptr},
};

PyObject *__pyx_pw_6morvex_9morvex_cy_3fib(PyObject *self, PyObject *const *args,
                                           Py_ssize_t nargs, PyObject *kwds) {
    return __Pyx_OneIntArgWrapper<__pyx_pf_6morvex_9morvex_cy_2fib>(fib_param, self, args, nargs,
                                                                   kwds);
}

}  // namespace

PyMethodDef __pyx_mdef_6morvex_9morvex_cy_3fib = {
    "fib",
    __Pyx_FunctionCast<PyCFunction>(__pyx_pw_6morvex_9morvex_cy_3fib),
    METH_FASTCALL | METH_KEYWORDS,
    nullptr,
};
