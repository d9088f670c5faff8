// fib(n): the n-th Fibonacci number by naive double recursion through the
// module's global name `fib`, with Python-level additions.
#include "morvex/module.h"

namespace {

constexpr const char kQualname[] = "morvex.morvex_cy.fib";
constexpr int kCallLine = 35;

PyObject *fib_level(PyThreadState *tstate, int n);

// The host's recursion guard around each recursive step, so a recursion
// that never reaches a base case (n <= 0) ends in RecursionError instead of
// exhausting the native stack. Py_EnterRecursiveCall only spends one unit
// of the thread's budget while some is left; that case stays inline.
inline bool enter_recursive_call(PyThreadState *tstate) {
    if (tstate->c_recursion_remaining > 0) {
        tstate->c_recursion_remaining--;
        return true;
    }
    return Py_EnterRecursiveCall(" while calling a Python object") == 0;
}

inline void leave_recursive_call(PyThreadState *tstate) {
    tstate->c_recursion_remaining++;
}

// A function object made from this module's fib definition. Calling one
// runs the fast call entry, the wrapper and the intake, which hand the int
// unchanged to the body: entering the body directly is the same call.
inline bool is_own_fib(PyObject *callable) {
    return Py_IS_TYPE(callable, __pyx_mstate_global->__pyx_CyFunctionType) &&
           reinterpret_cast<PyCFunctionObject *>(callable)->m_ml ==
               &__pyx_mdef_6morvex_9morvex_cy_3fib;
}

// Calls any other binding of `fib` with a new int made of `arg_value`; a
// bound method is called as its function with the self in front.
PyObject *call_binding(PyObject *callable, int arg_value) {
    PyObject *arg = PyLong_FromLong(arg_value);
    if (!arg)
        return nullptr;
    PyObject *result;
    if (Py_IS_TYPE(callable, &PyMethod_Type)) {
        PyObject *self = Py_NewRef(PyMethod_GET_SELF(callable));
        PyObject *function = Py_NewRef(PyMethod_GET_FUNCTION(callable));
        PyObject *callargs[2] = {self, arg};
        result = __Pyx_PyObject_FastCallDict(function, callargs, 2, nullptr);
        Py_DECREF(self);
        Py_DECREF(function);
    } else {
        PyObject *callargs[2] = {nullptr, arg};  // slot 0 free for the callee
        result = __Pyx_PyObject_FastCallDict(callable, callargs + 1,
                                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    Py_DECREF(arg);
    return result;
}

// One term of the sum: whatever `fib` is bound to at this moment, called
// with `arg_value`. The lookup happens at every step, so any rebinding made
// by code that ran since the last one is seen. New reference, or null with
// an exception set.
PyObject *fib_term(PyThreadState *tstate, int arg_value) {
    static __Pyx_GlobalEntry fib_global = {strtab::fib, -1};
    PyObject *callable = __Pyx_GetModuleGlobalEntry(&fib_global);
    if (!callable)
        return nullptr;
    PyObject *result = nullptr;
    if (enter_recursive_call(tstate)) {
        result = is_own_fib(callable) ? fib_level(tstate, arg_value)
                                      : call_binding(callable, arg_value);
        leave_recursive_call(tstate);
    }
    Py_DECREF(callable);
    return result;
}

// a + b. Two exact compact ints are added here, which gives the very object
// the int type's own addition would (the host's small ints included);
// everything else goes through PyNumber_Add.
inline PyObject *add_terms(PyObject *a, PyObject *b) {
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        auto *x = reinterpret_cast<PyLongObject *>(a);
        auto *y = reinterpret_cast<PyLongObject *>(b);
        if (_PyLong_IsCompact(x) && _PyLong_IsCompact(y))
            return PyLong_FromSsize_t(_PyLong_CompactValue(x) + _PyLong_CompactValue(y));
    }
    return PyNumber_Add(a, b);
}

// fib(n - 1) + fib(n - 2), the first term on the left. The second lookup
// happens after the first call has returned, so a rebinding made meanwhile
// is seen. n - 1 and n - 2 wrap in 32 bits, as the typed source does.
PyObject *fib_sum(PyThreadState *tstate, int n) {
    PyObject *first = fib_term(tstate, int(unsigned(n) - 1u));
    if (!first)
        return nullptr;
    PyObject *second = fib_term(tstate, int(unsigned(n) - 2u));
    if (!second) {
        Py_DECREF(first);
        return nullptr;
    }
    PyObject *result = add_terms(first, second);
    Py_DECREF(first);
    Py_DECREF(second);
    return result;
}

// The body at one level of the recursion, on the calling thread `tstate`.
PyObject *fib_level(PyThreadState *tstate, int n) {
    // 1 and 2 exactly: n - 1, taken unsigned, is at most 1.
    if (unsigned(n) - 1u <= 1u)
        return Py_NewRef(__pyx_mstate_global->__pyx_int_1);
    PyObject *result = fib_sum(tstate, n);
    if (!result)
        __Pyx_AddTraceback(kQualname, kCallLine);
    return result;
}

PyObject *__pyx_pf_6morvex_9morvex_cy_2fib(PyObject * /*self*/, int __pyx_v_n) {
    return fib_level(_PyThreadState_UncheckedGet(), __pyx_v_n);
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
