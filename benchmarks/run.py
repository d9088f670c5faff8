"""Run every morvex benchmark and print one table of same-run ratios.

    .venv/bin/python benchmarks/run.py            # full run, about 7 minutes
    .venv/bin/python benchmarks/run.py --quick    # smoke run, about 70 seconds

Every timed row pairs the module with a baseline measured in the same run,
interleaved with it, by the same interpreter, and reports both times and
their ratio; the fib rows have four baselines, the pure-Python recursion,
its typed copy compiled with mypyc and with numba, and a plain C recursion
(``--peers`` picks among the last three). Timing is pyperf's: each benchmark
runs in fresh worker processes, with warm-ups and calibrated inner loops.
The fib rows are also drawn into benchmarks/fib.png (``--plot``). Most other
pyperf options pass through (for example ``-o results.json`` to keep every
value, ``-q`` to hide its warnings). The report ends with figures that are
not timings: fib's native stack and depth, and how long a running fib keeps
a signal or another thread waiting.
"""

import importlib
import itertools
import pathlib
import subprocess
import sys
import time

import pyperf

import baselines
import c_peer
import environment
import mypyc_peer
import native_stack
import numba_peer
import plot
import report
import responsiveness
from morvex import morvex_cy

FIB_SIZES = report.FIB_SIZES
# The sides of the fib rows: what loads each function to time, None when it
# is not there. The peers are the sides that --peers can leave out.
FIB_LOADERS = {
    "python": lambda: baselines.fib,
    "mypyc": mypyc_peer.load,
    "numba": numba_peer.load,
    "c": c_peer.load,
    "morvex": lambda: morvex_cy.fib,
}
PEERS = ("mypyc", "numba", "c")
LOOP = 500000000
LOOP_SECONDS = 1.0  # the pure-Python loop is sized to run about this long
CALLS_PER_ROUND = 10

# Each side of a pair runs in CHUNKS slices of processes, in the order
# baseline, module, module, baseline, ... so that a machine whose load
# drifts during the run weighs on both sides alike.
FULL = {"chunks": 4, "processes": 5, "values": 3, "min_time": 0.1}
# Quick mode: enough to see that every row works and roughly where it
# stands, not numbers to quote.
QUICK = {"chunks": 2, "processes": 1, "values": 3, "min_time": 0.05}
# The pure-Python loop takes a second per value, so it gets one value per
# process, no warm-up (a second of bytecode warms itself) and few processes.
LOOP_PROCESSES = {"full": 5, "quick": 1}
# Runs of each responsiveness figure, each in a fresh interpreter.
RESPONSE_REPEATS = {"full": 5, "quick": 3}


def time_calls(loops, func, arg):
    """Time loops rounds of ten calls func(arg).

    Ten calls per round keep the round's own bookkeeping a small share of
    the time; both sides of a pair use this same function, so what is left
    of it weighs on both equally.
    """
    rounds = itertools.repeat(None, loops)
    start = time.perf_counter()
    for _ in rounds:
        func(arg)
        func(arg)
        func(arg)
        func(arg)
        func(arg)
        func(arg)
        func(arg)
        func(arg)
        func(arg)
        func(arg)
    return time.perf_counter() - start


def time_fib(loops, load, n):
    """Time loops calls of load()(n).

    The function is loaded before the clock starts, and only in the worker
    that times it: numba takes half a second to import.
    """
    fib = load()
    rounds = itertools.repeat(None, loops)
    start = time.perf_counter()
    for _ in rounds:
        fib(n)
    return time.perf_counter() - start


ROOT = pathlib.Path(__file__).resolve().parent.parent


def bare_call_target(build):
    """A callable of a custom type with nothing but a vectorcall field, doing
    run_loop's work (from the test probe); None without the probe.

    With `build` (the parent process) the probe is built first; workers only
    import what the parent built, so both lay out the same benchmarks.
    """
    sys.path.insert(0, str(ROOT / "tests"))
    try:
        import support

        if build:
            try:
                support.build_probe()
            except (RuntimeError, OSError) as error:
                print(f"no bare call target: {error}".splitlines()[0])
                return None
        sys.path.insert(0, str(support.PROBE_BUILD))
        return importlib.import_module("_morvex_probe").bare_call_target()
    except ImportError:
        return None


def peer_error(peer):
    """Why a peer cannot be timed; None when it builds, loads and gives the
    right answers."""
    build = {"mypyc": mypyc_peer.build, "c": c_peer.build}.get(peer)
    error = build() if build else None
    if error:
        return error
    try:
        fib = FIB_LOADERS[peer]()
        if fib is None:
            return "not installed or not built"
        for n in FIB_SIZES[:2]:
            if fib(n) != baselines.fib(n):
                return f"fib({n}) is {fib(n)}, not {baselines.fib(n)}"
    except Exception as failure:  # whatever a peer fails with only leaves it out
        return f"{type(failure).__name__}: {failure}"
    return None


def working_peers(requested):
    """The peers among `requested` that can be timed; says why the others cannot.

    Only the parent runs this; it hands the list to its workers, which then
    lay out the same benchmarks without loading a peer they do not time.
    """
    working = []
    for peer in requested:
        error = peer_error(peer)
        if error:
            print(f"no {peer} peer: {error}")
        else:
            working.append(peer)
    return working


def loop_steps_for(seconds):
    """A step count for which the pure-Python loop runs about `seconds`."""
    probe = 4_000_000
    best = min(_timed(baselines.count_loop, probe) for _ in range(3))
    steps = seconds * probe / best
    scale = 10 ** (len(str(int(steps))) - 2)
    return max(int(round(steps / scale)) * scale, probe)


def _timed(func, arg):
    start = time.perf_counter()
    func(arg)
    return time.perf_counter() - start


def job_command():
    return [sys.executable, "-m", "morvex", str(LOOP)]


def empty_command():
    return [sys.executable, "-c", "pass"]


def check_results(loop_steps):
    """Refuse to time anything that does not compute the right answer."""
    for n in FIB_SIZES[:2]:
        expected = baselines.fib(n)
        if morvex_cy.fib(n) != expected:
            sys.exit(f"morvex fib({n}) != {expected}: not benchmarking a wrong result")
    if morvex_cy.run_loop(LOOP) != abs(-LOOP):
        sys.exit(f"run_loop({LOOP}) != {LOOP}: not benchmarking a wrong result")
    if baselines.count_loop(1000) != morvex_cy.run_loop(1000):
        sys.exit("the pure-Python loop and run_loop disagree on 1000 steps")
    output = subprocess.run(job_command(), capture_output=True, text=True)
    if output.returncode != 0 or output.stdout != f"sum: {LOOP}\n":
        sys.exit(f"{' '.join(job_command())} printed {output.stdout!r}, status {output.returncode}")
    if loop_steps < 1:
        sys.exit("--loop-steps must be positive")


def _add_worker_args(cmd, args):
    # Workers must lay out the same benchmarks in the same order as the parent.
    cmd.extend(("--loop-steps", str(args.loop_steps), "--peers", ",".join(args.peers)))
    if args.quick:
        cmd.append("--quick")


class Pooled:
    """One side of a pair: the chunks it ran in, read as one sample."""

    def __init__(self, chunks):
        self.chunks = chunks

    def values(self):
        return [value for chunk in self.chunks for value in chunk.get_values()]


class Suite:
    """The benchmarks in their fixed order.

    pyperf re-runs this script in every worker process and picks the
    benchmark to run by its position in that order, so the order and the
    number of calls must not depend on anything but the command line.
    """

    def __init__(self, runner, settings):
        self.args = runner.args
        self.worker = runner.args.worker
        self.chunks = settings["chunks"]

    def _run(self, overrides, bench, *args, **kwargs):
        # Workers take their settings from the command line the parent
        # built, so only the parent changes them.
        if self.worker:
            return bench(*args, **kwargs)
        saved = {key: getattr(self.args, key) for key in overrides}
        for key, value in overrides.items():
            setattr(self.args, key, value)
        try:
            return bench(*args, **kwargs)
        finally:
            for key, value in saved.items():
                setattr(self.args, key, value)

    def pair(self, baseline, subject):
        """Run two benchmarks interleaved; (baseline, subject) as Pooled."""
        return self.group(baseline, subject)

    def group(self, *sides):
        """Run benchmarks interleaved; one Pooled per side, in order.

        Each side is (name, runner method, arguments...). The sides take
        turns forwards, then backwards (0, 1, 2, 2, 1, 0, ...), so that load
        drifting during the run weighs on all of them alike. The first chunk
        of each side calibrates its inner loop count; the later chunks reuse
        it, so every chunk measures the same thing.
        """
        chunks = tuple([] for _ in sides)
        loops = [0] * len(sides)
        started = [0] * len(sides)
        forwards = list(range(len(sides)))
        order = (forwards + forwards[::-1]) * (self.chunks // 2) + forwards * (self.chunks % 2)
        for side in order:
            name, method, *bench_args = sides[side]
            kwargs = bench_args.pop() if isinstance(bench_args[-1], dict) else {}
            started[side] += 1
            label = f"{name} ({started[side]}/{self.chunks})"
            bench = self._run({"loops": loops[side]}, method, label, *bench_args, **kwargs)
            if bench is not None:
                chunks[side].append(bench)
                if not loops[side] and not self.worker:
                    loops[side] = int(bench.get_loops())
        return tuple(Pooled(side_chunks) for side_chunks in chunks)

    def single(self, overrides, name, method, *bench_args):
        bench = self._run(overrides, method, name, *bench_args)
        return Pooled([bench] if bench is not None else [])


def main():
    runner = pyperf.Runner(add_cmdline_args=_add_worker_args)
    runner.argparser.add_argument(
        "--quick", action="store_true", help="smoke run of about 70 seconds; numbers not to quote"
    )
    runner.argparser.add_argument(
        "--plot", default=str(ROOT / "benchmarks" / "fib.png"), metavar="PNG",
        help="where to draw the fib rows (default: benchmarks/fib.png; empty: no plot)",
    )
    runner.argparser.add_argument(
        "--loop-steps", type=int, default=0,
        help="steps of the pure-Python loop (default: about %g s worth)" % LOOP_SECONDS,
    )
    runner.argparser.add_argument(
        "--peers", type=lambda text: [peer for peer in text.split(",") if peer],
        default=list(PEERS), metavar="LIST",
        help=f"the fib peers to time, comma-separated (default: {','.join(PEERS)}; "
             "any that does not build is left out)",
    )
    args = runner.parse_args()
    mode = "quick" if args.quick else "full"
    settings = QUICK if args.quick else FULL

    if not args.worker:
        unknown = set(args.peers) - set(PEERS)
        if unknown:
            sys.exit(f"--peers: no peer named {', '.join(sorted(unknown))}")
        for key in ("processes", "values", "min_time"):
            setattr(args, key, settings[key])
        if not args.loop_steps:
            args.loop_steps = loop_steps_for(LOOP_SECONDS)
        check_results(args.loop_steps)
        args.peers = working_peers(args.peers)
        started = time.time()
        load_before = environment.load_average()
        print(f"morvex benchmarks, {mode} run")
        print()

    suite = Suite(runner, settings)
    benches = {}
    for n in FIB_SIZES:
        sides = {side: (f"fib({n}) {name}", runner.bench_time_func, time_fib, FIB_LOADERS[side], n)
                 for side, name in report.FIB_SIDES if side not in PEERS or side in args.peers}
        for side, pooled in zip(sides, suite.group(*sides.values())):
            benches[f"fib_{n}_{side}"] = pooled
    calls = {"inner_loops": CALLS_PER_ROUND}
    benches["abs_call"], benches["run_loop_call"] = suite.pair(
        (f"abs(-{LOOP}) call", runner.bench_time_func, time_calls, abs, -LOOP, calls),
        (f"run_loop({LOOP}) call", runner.bench_time_func, time_calls, morvex_cy.run_loop,
         LOOP, calls),
    )
    bare = bare_call_target(build=not args.worker)
    if bare is not None:
        benches["bare_call"], benches["run_loop_call_again"] = suite.pair(
            ("bare vectorcall type call", runner.bench_time_func, time_calls, bare, LOOP, calls),
            (f"run_loop({LOOP}) call again", runner.bench_time_func, time_calls,
             morvex_cy.run_loop, LOOP, calls),
        )
    benches["python_loop"] = suite.single(
        {"processes": LOOP_PROCESSES[mode], "values": 1, "warmups": 0, "loops": 1},
        f"pure-Python loop, {args.loop_steps} steps", runner.bench_func,
        baselines.count_loop, args.loop_steps,
    )
    benches["cmd_pass"], benches["cmd_job"] = suite.pair(
        ("python -c pass", runner.bench_command, empty_command()),
        (f"python -m morvex {LOOP}", runner.bench_command, job_command()),
    )

    if args.worker:
        return

    stack = native_stack.measure()
    responses = responsiveness.measure(RESPONSE_REPEATS[mode])
    header = {
        "mode": mode,
        "settings": (f"each side of a pair {suite.chunks} x {args.processes} processes x "
                     f"{args.values} values (+{args.warmups} warm-up), interleaved; "
                     f"pyperf {pyperf.__version__}"),
        "date": time.strftime("%Y-%m-%d %H:%M %Z", time.localtime(started)),
        "duration": time.time() - started,
        "machine": environment.machine(),
        "load": (load_before, environment.load_average()),
        "interpreter": environment.interpreter(),
        "module": environment.module_build(),
        "stale": environment.stale_sources(),
    }
    print()
    print(report.render(header, benches, stack, responses, loop=LOOP, loop_steps=args.loop_steps))
    if args.plot:
        print(plot.write(args.plot, benches, FIB_SIZES))


if __name__ == "__main__":
    main()
