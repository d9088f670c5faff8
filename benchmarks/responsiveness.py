"""How long a running ``fib`` keeps the rest of the process waiting.

    .venv/bin/python benchmarks/responsiveness.py

Three figures, each repetition in a fresh interpreter of its own (``python
responsiveness.py MODE FIB N`` runs one and prints one JSON object):

    signal FIB N  run fib(N); the parent sends SIGINT SIGNAL_AFTER seconds
                  after the call began, and the child reports when
                  KeyboardInterrupt reached it
    async FIB N   run fib(N) in a worker thread; the main thread sets an
                  exception for it with PyThreadState_SetAsyncExc
                  SIGNAL_AFTER seconds after the call began (as a watchdog
                  that limits a call's time does), and the worker reports
                  when the exception reached it
    ticker FIB N  run fib(N) beside a thread that sleeps TICK seconds in a
                  loop; report the longest gap between two of its wake-ups

FIB is ``morvex`` or ``python`` (the pure-Python recursion of baselines.py,
which the interpreter's own loop keeps responsive). The signal comes from the
parent process: a thread of the child could not send it while ``fib`` keeps
the interpreter lock. Both processes read CLOCK_MONOTONIC, which is one clock
for the whole machine. A child that does not answer within its bound is
killed, and the figure says so.
"""

import ctypes
import json
import os
import signal
import subprocess
import sys
import threading
import time

import report

SIGNAL_AFTER = 0.5  # seconds into the call; fib(45) runs for seconds
SIGNAL_BOUND = 5.0  # seconds after the signal before the child is killed
TICKER_BOUND = 60.0  # seconds for a whole ticker run
TICK = 0.001
SETTLE = 0.05  # seconds the ticker runs before fib starts
# (fib, n) per figure: the module, then the pure-Python recursion for
# comparison, at a size that pure Python runs in well under a second.
SIGNAL_RUNS = ASYNC_RUNS = (("morvex", 45), ("python", 45))
TICKER_RUNS = (("morvex", 42), ("python", 32))


def now():
    return time.clock_gettime(time.CLOCK_MONOTONIC)


# ---------------------------------------------------------------- child side


def _fib(which):
    if which == "morvex":
        from morvex.morvex_cy import fib
    else:
        from baselines import fib
    return fib


def child_signal(which, n):
    fib = _fib(which)
    # A process started with SIGINT ignored (a background job of a shell
    # without job control) would not get the interpreter's handler otherwise.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    print("ready", flush=True)
    try:
        fib(n)
    except KeyboardInterrupt as interrupt:
        caught = now()
        # An entry below this frame's own: raised inside the call, not by the
        # interpreter once fib had returned.
        return {"caught": caught, "inside_fib": interrupt.__traceback__.tb_next is not None}
    return {"caught": None}


def child_async(which, n):
    fib = _fib(which)
    caught = []

    class Stop(Exception):
        pass

    def worker():
        try:
            fib(n)
        except Stop as stop:
            caught.append({"caught": now(), "inside_fib": stop.__traceback__.tb_next is not None})

    thread = threading.Thread(target=worker, daemon=True)
    thread.start()
    time.sleep(SIGNAL_AFTER)
    sent = now()
    ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(thread.ident), ctypes.py_object(Stop))
    thread.join(SIGNAL_BOUND)
    result = dict(caught[0], sent=sent) if caught else {"caught": None}
    print(json.dumps(result), flush=True)
    # A worker still in fib would keep the interpreter from finishing.
    os._exit(0)


def child_ticker(which, n):
    fib = _fib(which)
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(now())
            time.sleep(TICK)

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(SETTLE)
    start = now()
    fib(n)
    end = now()
    time.sleep(SETTLE)
    stop.set()
    thread.join()
    # The gaps that overlap the call: from the last wake-up before it to the
    # first one after it.
    before = [t for t in ticks if t < start][-1:]
    after = [t for t in ticks if t > end][:1]
    window = before + [t for t in ticks if start <= t <= end] + after
    return {"stall": max(b - a for a, b in zip(window, window[1:])), "call": end - start}


CHILDREN = {"signal": child_signal, "async": child_async, "ticker": child_ticker}


# --------------------------------------------------------------- parent side


class NoAnswer(Exception):
    pass


def _child(*args):
    # Unbuffered, so that reading the child's first line reads nothing beyond
    # it: whatever follows is left for communicate().
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)


def _answer(proc, bound):
    """The child's JSON result; NoAnswer when it is late (it is killed) or fails."""
    try:
        out, err = proc.communicate(timeout=bound)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise NoAnswer(f"no response within {bound:g} s") from None
    if proc.returncode != 0:
        last = err.decode(errors="replace").strip().splitlines()[-1:]
        raise NoAnswer(last[0] if last else f"exit status {proc.returncode}")
    return json.loads(out.splitlines()[-1])


def signal_delay(which, n):
    """Seconds from SIGINT to KeyboardInterrupt in a fib(n) call, and whether
    it was raised inside the call rather than after it returned."""
    proc = _child("signal", which, n)
    if proc.stdout.readline() != b"ready\n":
        _answer(proc, SIGNAL_BOUND)  # the child failed: this raises why
        raise NoAnswer("the child never started fib")
    time.sleep(SIGNAL_AFTER)
    sent = now()
    proc.send_signal(signal.SIGINT)
    result = _answer(proc, SIGNAL_BOUND)
    if result["caught"] is None:
        raise NoAnswer(f"fib({n}) returned without KeyboardInterrupt")
    return result["caught"] - sent, result["inside_fib"]


def async_delay(which, n):
    """Seconds from PyThreadState_SetAsyncExc to the exception in a worker's
    fib(n) call, and whether it was raised inside the call."""
    result = _answer(_child("async", which, n), SIGNAL_AFTER + SIGNAL_BOUND)
    if result["caught"] is None:
        raise NoAnswer(f"fib({n}) kept running {SIGNAL_BOUND:g} s after the exception was set")
    return result["caught"] - result["sent"], result["inside_fib"]


def ticker_stall(which, n):
    """The longest gap of the ticker thread during fib(n), and the call's time."""
    result = _answer(_child("ticker", which, n), TICKER_BOUND)
    return result["stall"], result["call"]


def _repeat(probe, which, n, repeats):
    """Up to `repeats` results of probe; a figure that got no answer once is
    not tried again, since every try would wait out the bound."""
    figure = {"fib": which, "n": n, "values": []}
    for _ in range(repeats):
        try:
            figure["values"].append(probe(which, n))
        except NoAnswer as reason:
            figure["error"] = str(reason)
            break
    return figure


def measure(repeats=5):
    """All three figures for the module and for pure Python, for the report."""
    return {
        "signal_after": SIGNAL_AFTER,
        "tick": TICK,
        "signal": [_repeat(signal_delay, which, n, repeats) for which, n in SIGNAL_RUNS],
        "async": [_repeat(async_delay, which, n, repeats) for which, n in ASYNC_RUNS],
        "ticker": [_repeat(ticker_stall, which, n, repeats) for which, n in TICKER_RUNS],
    }


def main():
    print("\n".join(report.render_responsiveness(measure())))


if __name__ == "__main__":
    if len(sys.argv) > 1:
        mode, which, n = sys.argv[1:]
        print(json.dumps(CHILDREN[mode](which, int(n))))
    else:
        main()
