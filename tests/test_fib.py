"""fib(n): double recursion through the module's global name `fib`."""

import array
import builtins
import json
import sys

import pytest

from support import SOURCE_FILE, module_entries, run_python


@pytest.fixture
def namespace(mod):
    """The module namespace, with `fib` restored after the test."""
    ns = vars(mod)
    saved = ns["fib"]
    yield ns
    ns["fib"] = saved


@pytest.mark.parametrize("n, expected", [(1, 1), (2, 1), (3, 2), (10, 55), (20, 6765)])
def test_values(mod, n, expected):
    assert mod.fib(n) == expected


def test_base_cases_return_the_cached_one(mod):
    assert mod.fib(1) is mod.fib(2) is mod.fib(True)
    assert mod.fib(1) == 1


def test_keyword(mod):
    assert mod.fib(n=10) == 55


def test_results_grow_beyond_32_bits(mod, namespace):
    # fib(47) by naive recursion takes minutes; memoise through the global
    # binding, which the recursion looks up at every step.
    cache = {}
    original = namespace["fib"]

    def memo(k):
        if k not in cache:
            cache[k] = original(k)
        return cache[k]

    namespace["fib"] = memo
    result = original(47)
    assert result == 2971215073 and type(result) is int
    assert original(46) == 1836311903


def test_missing_global_raises_name_error_at_line_35(mod, namespace):
    function = namespace.pop("fib")
    assert function(2) == 1  # base cases look nothing up
    with pytest.raises(NameError) as info:
        function(3)
    assert str(info.value) == "name 'fib' is not defined"
    assert module_entries(info.value) == [(SOURCE_FILE, 35, "morvex.morvex_cy.fib")]


def test_builtins_are_the_fallback(mod, namespace):
    function = namespace.pop("fib")
    builtins.fib = lambda k: k * 100
    try:
        assert function(5) == 400 + 300
    finally:
        del builtins.fib


def test_rebinding_to_a_python_function(mod, namespace):
    function = namespace["fib"]
    calls = []

    def g(k):
        calls.append(k)
        return k

    namespace["fib"] = g
    assert function(10) == 9 + 8
    assert calls == [9, 8]
    namespace["fib"] = lambda k: "ab"[k % 2]
    assert function(4) == "ba"  # Python-level addition concatenates


def test_rebinding_seen_between_the_two_terms(mod, namespace):
    function = namespace["fib"]

    def first(k):
        namespace["fib"] = lambda k: 1000
        return 1

    namespace["fib"] = first
    assert function(5) == 1001


def test_rebinding_to_a_native_one_argument_function(mod, namespace):
    function = namespace["fib"]
    namespace["fib"] = abs  # METH_O
    assert function(-5) == abs(-6) + abs(-7)
    namespace["fib"] = len  # METH_O that raises
    with pytest.raises(TypeError) as info:
        function(5)
    assert str(info.value) == "object of type 'int' has no len()"
    assert module_entries(info.value) == [(SOURCE_FILE, 35, "morvex.morvex_cy.fib")]


def test_rebinding_to_a_bound_method(mod, namespace):
    function = namespace["fib"]

    class Counter:
        def __init__(self):
            self.seen = []

        def step(self, k):
            self.seen.append((self, k))
            return k * 10

    counter = Counter()
    namespace["fib"] = counter.step
    assert function(6) == 50 + 40
    assert counter.seen == [(counter, 5), (counter, 4)]


@pytest.mark.parametrize(
    "binding, n",
    [
        (lambda m, probe: m.run_loop, 10),  # the shared type, keywords convention
        (lambda m, probe: probe.make_function("o"), 5),  # the shared type, one argument
        (lambda m, probe: array.array("i").__reduce_ex__, 6),  # a builtin method (a subclass)
    ],
    ids=["run_loop", "shared type METH_O", "builtin method"],
)
def test_rebinding_to_other_native_functions(mod, probe, namespace, binding, n):
    function, binding = namespace["fib"], binding(mod, probe)
    namespace["fib"] = binding
    assert function(n) == binding(n - 1) + binding(n - 2)


@pytest.mark.parametrize(
    "binding, exc_type, message",
    [
        (lambda probe: None, TypeError, "'NoneType' object is not callable"),
        (lambda probe: lambda k: [] if k % 2 else 1, TypeError,
         'can only concatenate list (not "int") to list'),
        (lambda probe: lambda k: 1 / 0, ZeroDivisionError, "division by zero"),
        # A native function that returns null without raising.
        (lambda probe: probe.make_function("null_o"), SystemError,
         "NULL result without error in PyObject_Call"),
    ],
)
def test_failures_at_line_35(mod, probe, namespace, binding, exc_type, message):
    function = namespace["fib"]
    namespace["fib"] = binding(probe)
    with pytest.raises(exc_type) as info:
        function(6)  # terms fib(5), fib(4): a list on the left of an int
    assert str(info.value) == message
    assert module_entries(info.value) == [(SOURCE_FILE, 35, "morvex.morvex_cy.fib")]


def test_nested_failure_adds_one_entry_per_level(mod, namespace):
    function = namespace["fib"]

    def failing_leaf(k):
        if k <= 2:
            raise ValueError("leaf")
        return function(k)

    namespace["fib"] = failing_leaf
    with pytest.raises(ValueError) as info:
        function(6)  # fib 6 -> leaf 5 -> fib 5 -> leaf 4 -> fib 4 -> leaf 3 -> fib 3 -> leaf 2
    assert module_entries(info.value) == [(SOURCE_FILE, 35, "morvex.morvex_cy.fib")] * 4


def test_references_are_released(mod, namespace):
    function = namespace["fib"]
    marker = object()
    namespace["fib"] = lambda k: marker
    before = sys.getrefcount(marker), sys.getrefcount(function)
    for _ in range(3):
        with pytest.raises(TypeError):
            function(5)  # object() + object()
    namespace["fib"] = lambda k: k
    assert function(5) == 7
    assert (sys.getrefcount(marker), sys.getrefcount(function)) == before


@pytest.mark.parametrize("n", [0, -1, -2147483648, 100000])
def test_deep_recursion_raises_recursion_error(n):
    proc = run_python(
        f"""
        import morvex.morvex_cy as m
        try:
            m.fib({n})
        except RecursionError as e:
            tb, entries = e.__traceback__, 0
            while tb:
                entries += tb.tb_frame.f_code.co_name == "morvex.morvex_cy.fib"
                tb = tb.tb_next
            print(e)
            print(entries > 100)
        print(m.fib(20))
        """,
        timeout=600,
    )
    assert proc.stdout.splitlines() == [
        "maximum recursion depth exceeded while calling a Python object",
        "True",
        "6765",
    ]


NESTING = "RecursionError: maximum recursion depth exceeded in probe nesting"


# fib(n) is 3 with each binding; with itself, n is 4, so that a level that
# is not a base case is entered.
@pytest.mark.parametrize("binding, n", [("abs", 3), ("m.run_loop", 3), ("lambda k: k", 3),
                                        ("m.fib", 4)])
def test_recursion_budget_running_out_at_any_level(probe_dir, binding, n):
    """fib(n) started with one unit of the recursion budget less each time:
    at every level it returns its value or raises RecursionError, the level
    where the guard of the call to the binding finds one unit left included,
    and the budget is whole afterwards."""
    proc = run_python(
        f"""
        import json
        import morvex.morvex_cy as m, _morvex_probe as probe

        def outcome(depth, func, arg):
            try:
                return "ok" if probe.nested(depth, func, arg) == 3 else "wrong result"
            except Exception as e:
                return f"{{type(e).__name__}}: {{e}}"

        def reach():  # the first depth the nesting alone cannot go down to
            depth = 0
            while outcome(depth, abs, 3) == "ok":
                depth += 1
            return depth

        fib, before = m.fib, reach()
        vars(m)["fib"] = {binding}
        runs = []
        for depth in range(before + 2):
            seen = outcome(depth, fib, {n})
            if runs and runs[-1][0] == seen:
                runs[-1][1] += 1
            else:
                runs.append([seen, 1])
        vars(m)["fib"] = fib
        print(json.dumps(runs))
        print(before == reach(), fib(20))
        """,
        pythonpath=[probe_dir],
    )
    runs, after = proc.stdout.splitlines()
    runs = json.loads(runs)
    assert runs[0][0] == "ok" and runs[-1][0] == NESTING, runs
    errors = [seen for seen, _ in runs[1:-1]]
    assert errors and all(e.startswith("RecursionError: maximum recursion depth exceeded")
                          for e in errors), runs
    assert after == "True 6765"


REMEMBERED_ENTRY_OUTLIVES_ITS_TABLE = """
    import sys
    import morvex.morvex_cy as m

    ns, fib, fib_name = vars(m), m.fib, sys.intern("fib")
    saved, wrong = dict(ns), []
    for padding in range(41):
        ns.clear()
        ns.update(saved)  # a key table of str keys only
        for i in range(padding):
            ns[f"_pad{i}"] = i
        ns["fib"] = ns.pop("fib")  # fib's entry after the padding
        fib(10)  # the lookup remembers that entry
        ns[1] = "one"  # a non-str key: the table is rebuilt with wider entries
        for i in range(padding):
            ns[f"_pad{i}"] = fib_name  # what a read in the old layout would take for the key
        if fib(10) != 55:
            wrong.append(padding)
    ns.clear()
    ns.update(saved)
    print(wrong, fib(12))
"""


def test_remembered_entry_is_not_read_once_the_table_holds_other_keys():
    proc = run_python(REMEMBERED_ENTRY_OUTLIVES_ITS_TABLE)
    assert proc.stdout.split("\n")[0] == "[] 144"


def grow_table(ns):
    for i in range(200):
        ns[f"_filler_{i}"] = i
    for i in range(200):
        del ns[f"_filler_{i}"]


def rebind_in_place(ns):
    function = ns["fib"]
    ns["fib"] = abs
    ns["fib"] = function


def delete_and_restore(ns):
    function = ns.pop("fib")
    ns["fib"] = function


def add_non_string_key(ns):
    ns[1] = "one"  # the namespace's key table stops being str-only


@pytest.mark.parametrize("change", [grow_table, rebind_in_place, delete_and_restore,
                                    add_non_string_key])
def test_namespace_changes_between_calls(mod, namespace, change):
    function = namespace["fib"]
    assert function(12) == 144
    change(namespace)
    try:
        assert function(12) == 144
        namespace["fib"] = lambda k: 1  # and every change is still seen
        assert function(5) == 2
    finally:
        namespace.pop(1, None)


def test_rebinding_by_a_finaliser_is_seen_at_the_next_step(mod, namespace):
    import gc

    function = namespace["fib"]

    class Rebinds:
        def __del__(self):
            namespace["fib"] = lambda k: 1000

    def collecting(k):
        cycle = Rebinds()
        cycle.self = cycle
        del cycle
        gc.collect()  # the finaliser runs here, inside the first term
        return 1

    namespace["fib"] = collecting
    assert function(5) == 1 + 1000
