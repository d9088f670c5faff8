"""The generic call slot (argument tuple and keyword dictionary) and the
binding of function objects fetched through an instance."""

import pytest

from support import references_kept


def slot_call(function, *args, **kwargs):
    """Calls through tp_call rather than the vectorcall field."""
    return type(function).__call__(function, *args, **kwargs)


def test_slot_call_matches_the_fast_call(mod):
    assert slot_call(mod.run_loop, 5) == mod.run_loop(5) == 5
    assert slot_call(mod.run_loop, loop=5) == 5
    assert slot_call(mod.fib, n=10) == 55
    with pytest.raises(TypeError, match=r"^run_loop\(\) got an unexpected keyword argument 'x'$"):
        slot_call(mod.run_loop, x=1)


def test_keywords_become_a_names_tuple(probe):
    f = probe.make_function("fastcall")
    assert slot_call(f, 1) == ("fastcall", f, 1, (1,), None)
    assert slot_call(f, 1, **{}) == ("fastcall", f, 1, (1,), None)
    assert slot_call(f, 1, a=2, b=3) == ("fastcall", f, 1, (1, 2, 3), ("a", "b"))


def test_non_string_keyword_is_refused_before_the_call(probe):
    f = probe.make_function("fastcall")
    value = object()
    with references_kept(value):
        with pytest.raises(TypeError) as info:
            # Straight to the slot with the dictionary as it is: a Python-level
            # f(**d) would refuse the key before the slot ever ran.
            probe.vectorcall_dict(type(f).__call__, (f, 1), {"a": value, 2: value})
        assert str(info.value) == "keywords must be strings"
        del info


def test_tuple_convention_through_the_slot(probe):
    f = probe.make_function("varargs_keywords")
    assert f(1, a=2) == ("varargs_keywords", f, (1,), {"a": 2})
    assert f() == ("varargs_keywords", f, (), None)  # no dictionary at all
    assert slot_call(f) == ("varargs_keywords", f, (), {})  # the slot wrapper's empty one
    # Without its fast entry a one-argument function takes it from the tuple.
    o = probe.make_function("o", fast_entry=False)
    assert slot_call(o, 5) == o(5) == ("o", o, 5)


def test_unbound_method_needs_its_self(probe):
    f = probe.make_function("varargs_keywords", flags=0x04, qualname="Owner.method")
    with pytest.raises(TypeError) as info:
        f()
    assert str(info.value) == "unbound method Owner.method() needs an argument"
    assert f("self", 1, k=2) == ("varargs_keywords", "self", (1,), {"k": 2})


def test_binding(mod):
    class Holder:
        f = mod.run_loop

    holder = Holder()
    assert Holder.f is mod.run_loop
    bound = holder.f
    assert type(bound).__name__ == "method"
    assert bound.__self__ is holder and bound.__func__ is mod.run_loop
    with pytest.raises(TypeError, match="^an integer is required$"):
        holder.f()  # the instance is the one argument


def test_binding_passes_an_int_instance(mod):
    class Number(int):
        f = mod.run_loop

    assert Number(7).f() == 7
    assert type(mod.fib).__get__(mod.fib, None, type) is mod.fib
