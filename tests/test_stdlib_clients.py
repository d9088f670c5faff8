"""The standard library's tools use the function objects without any
special casing on our side."""

import asyncio
import copy
import doctest
import functools
import inspect
import io
import pickle
import pydoc
import weakref
from contextlib import redirect_stdout

import pytest

from support import run_python


def test_inspect_signature(mod):
    assert str(inspect.signature(mod.run_loop)) == "(loop: 'cython.int')"
    assert str(inspect.signature(mod.fib)) == "(n: 'cython.int')"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_by_reference(mod, protocol):
    assert pickle.loads(pickle.dumps(mod.fib, protocol)) is mod.fib
    assert pickle.loads(pickle.dumps([mod.run_loop], protocol))[0] is mod.run_loop


def test_copy_gives_back_the_object(mod):
    assert copy.copy(mod.fib) is mod.fib
    assert copy.deepcopy({"f": mod.run_loop})["f"] is mod.run_loop


def test_weak_references(mod):
    assert weakref.ref(mod.fib)() is mod.fib
    table = weakref.WeakValueDictionary(f=mod.fib)
    assert table["f"] is mod.fib


def test_weakref_callback_fires_when_a_cycle_is_collected():
    proc = run_python(
        """
        import gc, weakref
        import morvex.morvex_cy as m
        fired = []
        fib = m.fib
        fib.myself = fib  # a cycle through the function's own __dict__
        ref = weakref.ref(fib, fired.append)
        del vars(m)["fib"], fib
        gc.collect()
        print(fired == [ref], ref() is None)
        """
    )
    assert proc.stdout.split() == ["True", "True"]


def test_functools(mod):
    @functools.wraps(mod.fib)
    def wrapper(n):
        return mod.fib(n)

    assert (wrapper.__module__, wrapper.__name__, wrapper.__qualname__) == (
        "morvex.morvex_cy", "fib", "fib")
    assert wrapper.__doc__ is None and wrapper.__annotations__ == {"n": "cython.int"}
    assert wrapper.__wrapped__ is mod.fib and wrapper(10) == 55
    assert functools.partial(mod.fib, 10)() == 55


def test_asyncio_sees_a_plain_function(mod):
    assert asyncio.iscoroutinefunction(mod.fib) is False


def test_help_and_pydoc_render(mod):
    out = io.StringIO()
    with redirect_stdout(out):
        help(mod.fib)
    assert "fib(n: 'cython.int')" in out.getvalue()
    assert "run_loop(loop: 'cython.int')" in pydoc.plain(pydoc.render_doc(mod))


def test_doctest_finds_the_empty_test_table(mod):
    tests = doctest.DocTestFinder().find(mod)
    assert [t.name for t in tests] == ["morvex.morvex_cy"]
    assert all(not t.examples for t in tests)
