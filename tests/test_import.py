"""Importing morvex.morvex_cy: the module object, its namespace and state,
the code objects, and the import rules (one interpreter, executed once)."""

import importlib
import json
import sys

import pytest

from support import SOURCE_FILE, run_python, sweep_allocations

DOC = (
    "pure python with cython type annotation\n\nInstall:\npip install cython\n\n"
    "To run cython:\n1. python setup.py build_ext --inplace\n"
    "This generates .c source file and .so library file.\n2. python cython_call.py\n"
    "Call cython modules in a normal .py file.\n \ntime python cython_call.py 500000000\n"
    "sum: 500000000\n\nreal    0m0.025s\nuser    0m0.020s\nsys     0m0.000s\n"
)


def test_docstring_is_exact(mod):
    assert mod.__doc__ == DOC
    assert len(mod.__doc__) == 349


def test_namespace(mod):
    import builtins

    ns = vars(mod)
    assert ns["__builtins__"] is builtins
    assert ns["__test__"] == {} and type(ns["__test__"]) is dict
    assert ns["__name__"] == "morvex.morvex_cy"
    assert ns["__package__"] == "morvex"
    assert ns["__loader__"] is mod.__spec__.loader
    assert ns["__file__"] == mod.__spec__.origin
    assert "__path__" not in ns  # the module spec's submodule_search_locations is None
    assert type(ns["run_loop"]).__name__ == "cython_function_or_method"
    assert type(ns["fib"]) is type(ns["run_loop"])


def test_runtime_module_is_registered(mod):
    assert type(sys.modules["cython_runtime"]).__name__ == "module"


def test_reimport_gives_the_same_module_and_functions(mod):
    run_loop, fib = mod.run_loop, mod.fib
    del sys.modules["morvex.morvex_cy"]
    try:
        again = importlib.import_module("morvex.morvex_cy")
    finally:
        sys.modules["morvex.morvex_cy"] = mod
    assert again is mod
    assert again.run_loop is run_loop and again.fib is fib


@pytest.mark.parametrize(
    "name, argcount, nlocals, varnames, firstlineno, code_size",
    [
        ("run_loop", 1, 3, ("loop", "i", "s"), 23, 68),
        ("fib", 1, 1, ("n",), 32, 92),
    ],
)
def test_code_objects(mod, name, argcount, nlocals, varnames, firstlineno, code_size):
    code = getattr(mod, name).__code__
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert code.co_nlocals == nlocals
    assert code.co_varnames == varnames
    assert code.co_flags == 3  # CO_OPTIMIZED | CO_NEWLOCALS
    assert code.co_stacksize == 0
    assert code.co_firstlineno == firstlineno
    assert code.co_filename == SOURCE_FILE
    assert code.co_name == code.co_qualname == name
    assert code.co_code == bytes(code_size)
    assert code.co_consts == () and code.co_names == ()
    # Names come from the interned string table.
    assert code.co_name is sys.intern(name)
    assert all(v is sys.intern(v) for v in code.co_varnames)


@pytest.mark.parametrize(
    "name, linetable, positions",
    [
        (
            "run_loop",
            "d0 00 13 90 31 f0 06 00 05 09 88 01 d8 04 08 88 05 88 55 90 21 90 31 d8 08 0d 88 51"
            " d8 04 0b 88 31",
            [(23, 0, 19), (23, 19, 20), (26, 4, 8), (26, 8, 9), (27, 4, 8), (27, 8, 13),
             (27, 13, 18), (27, 18, 19), (27, 19, 20), (28, 8, 13), (28, 13, 14),
             (29, 4, 11), (29, 11, 12)],
        ),
        (
            "fib",
            "80 0b 88 31 d8 04 07 80 72 88 14 88 53 90 01 d8 08 0f 88 71 d8 04 0b 88 33 88 61 88"
            " 72 90 12 90 33 90 62 98 03 98 31 98 42 98 62 a0 01",
            [(32, 0, 11), (32, 11, 12), (33, 4, 7), (33, 7, 9), (33, 9, 13), (33, 13, 16),
             (33, 16, 17), (34, 8, 15), (34, 15, 16), (35, 4, 11), (35, 11, 14), (35, 14, 15),
             (35, 15, 17), (35, 17, 19), (35, 19, 22), (35, 22, 24), (35, 24, 27),
             (35, 27, 28), (35, 28, 30), (35, 30, 32), (35, 32, 33)],
        ),
    ],
)
def test_location_tables(mod, name, linetable, positions):
    code = getattr(mod, name).__code__
    assert code.co_linetable == bytes.fromhex(linetable)
    decoded = [(line, start, end) for line, end_line, start, end in code.co_positions()
               if line is not None]
    assert decoded[: len(positions)] == positions
    assert all(end_line == line for line, end_line, _, _ in code.co_positions() if line)


def test_code_objects_share_nothing_mutable(mod):
    # The empty constants tuple is the host's singleton or the module's own,
    # but the same object in both code objects.
    assert mod.run_loop.__code__.co_consts is mod.fib.__code__.co_consts


@pytest.mark.parametrize("name, param", [("run_loop", "loop"), ("fib", "n")])
def test_annotations(mod, name, param):
    annotations = getattr(mod, name).__annotations__
    assert annotations == {param: "cython.int"}
    assert type(annotations[param]) is str


def test_second_interpreter_is_refused_and_first_keeps_working():
    proc = run_python(
        """
        import _xxsubinterpreters as interpreters
        import morvex.morvex_cy as m
        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, "import morvex.morvex_cy")
        except interpreters.RunFailedError as e:
            print(e)
        print(m.run_loop(5), m.fib(10))
        """
    )
    assert proc.stdout.splitlines() == [
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.",
        "5 55",
    ]


@pytest.mark.parametrize(
    "registered, message",
    [
        ("5", "Shared Cython type cython_function_or_method is not a type object"),
        ("type('cython_function_or_method', (), {})",
         "Shared Cython type cython_function_or_method has the wrong size, try recompiling"),
    ],
)
def test_registry_entry_is_verified(registered, message):
    proc = run_python(
        f"""
        import sys, types
        registry = types.ModuleType("_cython_3_1_1")
        registry.cython_function_or_method = {registered}
        sys.modules["_cython_3_1_1"] = registry
        try:
            import morvex.morvex_cy
        except TypeError as e:
            print(e)
            print(sorted(n for n in vars(registry) if not n.startswith("__")))
            print("morvex.morvex_cy" in sys.modules)
        """
    )
    assert proc.stdout.splitlines() == [message, "['cython_function_or_method']", "False"]


SPEC_AT_CREATION = """
    import _imp, gc, importlib.util, json, sys

    class Missing(AttributeError):
        pass

    class Raises:  # a spec attribute whose every read raises
        def __init__(self, error):
            self.error = error

        def __get__(self, instance, owner):
            raise self.error

    DROP = object()
    real = importlib.util.find_spec("morvex.morvex_cy")
    fields = dict(name=real.name, origin=real.origin, loader=real.loader, parent="morvex",
                  submodule_search_locations=None)
    fields.update({changes})
    Spec = type("Spec", (), {{k: v for k, v in fields.items() if isinstance(v, Raises)}})
    spec = Spec()
    vars(spec).update({{k: v for k, v in fields.items() if v is not DROP and not isinstance(v, Raises)}})
    gc.disable()  # no collection frees a reference to a value between the counts
    counts = {{k: sys.getrefcount(v) for k, v in vars(spec).items()}}
    try:
        ns = vars(_imp.create_dynamic(spec))  # creation alone
    except Exception as e:
        print(json.dumps([type(e).__name__, str(e)]))
    else:
        # Each value gains the references the namespace holds, no more. The
        # count of an immortal object (None, an interned string) never moves.
        kept = {{f"{{k}} kept": sys.getrefcount(v) - counts[k] - sum(x is v for x in ns.values())
                for k, v in vars(spec).items() if counts[k] != sys.getrefcount(None)}}
        print(json.dumps({{"__file__": ns["__file__"] == real.origin, "__package__": ns["__package__"],
                          "__path__": ns.get("__path__"), "__loader__": ns["__loader__"] is real.loader,
                          **{{k: n for k, n in kept.items() if n}}}}))
"""


@pytest.mark.parametrize(
    "changes, outcome",
    [
        ("loader=DROP, submodule_search_locations=['here']",
         {"__file__": True, "__package__": "morvex", "__path__": ["here"], "__loader__": False}),
        ("parent=Raises(Missing('parent'))",
         {"__file__": True, "__package__": None, "__path__": None, "__loader__": True}),
        ("submodule_search_locations=Raises(Missing())",
         {"__file__": True, "__package__": "morvex", "__path__": None, "__loader__": True}),
        ("parent=Raises(KeyError('parent'))", ["KeyError", "'parent'"]),
        # Values of this test's making, which nothing else refers to.
        pytest.param("loader=object(), origin=real.origin[:1] + real.origin[1:],"
                     " parent=''.join(['mor', 'vex']), submodule_search_locations=['here']",
                     {"__file__": True, "__package__": "morvex", "__path__": ["here"],
                      "__loader__": False}, id="own values"),
    ],
)
def test_spec_attributes_copied_at_creation(changes, outcome):
    """A missing attribute (AttributeError or a subclass) is skipped, search
    locations other than None become __path__, and any other error of a
    read fails the creation. A copied value gains the namespace's reference
    and no other."""
    proc = run_python(SPEC_AT_CREATION.format(changes=changes))
    assert json.loads(proc.stdout) == outcome


COLLIDING_KEY = """
    import importlib.util, json, sys, types

    class Collides:  # hashes like the name the import looks up; the first comparison fails
        compared = False

        def __hash__(self):
            return hash({key!r})

        def __eq__(self, other):
            if self.compared:
                return False
            self.compared = True
            raise LookupError("no comparison")

    spec = importlib.util.find_spec("morvex.morvex_cy")
    if {registry}:
        sys.modules["_cython_3_1_1"] = types.ModuleType("_cython_3_1_1")
    table = vars(sys.modules["_cython_3_1_1"]) if {registry} else sys.modules
    table[Collides()] = None
    try:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    except LookupError as e:
        entries, tb = [], e.__traceback__
        while tb:
            if tb.tb_frame.f_code.co_filename == "morvex/morvex_cy.py":
                entries.append([tb.tb_lineno, tb.tb_frame.f_code.co_name])
            tb = tb.tb_next
        failure = [str(e), entries]
    for key in [k for k in table if type(k) is Collides]:
        del table[key]
    print(json.dumps(failure + ["morvex.morvex_cy" in sys.modules]))
    import morvex.morvex_cy as m
    print(m.run_loop(3), m.fib(10), type(m.fib) is vars(sys.modules["_cython_3_1_1"])["cython_function_or_method"])
"""


@pytest.mark.parametrize(
    "registry, key, entries",
    [
        (False, "morvex.morvex_cy", [[1, "init morvex.morvex_cy"]]),
        (True, "cython_function_or_method", []),
    ],
    ids=["module table", "registry"],
)
def test_a_lookup_error_fails_the_import_and_a_retry_works(registry, key, entries):
    """An error while the module table or the registry's dictionary is
    searched fails the import with that error (never read as "absent"),
    and once the table is sound again the import goes through."""
    proc = run_python(COLLIDING_KEY.format(registry=registry, key=key))
    failure, retried = proc.stdout.splitlines()
    assert json.loads(failure) == ["no comparison", entries, False]
    assert retried == "3 55 True"


def test_main_flag_names_the_module_main():
    proc = run_python(
        """
        import ctypes, importlib.util, sys
        spec = importlib.util.find_spec("morvex.morvex_cy")
        library = ctypes.CDLL(spec.origin)
        ctypes.c_int.in_dll(library, "__pyx_module_is_main_morvex__morvex_cy").value = 1
        import morvex.morvex_cy as m
        print(m.__name__, sys.modules["morvex.morvex_cy"] is m)
        """
    )
    assert proc.stdout.split() == ["__main__", "True"]


def test_existing_module_table_entry_is_not_replaced():
    proc = run_python(
        """
        import importlib.util, sys
        spec = importlib.util.find_spec("morvex.morvex_cy")
        sentinel = object()
        sys.modules["morvex.morvex_cy"] = sentinel
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(sys.modules["morvex.morvex_cy"] is sentinel, module.run_loop(4))
        """
    )
    assert proc.stdout.split() == ["True", "4"]


def test_execution_with_another_module_object_is_refused(probe_dir):
    proc = run_python(
        """
        import types
        import morvex.morvex_cy as first
        import _morvex_probe
        other = types.ModuleType("morvex.morvex_cy")
        try:
            _morvex_probe.exec_def(first, other)
        except RuntimeError as e:
            print(e)
        print(sorted(vars(other)), first.run_loop(3))
        _morvex_probe.exec_def(first, first)  # the same module: nothing happens
        print(first.fib(5))
        """,
        pythonpath=[probe_dir],
    )
    assert proc.stdout.splitlines() == [
        "Module 'morvex_cy' has already been imported. Re-initialisation is not supported.",
        "['__doc__', '__loader__', '__name__', '__package__', '__spec__'] 3",
        "5",
    ]


def test_missing_range_fails_at_line_1_and_import_can_be_retried():
    proc = run_python(
        """
        import builtins, sys
        saved = builtins.range
        del builtins.range
        try:
            import morvex.morvex_cy
        except NameError as e:
            print(e)
            tb = e.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            code = tb.tb_frame.f_code
            print(code.co_filename, tb.tb_lineno, code.co_name)
        builtins.range = saved
        print("morvex.morvex_cy" in sys.modules)
        import morvex.morvex_cy as m
        print(m.run_loop(6), m.fib(6))
        """
    )
    assert proc.stdout.splitlines() == [
        "name 'range' is not defined",
        f"{SOURCE_FILE} 1 init morvex.morvex_cy",
        "False",
        "6 8",
    ]


FAIL_ONE_ALLOCATION_OF_THE_IMPORT = """
    import importlib.util, sys
    import _morvex_faults as faults

    def last_module_entry(e):
        found, tb = None, e.__traceback__
        while tb:
            if tb.tb_frame.f_code.co_filename == "morvex/morvex_cy.py":
                found = (tb.tb_lineno, tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        return found

    spec = importlib.util.find_spec("morvex.morvex_cy")
    if MAIN:
        import ctypes
        flag = "__pyx_module_is_main_morvex__morvex_cy"
        ctypes.c_int.in_dll(ctypes.CDLL(spec.origin), flag).value = 1
    k = int(sys.argv[1])
    # The spare tuples and dictionaries the host keeps would serve the
    # module's small ones without allocating; held here, there are none.
    held = [tuple([i] * size) for size in (1, 3) for i in range(2100)] + [{"k": i} for i in range(100)]
    faults.set_nomemory(k - 1, k)
    try:
        module = importlib.util.module_from_spec(spec)  # creation
        spec.loader.exec_module(module)  # execution
    except BaseException as e:
        faults.remove_mem_hooks()
        failure = (type(e).__name__, last_module_entry(e))
    else:
        faults.remove_mem_hooks()
        print("ok")
        raise SystemExit
    sys.modules.pop("morvex.morvex_cy", None)  # as a failed import statement does
    import morvex.morvex_cy as m
    assert (m.run_loop(7), m.fib(12)) == (7, 144)
    try:
        m.run_loop("x")
    except TypeError as e:
        print(failure, last_module_entry(e), m.__name__)
"""


@pytest.mark.parametrize("main", [False, True], ids=["imported", "main-module flag set"])
def test_each_failing_allocation_of_the_import_fails_cleanly_and_can_be_retried(probe_dir, main):
    """Every allocation of creation and execution, failed in turn in a fresh process:
    the import fails with MemoryError, with an entry at the failing step's
    line once the string table stands; a retried import works; and a line
    first cached under the import's name keeps that name later."""
    results = sweep_allocations(FAIL_ONE_ALLOCATION_OF_THE_IMPORT.replace("MAIN", str(main)),
                                pythonpath=[probe_dir])
    failures = {line for line in results.values() if line != "ok"}
    assert all(line.startswith("('MemoryError', ") for line in failures), failures
    init, name = "'init morvex.morvex_cy'", "__main__" if main else "morvex.morvex_cy"
    assert f"('MemoryError', (1, {init})) (23, 'morvex.morvex_cy.run_loop') {name}" in failures
    assert f"('MemoryError', (23, {init})) (23, {init}) {name}" in failures
    assert f"('MemoryError', (32, {init})) (23, 'morvex.morvex_cy.run_loop') {name}" in failures
    assert f"('MemoryError', None) (23, 'morvex.morvex_cy.run_loop') {name}" in failures


PRETEND_RUNTIME_VERSION = """
    import ctypes, mmap, warnings
    version = ctypes.c_uint32.in_dll(ctypes.pythonapi, "Py_Version")
    libc = ctypes.CDLL(None)
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    page = ctypes.addressof(version) & ~(mmap.PAGESIZE - 1)
    assert libc.mprotect(page, mmap.PAGESIZE, 3) == 0  # PROT_READ | PROT_WRITE
    version.value = {hexversion:#x}
"""


@pytest.mark.parametrize(
    "hexversion, warned",
    [
        (0x030D00F0, ["compile time Python version 3.12 of module 'morvex.morvex_cy' does not "
                      "match runtime version 3.13"]),
        (0x040000A1, ["compile time Python version 3.12 of module 'morvex.morvex_cy' does not "
                      "match runtime version 4.0"]),
        (0x030C00F0, []),
        (0x030C0AF0, []),
    ],
)
def test_runtime_version_check(hexversion, warned):
    proc = run_python(
        PRETEND_RUNTIME_VERSION.format(hexversion=hexversion)
        + """
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import morvex.morvex_cy as m
    print([(w.category.__name__, str(w.message)) for w in caught], m.run_loop(2))
    """
    )
    assert proc.stdout.strip() == f"{[('RuntimeWarning', text) for text in warned]} 2"


def test_version_warning_as_error_fails_the_import_without_an_entry():
    proc = run_python(
        PRETEND_RUNTIME_VERSION.format(hexversion=0x030D00F0)
        + """
    import sys
    warnings.simplefilter("error", RuntimeWarning)
    try:
        import morvex.morvex_cy
    except RuntimeWarning as e:
        tb = e.__traceback__
        names = []
        while tb:
            names.append(tb.tb_frame.f_code.co_filename)
            tb = tb.tb_next
        print("morvex/morvex_cy.py" in names, "morvex.morvex_cy" in sys.modules)
    warnings.simplefilter("ignore", RuntimeWarning)
    import morvex.morvex_cy as m
    print(m.fib(7))
    """
    )
    assert proc.stdout.split() == ["False", "False", "13"]


def test_string_table_objects(mod):
    import sys

    # Interned entries are the interpreter's canonical strings ...
    for text, obj in [("fib", mod.fib.__qualname__), ("run_loop", mod.run_loop.__qualname__),
                      ("morvex.morvex_cy", mod.fib.__module__), ("n", mod.fib.__code__.co_varnames[0])]:
        assert obj is sys.intern(text)
    # ... "cython.int" is one plain string shared by both annotations.
    value = mod.run_loop.__annotations__["loop"]
    assert value is mod.fib.__annotations__["n"]
    assert value is not sys.intern("cython.int")
    assert mod.run_loop.__code__.co_filename is mod.fib.__code__.co_filename


KEEP_THE_TABLE_ENTRY = """
    import importlib.util, sys
    import _morvex_faults as faults

    spec = importlib.util.find_spec("morvex.morvex_cy")
    sentinel = object()
    sys.modules["morvex.morvex_cy"] = sentinel
    k = int(sys.argv[1])
    faults.set_nomemory(k - 1, k)
    try:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    except MemoryError:
        outcome = "failed"
    else:
        outcome = "ok"
    faults.remove_mem_hooks()
    assert sys.modules["morvex.morvex_cy"] is sentinel, f"replaced at allocation {k}"
    print(outcome)
"""


def test_a_failed_lookup_never_replaces_the_module_table_entry(probe_dir):
    # The registration step must not read an allocation failure in its
    # lookup as "no entry" and replace what the table holds.
    results = sweep_allocations(KEEP_THE_TABLE_ENTRY, pythonpath=[probe_dir])
    assert set(results.values()) == {"failed", "ok"}
