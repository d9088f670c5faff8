"""The table that benchmarks/run.py prints at the end of a run.

Times are medians over every value of every worker process; a ratio is the
module's time over its baseline's, both from the same run, so below 1 the
module is faster.

The table also gives the ratio of the two lower deciles ("ratio p10"). Load
from other processes only ever adds time, so the fastest tenth of the values
is what an undisturbed machine comes closest to. A target counts as met when
both ratios meet it and as missed when neither does; when they disagree the
verdict is "unclear": the machine was too busy to tell, run again.

Below the table: the fib medians per body entry, fib's stack and depth, and
how long a running fib keeps a signal or another thread waiting.
"""

from dataclasses import dataclass


FIB_SIZES = (20, 25, 30)
TARGET_SIZES = (25, 30)  # fib(20) is too short a call to hold a target to
# The baselines of the fib rows, in table order: the key of their benchmarks,
# their name, the target at TARGET_SIZES as (largest ratio, text), and a note.
FIB_PEERS = (
    ("python", "pure-Python", (1 / 15, ">= 15x faster"), ""),
    ("mypyc", "mypyc", (1 / 1.6, ">= 1.6x faster"),
     "the same typed source compiled with mypyc, which binds fib once, takes no recursion "
     "guard and adds no traceback entries"),
    ("numba", "numba", (1.0, "faster"),
     "the same typed source under numba's @njit: machine code on int64, whose results wrap "
     "past fib(92); fib bound once when it compiles, no recursion guard, no traceback entries"),
    ("c", "C recursion", None,
     "fib_plain.c built at -O2 and called through ctypes, whose call is lost in the "
     "recursion's time: the machine's limit. gcc turns the second call into a loop and "
     "inlines a few levels, yet runs every body entry"),
)
# The sides of the fib rows, in the order they run and are listed per entry.
FIB_SIDES = (("python", "pure Python"), ("mypyc", "mypyc"), ("numba", "numba"),
             ("c", "C recursion, -O2"), ("morvex", "morvex"))
# A thread waiting for the interpreter lock gets it within a switch interval
# (5 ms by default) under pure Python; about two of them is the target.
RESPONSE_TARGET = 0.010


def body_entries(n):
    """How many times fib(n) enters the body of fib: 2·fib(n) − 1, for n >= 1."""
    a, b = 1, 1
    for _ in range(n - 2):
        a, b = b, a + b
    return 2 * b - 1


@dataclass(frozen=True)
class Time:
    """A sample of one benchmark, summed up: median and lower decile."""

    median: float
    low: float

    @classmethod
    def of(cls, values):
        ordered = sorted(values)
        return cls(ordered[len(ordered) // 2] if len(ordered) % 2
                   else (ordered[len(ordered) // 2 - 1] + ordered[len(ordered) // 2]) / 2,
                   ordered[(len(ordered) - 1) // 10])

    def __mul__(self, factor):
        return Time(self.median * factor, self.low * factor)


@dataclass
class Row:
    what: str
    morvex: Time
    baseline_name: str
    baseline: Time
    target: float | None = None  # the largest ratio that meets the target
    target_text: str = ""
    note: str = ""

    @property
    def ratio(self):
        return self.morvex.median / self.baseline.median

    @property
    def low_ratio(self):
        return self.morvex.low / self.baseline.low


def format_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            value = seconds / scale
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    raise AssertionError


def format_ratio(ratio):
    return f"{ratio:.3g}" if ratio >= 1e-3 else f"{ratio:.2e}"


def format_speed(ratio):
    factor, word = (1 / ratio, "faster") if ratio < 1 else (ratio, "slower")
    return f"{factor:.3g}x {word}" if factor < 1000 else f"{factor:.2e}x {word}"


def format_bytes(count):
    if count >= 1024 * 1024 and count % (1024 * 1024) == 0:
        return f"{count // (1024 * 1024)} MiB"
    if count >= 10 * 1024:
        return f"{count / 1024:.0f} KiB"
    return f"{count:g} B"


def timing_rows(benches, loop, loop_steps):
    def time_of(key):
        return Time.of(benches[key].values())

    rows = []
    for n in FIB_SIZES:
        morvex = time_of(f"fib_{n}_morvex")
        for key, name, target, note in FIB_PEERS:
            if f"fib_{n}_{key}" not in benches:
                continue
            largest, text = target if n in TARGET_SIZES and target else (None, "")
            rows.append(Row(
                f"fib({n})", morvex, f"{name} fib({n})", time_of(f"fib_{n}_{key}"),
                largest, text, note=note if n == FIB_SIZES[0] else "",
            ))
    call = time_of("run_loop_call")
    rows.append(Row(
        f"run_loop({loop}) call", call,
        f"abs(-{loop}) call", time_of("abs_call"),
        1.3, "<= 1.3x",
    ))
    if "bare_call" in benches:
        rows.append(Row(
            f"run_loop({loop}) call", time_of("run_loop_call_again"),
            "bare vectorcall type call", time_of("bare_call"),
            note=("a custom type whose object has only a vectorcall field and does run_loop's "
                  "work: the least any object that is not a builtin can cost"),
        ))
    loop_run = time_of("python_loop")
    step = loop_run * (1 / loop_steps)
    rows.append(Row(
        f"run_loop({loop}) call", call,
        f"Python loop, {loop} steps", step * loop,
        note=(f"pure-Python loop: {format_time(step.median)} per step, measured over "
              f"{loop_steps} steps ({format_time(loop_run.median)}); "
              f"{loop} steps extrapolated"),
    ))
    job = time_of("cmd_job")
    rows.append(Row(
        f"python -m morvex {loop}", job,
        "python -c pass", time_of("cmd_pass"),
        1.2, "<= 1.2x",
        note="whole processes, start-up included",
    ))
    rows.append(Row(
        f"python -m morvex {loop}", job,
        f"Python loop, {loop} steps", step * loop,
        note="the whole job, start-up included, against the loop alone in pure Python",
    ))
    return rows


def verdict(row):
    meets = (row.ratio <= row.target, row.low_ratio <= row.target)
    return "yes" if all(meets) else "NO" if not any(meets) else "unclear"


def render_timings(rows):
    head = ("", "morvex", "baseline", "", "ratio", "", "ratio p10", "target", "met")
    table, notes = [head], []
    for row in rows:
        met = "" if row.target is None else verdict(row)
        what = row.what
        if row.note:
            notes.append(f"  [{len(notes) + 1}] {row.note}")
            what += f" [{len(notes)}]"
        table.append((
            what, format_time(row.morvex.median), row.baseline_name,
            format_time(row.baseline.median), format_ratio(row.ratio), format_speed(row.ratio),
            format_ratio(row.low_ratio), row.target_text, met,
        ))
    widths = [max(len(line[i]) for line in table) for i in range(len(head))]
    right = {1, 3, 4, 6}
    lines = []
    for index, line in enumerate(table):
        cells = [cell.rjust(w) if i in right else cell.ljust(w)
                 for i, (cell, w) in enumerate(zip(line, widths))]
        lines.append("  ".join(cells).rstrip())
        if index == 0:
            lines.append("  ".join("-" * w for w in widths))
    return lines, notes


def render_stack(stack):
    lines = []
    per_level = stack.get("per_level")
    marks = stack.get("marks")
    if per_level is not None:
        mark_text = ", ".join(f"fib({n}) {used} B" for n, used in marks.items())
        lines.append(f"  native stack per recursion level   {format_bytes(per_level)}"
                     f"   (high-water marks of a fresh thread's stack: {mark_text})")
    else:
        lines.append(f"  native stack per recursion level   probe failed: {stack.get('per_level_error')}")

    depth = stack.get("depth") or {}
    entries = depth.get("entries")
    if entries:
        fits = entries + 1
        check = ("fails at once" if depth.get("too_deep_fails")
                 else "did NOT fail: the count is off")
        lines.append(f"  deepest fib chain                  {entries} nested calls"
                     f"   (traceback entries at line 35 in the RecursionError of fib(0);"
                     f" fib(n) fits for n <= {fits}, fib({depth['too_deep']}) {check})")
        lines.append(f"  {'':33}  message: {depth['message']}")
    else:
        lines.append("  deepest fib chain                  "
                     f"not measured: {stack.get('depth_error') or depth.get('message')}")

    parts = []
    if per_level is not None and entries:
        parts.append(f"{format_bytes(per_level * entries)} by slope x depth")
    smallest = stack.get("smallest_stack")
    if smallest:
        parts.append(f"smallest thread stack in which fib(0) ends cleanly {format_bytes(smallest)}")
    elif "smallest_stack_error" in stack:
        parts.append(f"thread probe failed: {stack['smallest_stack_error']}")
    else:
        parts.append("fib(0) overflowed even a 64 MiB thread stack")
    limit = stack.get("stack_limit")
    parts.append(f"main-thread stack limit {format_bytes(limit) if limit else 'unlimited'}")
    lines.append(f"  stack of the deepest chain         {'; '.join(parts)}")
    whole = stack.get("whole_budget_stack")
    if whole:
        sizes = ", ".join(f"{format_bytes(size) if size else 'none up to 64 MiB'} for {budget} units"
                          for budget, size in whole.items())
        lines.append(f"  stack for the budget's own limit   {sizes}   (smallest thread stack in which"
                     " fib(0) runs into the recursion budget, not the end of the stack)")
    elif "whole_budget_stack_error" in stack:
        lines.append(f"  stack for the budget's own limit   probe failed: {stack['whole_budget_stack_error']}")
    return lines


def render_per_entry(benches):
    """Median time of a fib(n) call over its body entries, one line a side."""
    table = [("", *(f"fib({n})" for n in FIB_SIZES))]
    for key, name in FIB_SIDES:
        keys = [f"fib_{n}_{key}" for n in FIB_SIZES]
        if all(k in benches for k in keys):
            table.append((name, *(format_time(Time.of(benches[k].values()).median / body_entries(n))
                                  for k, n in zip(keys, FIB_SIZES))))
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    return ["  " + "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                             for i, (cell, w) in enumerate(zip(line, widths))).rstrip()
            for line in table]


def _response(figure, extra):
    """One line of a responsiveness figure: median, best and worst of its runs."""
    values = figure["values"]
    parts, met = [], "NO"
    if values:
        firsts = [value[0] for value in values]
        median = Time.of(firsts).median
        met = "yes" if median <= RESPONSE_TARGET else "NO"
        runs = f"{len(values)} run{'s' * (len(values) > 1)}"
        parts.append(f"median {format_time(median)} (best {format_time(min(firsts))}, worst "
                     f"{format_time(max(firsts))}, {runs}){extra(values)}")
    if "error" in figure:
        parts.append(figure["error"])
        met = "NO"
    label = f"{'pure-Python' if figure['fib'] == 'python' else figure['fib']} fib({figure['n']})"
    line = f"    {label:21} {'; then '.join(parts)}"
    if figure["fib"] == "morvex":
        line += f"   target <= {format_time(RESPONSE_TARGET)}: {met}"
    return line


def render_responsiveness(figures):
    def late(values):
        count = sum(not inside for _, inside in values)
        return f"; {count} raised only once fib had returned" if count else ""

    def call_time(values):
        return f"; the call took {format_time(Time.of([call for _, call in values]).median)}"

    lines = [f"  SIGINT to KeyboardInterrupt, the signal sent {format_time(figures['signal_after'])}"
             " into the call"]
    lines.extend(_response(figure, late) for figure in figures["signal"])
    lines.append("  PyThreadState_SetAsyncExc to the exception in a worker thread, set"
                 f" {format_time(figures['signal_after'])} into the call")
    lines.extend(_response(figure, late) for figure in figures["async"])
    lines.append(f"  longest stall of a thread that sleeps {format_time(figures['tick'])} in a loop")
    lines.extend(_response(figure, call_time) for figure in figures["ticker"])
    return lines


def render(header, benches, stack, responses, loop, loop_steps):
    rows = timing_rows(benches, loop, loop_steps)
    timing_lines, notes = render_timings(rows)
    load_before, load_after = header["load"]
    out = [
        f"morvex benchmarks: {header['mode']} run of {header['date']}, took {header['duration']:.0f} s",
        f"machine:     {header['machine']}",
        f"             1-minute load average {load_before:.2f} at start, {load_after:.2f} at end",
        f"interpreter: {header['interpreter']}",
        f"module:      {header['module']}",
        f"settings:    {header['settings']}",
        "             times are medians; ratio = morvex / baseline (below 1: morvex faster);"
        " targets judged on medians",
    ]
    if header["stale"]:
        out.append(f"WARNING:     sources newer than the module, rebuild before quoting: "
                   f"{', '.join(header['stale'])}")
    out.append("")
    out.extend(timing_lines)
    out.append("")
    out.append("  ratio p10: the same ratio over the fastest tenth of each side's values, which")
    out.append("  load from other processes disturbs least; met: yes or NO when both ratios agree,")
    out.append("  unclear when they do not (the machine was busy: run again)")
    out.extend(notes)
    out.append("")
    out.append("fib per body entry: median time of a call over its 2·fib(n) − 1 body entries")
    out.extend(render_per_entry(benches))
    out.append("")
    out.append("fib recursion (probes in fresh interpreters, default recursion settings)")
    out.extend(render_stack(stack))
    out.append("")
    out.append("responsiveness (each run in a fresh interpreter; pure Python for comparison)")
    out.extend(render_responsiveness(responses))
    return "\n".join(out)
