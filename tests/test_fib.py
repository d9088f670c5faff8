"""fib(n): double recursion through the module's global name `fib`."""

import builtins
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
    "binding, exc_type, message",
    [
        (None, TypeError, "'NoneType' object is not callable"),
        (lambda k: [] if k % 2 else 1, TypeError, 'can only concatenate list (not "int") to list'),
        (lambda k: 1 / 0, ZeroDivisionError, "division by zero"),
    ],
)
def test_failures_at_line_35(mod, namespace, binding, exc_type, message):
    function = namespace["fib"]
    namespace["fib"] = binding
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
