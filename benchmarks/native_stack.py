"""Native stack per ``fib`` recursion level, and the deepest chain that completes.

Every probe runs in a fresh interpreter of its own (``python native_stack.py
MODE ...``): a probe may overflow its stack on purpose, and a high-water mark
is only meaningful on a stack that nothing else has used before.

Modes of the child process, each printing one JSON object:

    highwater N   run fib(N) in a new thread; report how deep its stack was used
    depth [S B]   run fib(0); count the traceback entries of its RecursionError
                  (in a thread whose stack is S bytes, with the recursion
                  budget set to B units by the test probe, when given)
    survives N S  run fib(N) in a thread whose stack is S bytes; a stack
                  overflow kills the process, any ending of fib(N) is a pass

Where a stack is too small for the budget's deepest chain, fib stops short
of its end with RecursionError: the smallest stack in which fib(0) still
runs into the budget's own limit is measured for both budgets a 3.12 may
have, 1500 units (3.12.0 to 3.12.2) and 10000 (3.12.3 on).
"""

import json
import os
import pathlib
import resource
import subprocess
import sys
import threading

MODULE_FILE = "morvex/morvex_cy.py"
FIB_QUALNAME = "morvex.morvex_cy.fib"
FIB_CALL_LINE = 35  # the line of the recursive calls in the module's source

# Chains measured for the per-level slope: a shallow one, and fib(0), which
# recurses until the interpreter's recursion guard stops it some 1500 levels
# down. Chains of a few dozen levels stay within the depth the thread's own
# start-up touches, so only the deep chain leaves a mark of fib's own.
SHALLOW_N, DEEP_N = 3, 0
BUDGETS = (1500, 10000)
PAGE = 4096
MIN_THREAD_STACK = 32 * 1024  # threading.stack_size's smallest accepted size
MAX_THREAD_STACK = 64 * 1024 * 1024


# ---------------------------------------------------------------- child side


def _stack_bounds(thread_ident):
    """(lowest address, size) of a thread's stack, as glibc or musl record it."""
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    attr = ctypes.create_string_buffer(256)  # larger than any pthread_attr_t
    if libc.pthread_getattr_np(ctypes.c_ulong(thread_ident), attr) != 0:
        raise OSError("pthread_getattr_np failed")
    addr, size = ctypes.c_void_p(), ctypes.c_size_t()
    try:
        if libc.pthread_attr_getstack(attr, ctypes.byref(addr), ctypes.byref(size)) != 0:
            raise OSError("pthread_attr_getstack failed")
    finally:
        libc.pthread_attr_destroy(attr)
    return addr.value, size.value


def _used_stack(thread_ident):
    """Bytes between the top of a thread's stack and the deepest byte written.

    A new thread's stack is freshly mapped, zero-filled memory, so the lowest
    non-zero byte is the deepest point the thread has reached so far. Counted
    in whole 8-byte words: the deepest word written may well begin with zero
    bytes.
    """
    import ctypes

    addr, size = _stack_bounds(thread_ident)
    memory = ctypes.string_at(addr, size)
    untouched = len(memory) - len(memory.lstrip(b"\0"))
    return size - untouched // 8 * 8


def _run_in_thread(call, stack_size, inspect=None):
    """Run call() in a new thread; inspect(thread) runs while it is parked."""
    outcome = {}
    finished, release = threading.Event(), threading.Event()

    def body():
        try:
            outcome["value"] = call()
        except RecursionError as error:
            outcome["error"] = error
        finished.set()
        release.wait()

    threading.stack_size(stack_size)
    thread = threading.Thread(target=body)
    thread.start()
    finished.wait()
    # The thread is parked, not gone, so its stack is still mapped; reading
    # it from here adds nothing to it.
    seen = inspect(thread) if inspect else None
    release.set()
    thread.join()
    return outcome, seen


def _outcome_name(outcome):
    return "RecursionError" if "error" in outcome else "returned"


def child_highwater(n):
    from morvex.morvex_cy import fib

    outcome, used = _run_in_thread(
        lambda: fib(n), 16 * 1024 * 1024, lambda thread: _used_stack(thread.ident)
    )
    return {"n": n, "used": used, "outcome": _outcome_name(outcome)}


def _with_budget(budget, call):
    """call() with the thread's recursion budget set to `budget` units."""
    sys.path[:0] = [str(_probe_dir())]
    import _morvex_probe

    return _morvex_probe.call_with_budget(budget, call)


def _levels_of_fib0():
    """The traceback entries at the call line of fib(0)'s RecursionError,
    and its message; None when fib(0) returned."""
    from morvex.morvex_cy import fib

    try:
        fib(0)
    except RecursionError as error:
        entries, tb = 0, error.__traceback__
        while tb is not None:
            code = tb.tb_frame.f_code
            if (
                code.co_filename == MODULE_FILE
                and code.co_name == FIB_QUALNAME
                and tb.tb_lineno == FIB_CALL_LINE
            ):
                entries += 1
            tb = tb.tb_next
        return entries, str(error)
    return None, "fib(0) returned"


def child_depth(stack_size=0, budget=0):
    if stack_size or budget:
        def levels():
            return _with_budget(budget, _levels_of_fib0) if budget else _levels_of_fib0()

        entries, message = (_run_in_thread(levels, stack_size)[0]["value"] if stack_size
                            else levels())
        return {"entries": entries, "message": message}
    entries, message = _levels_of_fib0()
    if entries is None:
        return {"entries": None, "message": message}
    from morvex.morvex_cy import fib

    # fib(n) nests n - 1 bodies on its first chain (n, n - 1, ..., 2), so the
    # first n whose chain is one level too long must fail at once.
    too_deep = entries + 2
    try:
        fib(too_deep)
        too_deep_fails = False
    except RecursionError:
        too_deep_fails = True
    return {
        "entries": entries,
        "message": message,
        "too_deep": too_deep,
        "too_deep_fails": too_deep_fails,
    }


def child_survives(n, stack_size):
    from morvex.morvex_cy import fib

    outcome, _ = _run_in_thread(lambda: fib(n), stack_size)
    return {"outcome": _outcome_name(outcome)}


def child_main(argv):
    mode, args = argv[0], [int(a) for a in argv[1:]]
    if mode == "highwater":
        result = child_highwater(*args)
    elif mode == "depth":
        result = child_depth(*args)
    elif mode == "survives":
        result = child_survives(*args)
    else:
        raise SystemExit(f"unknown mode {mode!r}")
    print(json.dumps(result))


# --------------------------------------------------------------- parent side


class ProbeCrashed(Exception):
    pass


def _no_core_dump():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def _probe(*args):
    """Run one child probe; its JSON result, or ProbeCrashed if it died."""
    env = dict(os.environ)
    # Lazy symbol binding saves the whole vector-register file on the stack
    # the first time each symbol is called; that leaves a mark several KiB
    # deep that has nothing to do with fib. Binding everything at load time
    # keeps the high-water mark fib's own.
    env["LD_BIND_NOW"] = "1"
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), *map(str, args)],
        capture_output=True,
        text=True,
        env=env,
        preexec_fn=_no_core_dump,
        timeout=120,
    )
    if proc.returncode != 0:
        raise ProbeCrashed(
            f"{' '.join(map(str, args))}: exit status {proc.returncode}"
            f"{': ' + proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else ''}"
        )
    return json.loads(proc.stdout)


def per_level_bytes(depth):
    """Bytes of native stack per nested fib call, from the high-water slope
    between a shallow chain (one level) and fib(0)'s chain of `depth` levels.

    Returns (bytes per level, {n: high-water mark}). The deep mark includes
    the traceback entries built at the bottom while the RecursionError
    unwinds, a few KiB spread over some 1500 levels.
    """
    marks = {n: _probe("highwater", n)["used"] for n in (SHALLOW_N, DEEP_N)}
    return (marks[DEEP_N] - marks[SHALLOW_N]) / (depth - 1), marks


def deepest_chain():
    """What fib(0) reaches before the interpreter's recursion guard stops it."""
    return _probe("depth")


def _probe_dir():
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
    import support

    return support.PROBE_BUILD


def smallest_stack_for_whole_budget(budget):
    """Smallest thread stack, in whole pages, in which fib(0) runs into the
    budget of `budget` units rather than the end of the stack; None if even
    the largest does not."""
    whole = _probe("depth", 0, budget)["entries"]
    return _bisect_stack(lambda size: _probe("depth", size, budget)["entries"] == whole)


def smallest_surviving_stack(n=0):
    """Smallest thread stack, in whole pages, in which fib(n) ends cleanly.

    Bisection between threading's minimum and a size far beyond need; None
    if even the largest overflows.
    """
    def survives(size):
        try:
            _probe("survives", n, size)
            return True
        except ProbeCrashed:
            return False

    return _bisect_stack(survives)


def _bisect_stack(holds):
    """The smallest stack size, in whole pages, for which holds(size) is
    true, taking it to be true of every larger one; None if not even of the
    largest."""
    lo, hi = MIN_THREAD_STACK // PAGE, MAX_THREAD_STACK // PAGE
    if holds(lo * PAGE):
        return lo * PAGE
    if not holds(hi * PAGE):
        return None
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if holds(mid * PAGE):
            hi = mid
        else:
            lo = mid
    return hi * PAGE


def default_stack_limit():
    """The main thread's stack limit (RLIMIT_STACK), None when unlimited."""
    soft, _ = resource.getrlimit(resource.RLIMIT_STACK)
    return None if soft == resource.RLIM_INFINITY else soft


def measure():
    """All stack and depth figures, for the report. Never raises for a crash."""
    result = {"stack_limit": default_stack_limit()}
    try:
        result["depth"] = deepest_chain()
    except ProbeCrashed as crash:
        result["depth_error"] = str(crash)
    try:
        depth = result.get("depth", {}).get("entries")
        if not depth:
            raise ProbeCrashed("no depth to take the slope over")
        result["per_level"], result["marks"] = per_level_bytes(depth)
    except ProbeCrashed as crash:
        result["per_level_error"] = str(crash)
    try:
        result["smallest_stack"] = smallest_surviving_stack()
    except ProbeCrashed as crash:
        result["smallest_stack_error"] = str(crash)
    try:
        result["whole_budget_stack"] = {budget: smallest_stack_for_whole_budget(budget)
                                        for budget in BUDGETS}
    except (ProbeCrashed, ImportError) as error:
        result["whole_budget_stack_error"] = str(error)
    return result


if __name__ == "__main__":
    child_main(sys.argv[1:])
