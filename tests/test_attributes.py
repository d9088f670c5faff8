"""The attribute surface of function objects, table by table: getset rows
(lazy builds, setters, read-only rows), members, methods and the repr."""

import sys
import warnings

import pytest

from support import run_python


class Str(str):
    pass


class Dict(dict):
    pass


@pytest.fixture
def fn(probe):
    """A fresh function object of the shared type, free to be changed."""
    return probe.make_function("fastcall", qualname="probe_fn")


# ---------------------------------------------------------------------------
# Getters: built on first read, the same object afterwards

@pytest.mark.parametrize("alias", ["__name__", "func_name"])
def test_name_is_interned_and_kept(mod, alias):
    name = getattr(mod.run_loop, alias)
    assert name == "run_loop" and name is sys.intern("run_loop")
    assert getattr(mod.run_loop, alias) is name


def test_doc(mod, probe):
    assert mod.fib.__doc__ is None and mod.fib.func_doc is None
    documented = probe.make_function("documented")
    doc = documented.__doc__
    assert doc == "probe docstring" and documented.func_doc is doc
    assert doc is not sys.intern("probe docstring")


@pytest.mark.parametrize("alias", ["__dict__", "func_dict"])
def test_dict_is_made_once_and_shared_with_free_attributes(fn, alias):
    fn.tag = 1  # before the dictionary was ever read
    d = getattr(fn, alias)
    assert d == {"tag": 1} and getattr(fn, alias) is d and fn.__dict__ is d


def test_plain_getters(mod):
    assert mod.fib.__globals__ is vars(mod) and mod.fib.func_globals is vars(mod)
    assert mod.fib.__closure__ is None and mod.fib.func_closure is None
    assert mod.fib.__code__ is mod.fib.func_code and mod.fib.__code__.co_name == "fib"
    assert mod.fib.__module__ == "morvex.morvex_cy"


def test_code_of_a_function_without_one_is_none(fn):
    assert fn.__code__ is None


def test_no_defaults(mod):
    assert mod.fib.__defaults__ is None and mod.fib.__kwdefaults__ is None
    assert mod.fib.func_defaults is None


def test_defaults_getter_fills_both_fields_once(probe):
    f = probe.make_function("fastcall", defaults=True)
    calls = probe.defaults_getter_calls()
    assert f.__kwdefaults__ == {"k": 3}
    assert f.__defaults__ == (1, 2)
    assert f.__defaults__ is f.func_defaults
    assert probe.defaults_getter_calls() == calls + 1


def test_defaults_getter_replaces_assigned_keyword_defaults(probe):
    f = probe.make_function("fastcall", defaults=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        f.__kwdefaults__ = {"assigned": 0}
    assert f.__defaults__ == (1, 2)  # first read: the getter runs ...
    assert f.__kwdefaults__ == {"k": 3}  # ... and fills both fields


def test_failing_defaults_getter_leaves_fields_empty(probe):
    f = probe.make_function("fastcall", defaults=False)
    calls = probe.defaults_getter_calls()
    for _ in range(2):
        with pytest.raises(ValueError, match="defaults getter failed"):
            f.__defaults__
    assert probe.defaults_getter_calls() == calls + 2


def test_coroutine_marker(mod, probe):
    import asyncio.coroutines

    assert mod.fib._is_coroutine is False
    coroutine = probe.make_function("fastcall", flags=0x08)
    marker = coroutine._is_coroutine
    assert marker is asyncio.coroutines._is_coroutine and coroutine._is_coroutine is marker


def test_coroutine_marker_falls_back_to_true(probe_dir):
    proc = run_python(
        """
        import sys
        sys.modules["asyncio.coroutines"] = None  # the import fails
        import _morvex_probe
        f = _morvex_probe.make_function("fastcall", flags=0x08)
        print(f._is_coroutine, sys.exc_info()[0])
        del sys.modules["asyncio.coroutines"]
        print(f._is_coroutine)  # kept
        """,
        pythonpath=[probe_dir],
    )
    assert proc.stdout.split() == ["True", "None", "True"]


# ---------------------------------------------------------------------------
# Setters

DELETE = object()

REFUSED = [
    ("__name__", DELETE, "__name__ must be set to a string object"),
    ("__name__", None, "__name__ must be set to a string object"),
    ("func_name", 5, "__name__ must be set to a string object"),
    ("__qualname__", DELETE, "__qualname__ must be set to a string object"),
    ("__qualname__", b"bytes", "__qualname__ must be set to a string object"),
    ("__dict__", DELETE, "function's dictionary may not be deleted"),
    ("func_dict", [], "setting function's dictionary to a non-dict"),
    ("__dict__", None, "setting function's dictionary to a non-dict"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", [], "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
]


@pytest.mark.parametrize("attr, value, message", REFUSED)
def test_refused_assignment_leaves_the_field(fn, attr, value, message):
    before = getattr(fn, attr)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a refused value warns not
        with pytest.raises(TypeError) as info:
            if value is DELETE:
                delattr(fn, attr)
            else:
                setattr(fn, attr, value)
    assert str(info.value) == message
    assert getattr(fn, attr) is before


@pytest.mark.parametrize(
    "attr, value, expected",
    [
        ("__name__", Str("renamed"), "same"),
        ("__qualname__", Str("Outer.renamed"), "same"),
        ("__doc__", 5, "same"),
        ("func_doc", DELETE, None),
        ("__doc__", None, None),
        ("__dict__", Dict(a=1), "same"),
        ("__annotations__", Dict(x="y"), "same"),
        ("__module__", 5, "same"),
        ("__module__", DELETE, None),
    ],
)
def test_accepted_assignment(fn, attr, value, expected):
    if value is DELETE:
        delattr(fn, attr)
    else:
        setattr(fn, attr, value)
    assert getattr(fn, attr) is (value if expected == "same" else expected)


@pytest.mark.parametrize("value", [None, DELETE])
def test_emptied_annotations_read_as_a_new_dict(fn, value):
    old = fn.__annotations__
    if value is DELETE:
        del fn.__annotations__
    else:
        fn.__annotations__ = None
    new = fn.__annotations__
    assert new == {} and new is not old and fn.__annotations__ is new


def test_qualname_drives_repr_and_reduce_not_name(fn):
    fn.__qualname__ = "Outer.inner"
    assert repr(fn) == f"<cyfunction Outer.inner at {hex(id(fn))}>"
    assert fn.__reduce__() == "Outer.inner"
    assert fn.__name__ == "fastcall"


DEFAULTS_WARNING = ("changes to cyfunction.__defaults__ will not currently affect the values "
                    "used in function calls")
KWDEFAULTS_WARNING = ("changes to cyfunction.__kwdefaults__ will not currently affect the values "
                      "used in function calls")


@pytest.mark.parametrize(
    "attr, value, read_back, warning",
    [
        ("__defaults__", (1,), (1,), DEFAULTS_WARNING),
        ("func_defaults", None, None, DEFAULTS_WARNING),
        ("__defaults__", DELETE, None, DEFAULTS_WARNING),
        ("__kwdefaults__", {"a": 1}, {"a": 1}, KWDEFAULTS_WARNING),
        ("__kwdefaults__", DELETE, None, KWDEFAULTS_WARNING),
    ],
)
def test_defaults_assignment_warns(fn, attr, value, read_back, warning):
    with pytest.warns(RuntimeWarning) as record:
        if value is DELETE:
            delattr(fn, attr)
        else:
            setattr(fn, attr, value)
    assert [str(w.message) for w in record] == [warning]
    assert getattr(fn, attr) == read_back


@pytest.mark.parametrize("attr", ["__defaults__", "__kwdefaults__"])
def test_defaults_warning_as_error_leaves_the_field(fn, attr):
    value = (1,) if attr == "__defaults__" else {"a": 1}
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            setattr(fn, attr, value)
    assert getattr(fn, attr) is None


def test_assigned_defaults_do_not_change_calls(mod):
    fib = mod.fib
    saved = fib.__defaults__
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        fib.__defaults__ = (5,)
        try:
            assert fib.__defaults__ == (5,)
            with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
                fib()
        finally:
            fib.__defaults__ = saved


@pytest.mark.parametrize(
    "attr", ["__globals__", "func_globals", "__closure__", "func_closure", "__code__", "func_code",
             "_is_coroutine"])
def test_read_only_rows(mod, attr):
    before = getattr(mod.fib, attr)
    with pytest.raises(AttributeError):
        setattr(mod.fib, attr, None)
    with pytest.raises(AttributeError):
        delattr(mod.fib, attr)
    assert getattr(mod.fib, attr) is before


def test_setter_stores_before_it_releases(fn):
    seen = []

    class Watcher:
        def __del__(self):
            seen.append(fn.__doc__)

    fn.__doc__ = Watcher()
    fn.__doc__ = "new"
    assert seen == ["new"]


# ---------------------------------------------------------------------------
# Members, methods and repr

def test_offset_members_become_the_types_offsets(mod):
    T = type(mod.fib)
    assert T.__dictoffset__ > 0 and T.__weakrefoffset__ > 0
    assert not hasattr(mod.fib, "__dictoffset__")  # consumed when the type was built
    assert "__module__" in vars(T)  # the one member that stays


@pytest.mark.parametrize("args", [(), (1, 2, 3)])
def test_reduce_ignores_positionals(mod, args):
    assert mod.fib.__reduce__(*args) == "fib"


def test_reduce_refuses_keywords(mod):
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        mod.fib.__reduce__(protocol=2)


def test_repr(mod):
    assert repr(mod.fib) == f"<cyfunction fib at {hex(id(mod.fib))}>"
    assert repr(mod.run_loop) == f"<cyfunction run_loop at {hex(id(mod.run_loop))}>"
