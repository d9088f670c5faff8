"""Argument intake of run_loop and fib: arity, keywords (as a names tuple
or a dictionary), conversion to a 32-bit signed integer, and references."""

import sys
import warnings

import pytest

from support import SOURCE_FILE, module_entries, references_kept


class Str(str):
    """A str subclass: keyword names of this type are compared with ==."""


class OtherHash(str):
    """Equal to its text but hashing differently, so dictionaries keep it
    apart from the plain string."""

    def __hash__(self):
        return super().__hash__() ^ 1


class Int(int):
    pass


class IntReturning:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, type) and issubclass(self.value, BaseException):
            raise self.value("inner")
        return self.value


class IndexOnly:
    def __index__(self):
        return 3


class EqRaises(str):
    def __eq__(self, other):
        raise LookupError("no comparison")

    __hash__ = str.__hash__


# What PyLong_AsLong says where long is 32 bits, for every value outside
# the 32-bit range on every platform.
TOO_LARGE = "Python int too large to convert to C long"


def arity(name, given):
    return f"{name}() takes exactly 1 positional argument ({given} given)"


def call_error(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


# ---------------------------------------------------------------------------
# Arity and keywords, through the fast call entry (names tuple)

@pytest.mark.parametrize(
    "call, exc_type, message, line",
    [
        (lambda m, p: m.run_loop(), TypeError, arity("run_loop", 0), 23),
        (lambda m, p: m.fib(1, 2), TypeError, arity("fib", 2), 32),
        (lambda m, p: m.run_loop(1, 2, loop=3), TypeError, arity("run_loop", 2), 23),
        (lambda m, p: m.run_loop(1, 2, nonsense=3), TypeError, arity("run_loop", 2), 23),
        (lambda m, p: m.run_loop(7, loop=7), TypeError,
         "run_loop() got multiple values for keyword argument 'loop'", 23),
        (lambda m, p: m.run_loop(x=7), TypeError,
         "run_loop() got an unexpected keyword argument 'x'", 23),
        (lambda m, p: m.run_loop(7, x=1), TypeError,
         "run_loop() got an unexpected keyword argument 'x'", 23),
        (lambda m, p: m.fib(loop=3), TypeError, "fib() got an unexpected keyword argument 'loop'", 32),
        (lambda m, p: m.fib(n=1, x=2), TypeError, "fib() got an unexpected keyword argument 'x'", 32),
        (lambda m, p: p.vectorcall(m.run_loop, (5, 6), (1,)), TypeError,
         "run_loop() keywords must be strings", 23),
        (lambda m, p: p.vectorcall(m.fib, (5, 6), (Str("n"),)), TypeError,
         "fib() got multiple values for keyword argument 'n'", 32),
        (lambda m, p: m.run_loop(**{EqRaises("zz"): 1}), LookupError, "no comparison", 23),
    ],
)
def test_refused_calls(mod, probe, call, exc_type, message, line):
    exc = call_error(lambda: call(mod, probe))
    assert type(exc) is exc_type
    assert str(exc) == message
    name = "morvex.morvex_cy.run_loop" if line == 23 else "morvex.morvex_cy.fib"
    assert module_entries(exc) == [(SOURCE_FILE, line, name)]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda m, p: m.run_loop(loop=7), 7),
        (lambda m, p: m.fib(n=3), 2),
        (lambda m, p: m.run_loop(**{"".join(["lo", "op"]): 8}), 8),  # equal text, other object
        (lambda m, p: m.run_loop(**{Str("loop"): 9}), 9),
        (lambda m, p: p.vectorcall(m.fib, (10,), ("n",)), 55),
        (lambda m, p: p.vectorcall(m.run_loop, (11,), ()), 11),
        (lambda m, p: p.vectorcall_call(m.run_loop, (), {"loop": 12}), 12),
    ],
)
def test_accepted_calls(mod, probe, call, expected):
    assert call(mod, probe) == expected


@pytest.mark.parametrize(
    "kwnames",
    [("loop", "loop"), ("loop", Str("loop")), (Str("loop"), "".join(["lo", "op"]))],
)
def test_two_keywords_for_one_parameter_are_refused_without_leaking(mod, probe, kwnames):
    first, second = object(), object()
    with references_kept(first, second):
        exc = call_error(lambda: probe.vectorcall(mod.run_loop, (first, second), kwnames))
        assert str(exc) == "run_loop() got multiple values for keyword argument 'loop'"
        del exc


# ---------------------------------------------------------------------------
# Keywords as a dictionary (only other modules' callers pass one)

@pytest.mark.parametrize(
    "positional, kwdict, outcome",
    [
        ((), {"loop": 9}, 9),
        ((4,), {}, 4),
        ((), {OtherHash("loop"): 6}, 6),
        ((), {}, TypeError(arity("probe_intake", 0))),
        ((1, 2), {"loop": 3}, TypeError(arity("probe_intake", 2))),
        ((1,), {"loop": 3}, TypeError("probe_intake() got multiple values for keyword argument 'loop'")),
        ((), {"x": 1}, TypeError("probe_intake() got an unexpected keyword argument 'x'")),
        ((), {"loop": 1, "x": 1}, TypeError("probe_intake() got an unexpected keyword argument 'x'")),
        ((), {1: 2}, TypeError("keywords must be strings")),
        ((), {"loop": 1, OtherHash("loop"): 2},
         TypeError("probe_intake() got multiple values for keyword argument 'loop'")),
        ((1,), {Str("loop"): 3},
         TypeError("probe_intake() got multiple values for keyword argument 'loop'")),
    ],
)
def test_dictionary_keywords(probe, positional, kwdict, outcome):
    if isinstance(outcome, int):
        assert probe.intake(positional, kwdict=kwdict) == outcome
        return
    exc = call_error(lambda: probe.intake(positional, kwdict=kwdict))
    assert type(exc) is type(outcome) and str(exc) == str(outcome)
    assert [e[1:] for e in module_entries(exc)] == []  # the probe's entries name its own file


def test_dictionary_keywords_leave_references_unchanged(probe):
    value = object()
    for kwdict in ({"loop": value}, {"loop": value, "x": value}, {OtherHash("loop"): value}):
        with references_kept(value):
            try:
                probe.intake((), kwdict=kwdict)
            except TypeError:
                pass


# ---------------------------------------------------------------------------
# Conversion to a 32-bit signed integer

@pytest.mark.parametrize(
    "argument, expected",
    [
        (True, 1), (False, 0), (2.9, 2), (-2.9, -2), (Int(5), 5), (Int(-5), -5),
        (2**29, 2**29), (2**30, 2**30), (-2**30 - 1, -2**30 - 1), (2147483647, 2147483647),
        (-2147483648, -2147483648), (-1, -1), (IntReturning(4), 4), (IntReturning(-4), -4),
        (IntReturning(Int(6)), 6), (IntReturning(2**31 - 1), 2**31 - 1),
        (IntReturning(-2**31), -2**31),
    ],
)
def test_conversion_accepts(mod, probe, argument, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert probe.intake((argument,)) == expected
        assert mod.run_loop(argument) == max(expected, 0)


def test_int_subclass_is_read_directly_not_through_its_int(mod):
    class Lying(int):
        def __int__(self):
            raise AssertionError("must not be called")

    assert mod.run_loop(Lying(3)) == 3


@pytest.mark.parametrize(
    "argument, exc_type, message",
    [
        ("5", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (IntReturning("7"), TypeError, "__int__ returned non-int (type str)"),
        (IntReturning(2.5), TypeError, "__int__ returned non-int (type float)"),
        (IntReturning(KeyError), KeyError, "'inner'"),
        (2**31, OverflowError, TOO_LARGE),
        (-2**31 - 1, OverflowError, TOO_LARGE),
        (2**63 - 1, OverflowError, TOO_LARGE),
        (2**63, OverflowError, TOO_LARGE),
        (-2**63, OverflowError, TOO_LARGE),
        (-2**63 - 1, OverflowError, TOO_LARGE),
        (2**64, OverflowError, TOO_LARGE),
        (-2**200, OverflowError, TOO_LARGE),
        (Int(2**40), OverflowError, TOO_LARGE),
        (Int(-2**63 - 1), OverflowError, TOO_LARGE),
        (IntReturning(2**31), OverflowError, TOO_LARGE),
        (IntReturning(-2**31 - 1), OverflowError, TOO_LARGE),
        (IntReturning(2**63), OverflowError, TOO_LARGE),
        (IntReturning(-2**63 - 1), OverflowError, TOO_LARGE),
        (IntReturning(2**64), OverflowError, TOO_LARGE),
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    ],
)
@pytest.mark.parametrize("function, line", [("run_loop", 23), ("fib", 32)])
def test_conversion_refuses(mod, function, line, argument, exc_type, message):
    exc = call_error(lambda: getattr(mod, function)(argument))
    assert type(exc) is exc_type and str(exc) == message
    assert module_entries(exc)[-1][1:] == (line, f"morvex.morvex_cy.{function}")


DEPRECATION = (
    "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)


@pytest.mark.parametrize("function", ["run_loop", "fib"])
def test_int_subclass_result_warns_at_the_callers_line(mod, function):
    with pytest.warns(DeprecationWarning) as record:
        line = sys._getframe().f_lineno + 1
        assert getattr(mod, function)(IntReturning(True)) == 1
    assert [(str(w.message), w.filename, w.lineno) for w in record] == [(DEPRECATION, __file__, line)]


@pytest.mark.parametrize("function, line", [("run_loop", 23), ("fib", 32)])
def test_int_subclass_result_fails_when_warnings_are_errors(mod, function, line):
    argument = IntReturning(True)
    with references_kept(argument):
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            exc = call_error(lambda: getattr(mod, function)(argument))
        assert type(exc) is DeprecationWarning and str(exc) == DEPRECATION
        assert module_entries(exc)[-1][1] == line
        del exc


# ---------------------------------------------------------------------------
# References

@pytest.mark.parametrize(
    "argument",
    [2**20, 2**40, "x", 3.5, IntReturning(5), IntReturning("bad"), Int(2**45), object(),
     IntReturning(object()), IntReturning(2**40), IntReturning(Int(2**40)), IntReturning(Int(7))],
)
@pytest.mark.parametrize("keyword", [False, True])
def test_argument_reference_count_is_unchanged(mod, argument, keyword):
    """Neither the argument nor what its __int__ returned is kept."""
    watched = [argument, argument.value] if isinstance(argument, IntReturning) else [argument]
    with references_kept(*watched):
        for _ in range(3):
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)
                    mod.run_loop(loop=argument) if keyword else mod.run_loop(argument)
            except (TypeError, OverflowError):
                pass
