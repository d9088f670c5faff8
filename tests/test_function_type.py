"""The shared function type: its identity across modules, construction by
calling convention, the four fast call entries and the collector hooks."""

import gc
import sys
import weakref

import pytest

from support import references_kept, run_python


def test_type_names(mod):
    T = type(mod.run_loop)
    assert T.__name__ == "cython_function_or_method"
    assert repr(T) == "<class '_cython_3_1_1.cython_function_or_method'>"
    assert type(mod.fib) is T
    assert T.__flags__ & (1 << 11)  # calls go through the vectorcall field
    assert T.__itemsize__ == 0


def test_registry_holds_the_one_shared_type(mod, probe):
    import sys

    registry = sys.modules["_cython_3_1_1"]
    assert probe.shared_type() is type(mod.fib)
    assert [k for k in vars(registry) if not k.startswith("__")] == ["cython_function_or_method"]
    assert registry.cython_function_or_method is type(mod.fib)


def test_type_made_by_another_module_is_adopted(probe_dir):
    proc = run_python(
        """
        import _morvex_probe, sys
        import morvex.morvex_cy as m
        print(type(m.fib) is _morvex_probe.shared_type(), m.fib(10))
        """,
        pythonpath=[probe_dir],
    )
    assert proc.stdout.split() == ["True", "55"]


def test_instances_are_made_only_by_modules(mod):
    T = type(mod.fib)
    with pytest.raises(TypeError, match="cannot create '_cython_3_1_1.cython_function_or_method'"):
        T()

    class Sub(T):
        pass

    with pytest.raises(TypeError):
        Sub()


def test_plain_varargs_convention_is_refused(probe):
    with pytest.raises(SystemError, match="^Bad call flags for CyFunction$"):
        probe.make_function("varargs")


@pytest.mark.parametrize(
    "kind, args, kwargs, message",
    [
        ("noargs", (1,), {}, "noargs() takes no arguments (1 given)"),
        ("noargs", (), {"a": 1}, "noargs() takes no keyword arguments"),
        ("noargs", (1,), {"a": 1}, "noargs() takes no keyword arguments"),
        ("o", (1, 2), {}, "o() takes exactly one argument (2 given)"),
        ("o", (), {}, "o() takes exactly one argument (0 given)"),
        ("o", (1,), {"a": 1}, "o() takes no keyword arguments"),
    ],
)
@pytest.mark.parametrize("fast_entry", [True, False], ids=["fast entry", "tuple call"])
def test_entry_refusals(probe, kind, args, kwargs, message, fast_entry):
    function = probe.make_function(kind, fast_entry=fast_entry)
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == message


def test_entries_pass_self_and_arguments(probe):
    noargs, o, fast, method = (probe.make_function(k) for k in ("noargs", "o", "fastcall", "method"))
    assert noargs() == ("noargs", noargs)
    assert o(5) == ("o", o, 5)
    assert fast(1, 2, k=3) == ("fastcall", fast, 2, (1, 2, 3), ("k",))
    assert method(1, k=2) == ("method", method, None, (1,), ("k",))


@pytest.mark.parametrize("kind", ["noargs", "o", "fastcall", "method", "varargs_keywords"])
def test_method_flag_takes_self_from_the_arguments(probe, kind):
    function = probe.make_function(kind, flags=0x04)
    with pytest.raises(TypeError) as info:
        function()
    expected = (
        "unbound method probe_fn() needs an argument" if kind == "varargs_keywords"
        else f"{kind}() needs an argument"
    )
    assert str(info.value) == expected
    # The missing-argument check comes before the keyword check.
    with pytest.raises(TypeError, match="needs an argument"):
        function(**{"k": 1}) if kind != "varargs_keywords" else function()
    result = function("self", *(["x"] if kind in ("o", "fastcall", "method", "varargs_keywords") else []))
    assert result[1] == "self"


@pytest.mark.parametrize(
    "flags, takes_self, coroutine",
    [
        (0x00, False, False),
        (0x01, False, False),  # static alone: neither a method nor a coroutine
        (0x02, False, False),
        (0x04, True, False),
        (0x05, False, False),  # static cancels method
        (0x08, False, True),
        (0x0C, True, True),
        (0x0D, False, True),
        (0x10, False, False),
        (0x20, False, False),
        (-1 & ~0x0D, False, False),  # every bit but the three read
    ],
)
def test_flag_bits(probe, flags, takes_self, coroutine):
    import asyncio.coroutines

    function = probe.make_function("o", flags=flags)
    if takes_self:
        assert function("self", 7) == ("o", "self", 7)
    else:
        assert function(7) == ("o", function, 7)
    assert function._is_coroutine is (asyncio.coroutines._is_coroutine if coroutine else False)


def test_traverse_visits_what_can_lead_back(mod):
    fib = mod.fib
    fib.__dict__  # fill the dictionary
    referents = gc.get_referents(fib)
    assert any(r is vars(mod) for r in referents)
    assert any(r is fib.__dict__ for r in referents)
    assert any(r is fib.__module__ for r in referents)
    assert not any(r is fib.__code__ for r in referents)


class NameHolder(str):
    """A name that can hold a reference: str subclasses have a __dict__."""


def _through_dict(function):
    function.self_reference = function


def _through_annotations(function):
    function.__annotations__ = {"return": function}


def _through_name(function):
    name = NameHolder("held")
    name.function = function
    function.__name__ = name


def _through_qualname(function):
    name = NameHolder("held")
    name.function = function
    function.__qualname__ = name


def _without_cycle(function):
    pass


@pytest.mark.parametrize("make_cycle", [_through_dict, _through_annotations, _through_name,
                                        _through_qualname, _without_cycle],
                         ids=lambda f: f.__name__[1:])
def test_a_freed_function_notifies_weakrefs_and_releases_its_code(probe, make_cycle):
    """Freed by the collector through any field of a cycle, or by its last
    reference going, a function object notifies its weak references and
    gives back its code object."""
    notified, code = [], compile("pass", "probe", "exec")
    with references_kept(code):
        function = probe.make_function("o", code=code)
        assert function.__code__ is code
        make_cycle(function)
        ref = weakref.ref(function, lambda r: notified.append(r))
        del function
        gc.collect()
        assert ref() is None and notified == [ref]


@pytest.mark.parametrize("kind", ["o", "varargs_keywords"])
def test_a_cleared_function_still_calls_and_reads_safely(probe, kind):
    function = probe.make_function(kind, flags=0x04 if kind == "varargs_keywords" else 0)
    probe.clear(function)  # what the collector does to objects in a dead cycle
    if kind == "o":
        assert function(3) == ("o", function, 3)
    else:
        with pytest.raises(TypeError, match=r"^unbound method varargs_keywords\(\) needs"):
            function()
    assert repr(function) == f"<cyfunction {kind} at {hex(id(function))}>"
    assert function.__name__ == kind and function.__dict__ == {}
    assert function.__qualname__ is function.__globals__ is function.__module__ is None
    assert function.__reduce__() is None
