"""Allocation failures after import: every allocation an operation makes is
failed in turn. The operation must then raise MemoryError (never another
error, never a crash, never null without an exception), its traceback
entries must sit at lines the operation can fail at, nothing may leak, and
the next attempt must work as if nothing had happened."""

import json

import pytest

from support import TESTS, run_python, sweep_allocations

# Runs in a child. For each operation, allocation k (0 = the first) is
# failed for k = 0, 1, ... until the outcome has been the undisturbed one
# for SETTLE allocations in a row. The module is called straight from
# `attempt`, whose frame and callers already have frame objects: a failure
# inside CPython's own frame bookkeeping then cannot clear the pending
# exception, which would look like a fault of the module.
WARM_SWEEP = r"""
import asyncio.coroutines, gc, json, signal, sys, warnings, weakref
import morvex.morvex_cy as m
import _morvex_faults as faults, _morvex_probe as probe
from support import collector_held_off

warnings.simplefilter("ignore")
SETTLE, REPEATS = 25, 50
SOURCES = {"morvex/morvex_cy.py", "probe/probe.py"}  # probe entries show their name

class IntSub(int):
    pass

class ReturnsSub:
    def __int__(self):
        return IntSub(600)

class Local:
    pass

big, sub, held, locals_seen = 10**6, ReturnsSub(), [], []
fastcall, many_keywords = probe.make_function("fastcall"), {f"k{i}": i for i in range(25)}
fib = m.fib

def fresh(kind="documented", **kw):
    # Holding dictionaries and lists empties the host's free lists, so that
    # one built on first read comes from the allocator.
    held.clear()
    held.extend({} for _ in range(100))
    held.extend([] for _ in range(100))
    return probe.make_function(kind, **kw)

def bound(binding):
    # The module's fib, with its global name bound to `binding`.
    vars(m)["fib"] = binding
    return fib

def hands_back(k):
    # An object for the first term; the second is fib's own again, a
    # machine sum that needs an int to be added to it.
    vars(m)["fib"] = fib
    return big

class Collider:
    # Equal in hash to "fib" and ahead of it in the namespace: each lookup
    # of fib compares with it first, and the one that draws a binding from
    # `ticks` (an iterator, which allocates nothing) stores it.
    def __hash__(self):
        return hash("fib")

    def __eq__(self, other):
        binding = next(ticks, None)
        if binding is not None:
            vars(m)["fib"] = binding
        return False

collider, ticks = Collider(), iter(())

def rebinds_in_the_second_lookup():
    # fib(15): the outermost first lookup and the 752 of the first term's
    # recursion find the own function, and that term stays a machine int
    # (377); the second lookup binds a function whose object meets it. The
    # collider stays behind: no later operation looks fib up.
    global ticks
    ticks = iter(())
    vars(m).pop("fib", None)
    vars(m)[collider] = None
    vars(m)["fib"] = fib
    ticks = iter([None] * 753 + [lambda k: big])
    return fib

def carried_error():
    # An exception whose traceback holds a frame, and the frame a local.
    local = Local()
    locals_seen.append(weakref.ref(local))
    try:
        raise ValueError("carried")
    except ValueError as e:
        return e

def allocating_handler(signum, frame):
    [signum] * 10

signal.signal(signal.SIGUSR1, allocating_handler)

OPS = {  # name: setup giving (callable, args, kwargs); setups run before the hooks
    "run_loop result": lambda: (m.run_loop, (big,), {}),
    "run_loop keyword": lambda: (m.run_loop, (), {"loop": big}),
    "run_loop float": lambda: (m.run_loop, (2.5e6,), {}),
    "run_loop int subclass warning": lambda: (m.run_loop, (sub,), {}),
    "run_loop refused type": lambda: (m.run_loop, ("x",), {}),
    "run_loop arity": lambda: (m.run_loop, (1, 2), {}),
    "run_loop unexpected keyword": lambda: (m.run_loop, (), {"zz": big}),
    "run_loop multiple values": lambda: (m.run_loop, (big,), {"loop": big}),
    "run_loop overflow": lambda: (m.run_loop, (2**40,), {}),
    "fib sum": lambda: (bound(fib), (16,), {}),  # the second term allocates too
    "fib keyword": lambda: (bound(fib), (), {"n": 17}),
    "fib bound to abs": lambda: (bound(abs), (big,), {}),  # the terms' ints are made for abs
    "fib sum meets an object": lambda: (bound(hands_back), (16,), {}),
    # fib(30) reaches a checkpoint, which runs the handler.
    "fib checkpoint runs a handler": lambda: (probe.call_signalled,
                                              (signal.SIGUSR1, bound(fib), 30), {}),
    "fib machine term meets an object": lambda: (rebinds_in_the_second_lookup(), (15,), {}),
    "call slot keywords": lambda: (type(m.run_loop).__call__, (m.run_loop,), {"loop": big}),
    # More names than the host keeps spare tuples for: the names tuple is allocated.
    "call slot many keywords": lambda: (type(fib).__call__, (fastcall,), many_keywords),
    "intake keyword dict": lambda: (probe.intake, ((),), {"kwdict": {"loop": big}}),
    "repr": lambda: (repr, (fib,), {}),
    "first __name__": lambda: (getattr, (fresh(), "__name__"), {}),
    "first __doc__": lambda: (getattr, (fresh(), "__doc__"), {}),
    "first __dict__": lambda: (getattr, (fresh(), "__dict__"), {}),
    "first __kwdefaults__": lambda: (getattr, (fresh("fastcall", defaults=True), "__kwdefaults__"), {}),
    "first _is_coroutine": lambda: (getattr, (fresh("fastcall", flags=8), "_is_coroutine"), {}),
    "entry over a carried traceback": lambda: (probe.raise_with_entry,
                                               (carried_error(), "probe.carried", 3001), {}),
}

def describe(e):
    lines, tb = [], e.__traceback__
    while tb:
        code = tb.tb_frame.f_code
        if code.co_filename in SOURCES:
            lines.append(tb.tb_lineno if code.co_filename.startswith("morvex") else code.co_name)
        tb = tb.tb_next
    return f"{type(e).__name__}: {e} @ {json.dumps(lines)}"

def attempt(func, args, kwargs, k):
    frame = sys._getframe()
    while frame:
        frame = frame.f_back
    if k is not None:
        faults.set_nomemory(k, k + 1)
    try:
        result = func(*args, **kwargs)
    except BaseException as e:
        faults.remove_mem_hooks()
        args = kwargs = None  # so that this frame, in e's traceback, holds nothing it was given
        return describe(e)
    faults.remove_mem_hooks()
    return f"= {result!r}" if type(result) is int else f"= {type(result).__name__}"

def attempt_and_check(setup, k):
    outcome = attempt(*setup(), k)
    # What the operation was given is gone now, exceptions included.
    if any(ref() is not None for ref in locals_seen):
        outcome = "a local of a failing frame is kept: " + outcome
    locals_seen.clear()
    return outcome

def sweep(setup, outcomes):
    reference = attempt_and_check(setup, None)
    k = settled = 0
    while settled < SETTLE:
        outcome = attempt_and_check(setup, k)
        settled = settled + 1 if outcome == reference else 0
        if outcome != reference and outcomes is not None:
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
        k += 1
    return reference

# abs: a binding, which a term that fails to make its argument must release.
watched = [m.run_loop, m.fib, type(m.fib), vars(m), big, sub, m.fib.__code__, abs]

def refcounts():
    return [sys.getrefcount(o) for o in watched]

report = {}
for name, setup in OPS.items():
    outcomes = {}
    reference = sweep(setup, outcomes)
    with collector_held_off():
        refs, blocks = refcounts(), sys.getallocatedblocks()
        for _ in range(REPEATS):
            sweep(setup, None)
        gc.collect()
        report[name] = {
            "reference": reference,
            "failures": outcomes,
            "after": attempt_and_check(setup, None),
            "growth": sys.getallocatedblocks() - blocks,
            "refs moved": [after - before for after, before in zip(refcounts(), refs)],
        }
print(json.dumps(report))
"""

# A MemoryError with no entry of the module's: the host failed before the
# module ran (keywords unpacked into a vector), or the entry itself could
# not be made (one that an operation refused undisturbed makes every time),
# or the operation adds none. Where the module fails in a call that succeeds
# undisturbed, its entry must be there.
NO_ENTRY = None

# name: (the undisturbed outcome, module lines a MemoryError may show, and
# NO_ENTRY where it may show none[, other outcomes an allocation failure may
# give])
EXPECTED = {
    "run_loop result": ("= 1000000", {29}),
    "run_loop keyword": ("= 1000000", {29, NO_ENTRY}),
    "run_loop float": ("= 2500000", {23, 29}),
    "run_loop int subclass warning": ("= 600", {23, 29}),
    "run_loop refused type": ("TypeError: an integer is required @ [23]", {23, NO_ENTRY}),
    "run_loop arity": ("TypeError: run_loop() takes exactly 1 positional argument (2 given) @ [23]",
                       {23, NO_ENTRY}),
    "run_loop unexpected keyword": ("TypeError: run_loop() got an unexpected keyword argument 'zz' @ [23]",
                                    {23, NO_ENTRY}),
    "run_loop multiple values": ("TypeError: run_loop() got multiple values for keyword argument 'loop' @ [23]",
                                 {23, NO_ENTRY}),
    "run_loop overflow": ("OverflowError: Python int too large to convert to C long @ [23]", {23, NO_ENTRY}),
    "fib sum": ("= 987", {35}),  # the outermost sum made an int
    "fib keyword": ("= 1597", {35, NO_ENTRY}),
    "fib bound to abs": ("= 1999997", {35}),
    "fib sum meets an object": ("= 1000377", {35}),
    "fib checkpoint runs a handler": ("= 832040", {35}),
    "fib machine term meets an object": ("= 1000377", {35}),
    "call slot keywords": ("= 1000000", {29, NO_ENTRY}),
    "call slot many keywords": ("= tuple", {NO_ENTRY}),
    "intake keyword dict": ("= 1000000", {"probe.intake", NO_ENTRY}),
    "repr": ("= str", {NO_ENTRY}),
    "first __name__": ("= str", {NO_ENTRY}),
    "first __doc__": ("= str", {NO_ENTRY}),
    "first __dict__": ("= dict", {NO_ENTRY}),
    "first __kwdefaults__": ("= dict", {NO_ENTRY}),
    # A failed import of the marker's module is no error: the marker is True.
    "first _is_coroutine": ("= object", {NO_ENTRY}, {"= bool"}),
    "entry over a carried traceback": ("ValueError: carried @ [\"probe.carried\"]",
                                       {"probe.carried", NO_ENTRY}),
}


@pytest.fixture(scope="module")
def warm_report(probe_dir):
    proc = run_python(WARM_SWEEP, pythonpath=[probe_dir, TESTS], timeout=600)
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_each_failed_allocation_raises_memory_error_cleanly(warm_report, name):
    report = warm_report[name]
    undisturbed, lines, *also = EXPECTED[name]
    assert report["reference"] == report["after"] == undisturbed
    assert report["failures"], "no allocation of the operation was failed"
    for outcome in set(report["failures"]) - set(*also):
        head, _, entries = outcome.partition(" @ ")
        assert head == "MemoryError: ", outcome
        assert set(json.loads(entries) or [NO_ENTRY]) <= lines, outcome
    assert report["refs moved"] == [0] * len(report["refs moved"])
    # Fifty more sweeps: a block lost per failure would show as 50 or more.
    assert report["growth"] < 40


# One fresh process per failed allocation, which falls in one of two cold
# paths: the module's first traceback entry (its cache array does not exist
# yet), then the 65th line of the probe's cache (the array must grow). A
# failed cache allocation raises nothing; it shows only in what is cached.
COLD_FIRST_ENTRIES = r"""
import gc, sys, weakref
import morvex.morvex_cy as m
import _morvex_faults as faults, _morvex_probe as probe

class Local:
    pass

locals_seen = []

def carried_error():
    # An exception whose traceback holds a frame, and the frame a local.
    local = Local()
    locals_seen.append(weakref.ref(local))
    try:
        raise ValueError()
    except ValueError as e:
        return e

def both(k, loop, line):
    frame = sys._getframe()
    while frame:
        frame = frame.f_back
    first = growth = None
    exc = carried_error()
    faults.set_nomemory(k - 1, k)  # sweep_allocations counts from 1
    try:
        m.run_loop(loop)
    except BaseException as e:
        first = e
    try:
        probe.raise_with_entry(exc, "grow", line)
    except BaseException as e:
        growth = e
    faults.remove_mem_hooks()
    return first, growth

def describe(e):
    found, tb = [], e.__traceback__
    while tb:
        if tb.tb_frame.f_code.co_filename in ("morvex/morvex_cy.py", "probe/probe.py"):
            found.append((tb.tb_lineno, tb.tb_frame.f_code.co_name))
            code = tb.tb_frame.f_code
        tb = tb.tb_next
    return f"{type(e).__name__} {found}", code if found else None

for line in range(1000, 1064):
    both(10**9, 1, line)
assert probe.code_cache()[:2] == (64, 64)
first, growth = both(int(sys.argv[1]), "x", 2000)
count, capacity, lines, _ = probe.code_cache()
(first, first_code), (growth, _) = describe(first), describe(growth)
(again, again_code), (later, later_code) = (describe(both(10**9, "x", 2000)[0]) for _ in range(2))
cached = "n/a" if first_code is None else first_code is again_code
gc.collect()  # the exceptions are gone: what their tracebacks held must be freed
freed = all(ref() is None for ref in locals_seen)
state = (f"{first} | {growth} | cached {cached} | {(count, capacity)} {list(lines) == sorted(set(lines))}"
         f" | locals freed {freed}")
if state == ("TypeError [(23, 'morvex.morvex_cy.run_loop')] | ValueError [(2000, 'grow')] | cached True"
             " | (65, 128) True | locals freed True"):
    print("ok")
else:
    print(state, "|", again, again_code is later_code, probe.code_cache()[:2])
"""

REFUSED = "TypeError [(23, 'morvex.morvex_cy.run_loop')]"


def test_first_entry_and_cache_growth_survive_each_failed_allocation(probe_dir):
    results = sweep_allocations(COLD_FIRST_ENTRIES, pythonpath=[probe_dir])
    assert results[max(results)] == "ok", "the sweep ran out before the operations stopped failing"
    failures = {tuple(line.split(" | ")) for line in results.values() if line != "ok"}
    for line in failures:
        first, growth, cached, cache, freed, after = line
        assert freed == "locals freed True", line
        assert first in (REFUSED, "MemoryError []", "MemoryError [(23, 'morvex.morvex_cy.run_loop')]"), line
        assert growth in ("ValueError [(2000, 'grow')]", "MemoryError []"), line
        assert cache in ("(64, 64) True", "(65, 128) True"), line
        # Whatever failed, the caches work from the next entry on.
        assert after == f"{REFUSED} True (65, 128)", line
    # Both cold allocations were reached: the module's first cache array,
    # and the growth of the probe's full one.
    assert any(cached == "cached False" for _, _, cached, _, _, _ in failures)
    assert any(growth.startswith("ValueError") and cache == "(64, 64) True"
               for _, growth, _, cache, _, _ in failures)
