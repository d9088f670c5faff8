// run_loop(loop): the number of steps of a loop over range(loop) in 32-bit
// arithmetic, computed in constant time.
#include "morvex/module.h"

namespace {

constexpr const char kQualname[] = "morvex.morvex_cy.run_loop";

// The loop `for i in range(loop): s += 1` counts `loop` steps when `loop`
// is positive and none otherwise; that closed form is the whole body, so the
// cost does not depend on `loop` and `s` cannot overflow.
PyObject *__pyx_pf_6morvex_9morvex_cy_run_loop(PyObject * /*self*/, int __pyx_v_loop) {
    int __pyx_v_s = __pyx_v_loop > 0 ? __pyx_v_loop : 0;
    PyObject *result = PyLong_FromLong(__pyx_v_s);
    if (!result)
        __Pyx_AddTraceback(kQualname, 29);
    return result;
}

const __Pyx_OneIntParam run_loop_param = {
    "run_loop",
    kQualname,
    23,
    {&__pyx_mstate_global_static.__pyx_string_tab[strtab::loop], nullptr},
};

PyObject *__pyx_pw_6morvex_9morvex_cy_1run_loop(PyObject *self, PyObject *const *args,
                                                Py_ssize_t nargs, PyObject *kwds) {
    return __Pyx_OneIntArgWrapper<__pyx_pf_6morvex_9morvex_cy_run_loop>(run_loop_param, self,
                                                                        args, nargs, kwds);
}

}  // namespace

PyMethodDef __pyx_mdef_6morvex_9morvex_cy_1run_loop = {
    "run_loop",
    __Pyx_FunctionCast<PyCFunction>(__pyx_pw_6morvex_9morvex_cy_1run_loop),
    METH_FASTCALL | METH_KEYWORDS,
    nullptr,
};
