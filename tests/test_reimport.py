"""Interpreters and re-imports, each in a fresh interpreter: other
interpreters are refused every time they try, importing again gives back the
very same objects and rebuilds nothing, and an import that failed part-way
can be retried again and again until it succeeds."""

import json

from support import TESTS, run_python

REFUSED = ("Interpreter change detected - this module can only be loaded into one "
           "interpreter per process.")

# Runs in a second interpreter: tries the import and prints one JSON line.
TRY_IMPORT = '''
import json, sys
try:
    import morvex.morvex_cy as m
    outcome = ["imported", m.run_loop(3), m.fib(10)]
except BaseException as e:
    outcome = [type(e).__name__, str(e)]
left = sorted(k for k in sys.modules if k in ("morvex.morvex_cy", "_cython_3_1_1", "cython_runtime"))
print(json.dumps(outcome + [left]))
'''


def json_lines(proc):
    return [json.loads(line) for line in proc.stdout.splitlines()]


def test_other_interpreters_are_refused_every_time():
    proc = run_python(
        f"""
        import json, sys
        import _xxsubinterpreters as interpreters
        import morvex.morvex_cy as m
        first = m.fib
        for _ in range(3):
            interp = interpreters.create(isolated=False)
            for _ in range(2):
                interpreters.run_string(interp, {TRY_IMPORT!r})
            print(json.dumps([sys.modules["morvex.morvex_cy"] is m, m.fib is first,
                              m.run_loop(5), m.fib(12)]))
        """
    )
    # Refused at creation: the other interpreter's module table gains none of
    # the modules an execution would add.
    refused = ["ImportError", REFUSED, []]
    assert json_lines(proc) == [refused, refused, [True, True, 5, 144]] * 3


def test_the_interpreter_that_imports_first_keeps_the_module():
    proc = run_python(
        f"""
        import json
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=False)
        interpreters.run_string(interp, {TRY_IMPORT!r})
        for _ in range(2):
            try:
                import morvex.morvex_cy
            except ImportError as e:
                print(json.dumps(["ImportError", str(e)]))
        interpreters.run_string(interp, {TRY_IMPORT!r})
        """
    )
    imported = ["imported", 3, 55, ["_cython_3_1_1", "cython_runtime", "morvex.morvex_cy"]]
    assert json_lines(proc) == [imported, ["ImportError", REFUSED], ["ImportError", REFUSED],
                                imported]


def test_importing_again_gives_back_the_same_objects_and_rebuilds_nothing():
    proc = run_python(
        """
        import gc, importlib, importlib.util, json, sys
        import morvex.morvex_cy as m
        from support import collector_held_off

        fib, run_loop, namespace = m.fib, m.run_loop, vars(m)
        # Marks that a second execution would wipe out or rebuild.
        fib.__doc__ = "kept"
        fib.__dict__["note"] = ["kept"]
        run_loop.__annotations__ = {"loop": int}
        namespace["__test__"]["case"] = 1
        m.extra = "kept"
        rebound = namespace["fib"] = lambda k: k * 100
        kept = [fib.__dict__, fib.__code__, run_loop.__code__, namespace["__test__"]]

        def same():
            current = sys.modules["morvex.morvex_cy"]
            return [current is m, vars(current) is namespace, current.run_loop is run_loop,
                    fib.__doc__ == "kept", fib.__dict__ == {"note": ["kept"]},
                    run_loop.__annotations__ == {"loop": int},
                    namespace["__test__"] == {"case": 1}, current.extra == "kept",
                    current.fib is rebound, fib(5) == 700,
                    kept == [fib.__dict__, fib.__code__, run_loop.__code__, namespace["__test__"]],
                    all(a is b for a, b in zip(kept, [fib.__dict__, fib.__code__,
                        run_loop.__code__, namespace["__test__"]]))]

        with collector_held_off():
            counts = [sys.getrefcount(o) for o in (m, fib, run_loop, namespace)]
            results = []
            for _ in range(3):
                del sys.modules["morvex.morvex_cy"]
                importlib.import_module("morvex.morvex_cy")
                results.append(["import", same()])
            for _ in range(2):
                results.append(["reload", [importlib.reload(m) is m] + same()])
            spec = importlib.util.find_spec("morvex.morvex_cy")
            again = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(again)
            results.append(["module_from_spec", [again is m] + same()])
            package = sys.modules.pop("morvex")
            del sys.modules["morvex.morvex_cy"]
            import morvex.morvex_cy
            results.append(["package", [sys.modules["morvex"] is not package,
                                        sys.modules["morvex"].morvex_cy is m] + same()])
            del again, package, spec
            gc.collect()
            unchanged = [sys.getrefcount(o) for o in (m, fib, run_loop, namespace)] == counts
        namespace["fib"] = fib
        results.append(["after", unchanged, fib(15), run_loop(9)])
        print(json.dumps(results))
        """,
        pythonpath=[TESTS],
    )
    results = json.loads(proc.stdout)
    for how, checks in results[:-1]:
        assert all(checks), (how, checks)
    assert [how for how, _ in results[:-1]] == ["import"] * 3 + ["reload"] * 2 + [
        "module_from_spec", "package"]
    assert results[-1] == ["after", True, 610, 9]


RETRY_UNTIL_IMPORTED = """
    import importlib.util, json, sys
    import _morvex_faults as faults

    spec = importlib.util.find_spec("morvex.morvex_cy")
    half_built = []  # functions bound by executions that failed afterwards

    def attempt(k):
        # Fails allocations k + 1 and k + 2 of one execution: two, since the
        # lookup made before the module registers itself forgives a failure.
        # Gives the module, or what the failure left: (exception type,
        # registered in the module table, names bound).
        module = importlib.util.module_from_spec(spec)
        faults.set_nomemory(k, k + 2)
        try:
            spec.loader.exec_module(module)
        except BaseException as e:
            faults.remove_mem_hooks()
            # As a failed import statement does.
            registered = sys.modules.pop("morvex.morvex_cy", None) is module
            bound = [n for n in ("run_loop", "fib") if n in vars(module)]
            half_built.extend(vars(module)[n] for n in bound)
            return None, (type(e).__name__, registered, bound)
        faults.remove_mem_hooks()
        return module, None

    def type_registered():
        registry = sys.modules.get("_cython_3_1_1")
        return registry is not None and hasattr(registry, "cython_function_or_method")

    # The first attempts fail until the shared type stands; from then on each
    # retry fails a little later than the one before, through every step,
    # until one gets through.
    failures, k, module = [], 0, None
    while module is None and not type_registered():
        k += 1
        module, failure = attempt(k)
        failures.append(failure)
    k = 0
    while module is None:
        k += 1
        module, failure = attempt(k)
        failures.append(failure)

    import morvex.morvex_cy as m
    namespace, fib = vars(m), m.fib
    checks = [m is module, m.run_loop(7) == 7, fib(12) == 144,
              fib.__globals__ is namespace, m.run_loop.__globals__ is namespace,
              type(fib) is sys.modules["_cython_3_1_1"].cython_function_or_method,
              all(f(12) in (12, 144) for f in half_built),
              not any(f is fib or f is m.run_loop for f in half_built)]
    # The recursion looks fib up in the namespace of the module that got through.
    namespace["fib"] = lambda k: 10
    checks.append(fib(5) == 20)
    print(json.dumps({"failures": [f for f in failures if f], "half_built": len(half_built),
                      "checks": checks}))
"""


def test_an_import_failing_at_any_step_can_be_retried_again_and_again(probe_dir):
    """One process, many failed executions in a row, each a retry of the
    last: before the module registers itself, after it, and after run_loop
    is bound while fib's binding fails. The import that finally gets
    through works, and functions bound by failed attempts keep working."""
    report = json.loads(run_python(RETRY_UNTIL_IMPORTED, pythonpath=[probe_dir]).stdout)
    assert report["checks"] == [True] * 9
    assert {name for name, _, _ in report["failures"]} == {"MemoryError"}
    states = {(registered, tuple(bound)) for _, registered, bound in report["failures"]}
    assert states >= {(False, ()), (True, ()), (True, ("run_loop",))}
    assert report["half_built"] >= 1
