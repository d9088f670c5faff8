// fib(n): the n-th Fibonacci number by naive double recursion through the
// module's global name `fib`, with Python-level additions.
#include "morvex/module.h"

namespace {

constexpr const char kQualname[] = "morvex.morvex_cy.fib";
constexpr int kCallLine = 35;

// One term of the sum: whatever `fib` is bound to at this moment, called
// with the int `arg_value`. New reference, or null with an exception set.
PyObject *fib_term(int arg_value) {
    PyObject *callable = __Pyx__GetModuleGlobalName(__pyx_str(strtab::fib),
                                                    __pyx_str_hash(strtab::fib));
    if (!callable)
        return nullptr;
    PyObject *arg = PyLong_FromLong(arg_value);
    if (!arg) {
        Py_DECREF(callable);
        return nullptr;
    }
    // A bound method is called as its function with the self in front.
    PyObject *self = nullptr;
    if (Py_IS_TYPE(callable, &PyMethod_Type)) {
        self = Py_NewRef(PyMethod_GET_SELF(callable));
        Py_SETREF(callable, Py_NewRef(PyMethod_GET_FUNCTION(callable)));
    }
    // Each step is guarded, so a recursion that never reaches a base case
    // (n <= 0) ends in RecursionError instead of exhausting the native stack.
    PyObject *result = nullptr;
    if (Py_EnterRecursiveCall(" while calling a Python object") == 0) {
        PyObject *callargs[2] = {self, arg};
        result = self ? __Pyx_PyObject_FastCallDict(callable, callargs, 2, nullptr)
                      : __Pyx_PyObject_FastCallDict(callable, callargs + 1,
                                                    1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        Py_LeaveRecursiveCall();
    }
    Py_XDECREF(self);
    Py_DECREF(arg);
    Py_DECREF(callable);
    return result;
}

// fib(n - 1) + fib(n - 2), the first term on the left. The second lookup
// happens after the first call has returned, so a rebinding made meanwhile
// is seen. n - 1 and n - 2 wrap in 32 bits, as the typed source does.
PyObject *fib_sum(int n) {
    PyObject *first = fib_term(int(unsigned(n) - 1u));
    if (!first)
        return nullptr;
    PyObject *second = fib_term(int(unsigned(n) - 2u));
    if (!second) {
        Py_DECREF(first);
        return nullptr;
    }
    PyObject *result = PyNumber_Add(first, second);
    Py_DECREF(first);
    Py_DECREF(second);
    return result;
}

PyObject *__pyx_pf_6morvex_9morvex_cy_2fib(PyObject * /*self*/, int __pyx_v_n) {
    // 1 and 2 exactly: n - 1, taken unsigned, is at most 1.
    if (unsigned(__pyx_v_n) - 1u <= 1u)
        return Py_NewRef(__pyx_mstate_global->__pyx_int_1);
    PyObject *result = fib_sum(__pyx_v_n);
    if (!result)
        __Pyx_AddTraceback(kQualname, kCallLine);
    return result;
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
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(__pyx_pw_6morvex_9morvex_cy_3fib)),
    METH_FASTCALL | METH_KEYWORDS,
    nullptr,
};
