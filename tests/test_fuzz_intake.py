"""Differential fuzzing of the call boundary: random positional and keyword
shapes and random argument objects, through run_loop, fib and the probe's
dictionary path, compared with a small model of the argument rules kept in
this file. Every example must agree on the result, the exception type and
message, the warnings, the traceback entry, and leave the reference counts of
everything it passed unchanged."""

import warnings

import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

from support import SOURCE_FILE, module_entries, references_kept

INT_MIN, INT_MAX = -2**31, 2**31 - 1


def fuzz(examples):
    """derandomize: every run explores the same examples, so CI is
    reproducible; no database, so nothing found on one machine changes what
    another runs. No deadline: the machine is shared."""
    return settings(max_examples=examples, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow])


# Message formats, as the module fills them.
ARITY = "%.200s() takes %.8s %d positional argument%.1s (%d given)"
MULTIPLE = "%s() got multiple values for keyword argument '%s'"
UNEXPECTED = "%s() got an unexpected keyword argument '%s'"
NOT_STRINGS = "%.200s() keywords must be strings"
NON_INT = "__int__ returned non-int (type %.200s)"
DEPRECATED = (NON_INT + ".  The ability to return an instance of a strict subclass of int is "
              "deprecated, and may be removed in a future version of Python.")
TOO_LARGE = "Python int too large to convert to C long"  # any value outside 32 bits


# ---------------------------------------------------------------------------
# Argument objects

class Int(int):
    pass


class IntIgnoringOwnInt(int):
    """An int subclass is read directly: its own __int__ must not run."""

    def __int__(self):
        raise AssertionError("__int__ of an int subclass was called")


class IntReturning:
    """__int__ returns `result`, or raises a fresh `result[0](result[1])`
    (a fresh exception, so no traceback keeps this object alive)."""

    __slots__ = ("result",)

    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, tuple):
            raise self.result[0](self.result[1])
        return self.result

    def __repr__(self):
        return f"IntReturning({self.result!r})"


class IndexOnly:
    def __index__(self):
        return 3


class InstanceInt:
    """__int__ on the instance, not the type: the number protocol does not
    see it."""

    def __init__(self):
        self.__int__ = lambda: 3


class Str(str):
    """Equal to its text, same hash: matched through its own equality."""


class OtherHash(str):
    """Equal to its text but hashing differently, so a dictionary keeps it
    apart from the plain string."""

    def __hash__(self):
        return str.__hash__(self) ^ 1


class EqRaises(str):
    def __eq__(self, other):
        raise LookupError("no comparison")

    __hash__ = str.__hash__


class EqAlways(str):
    """Equal to every name, whatever its own text."""

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


small_ints = st.integers(-3, 14)
edge_ints = st.builds(lambda base, offset: base + offset,
                      st.sampled_from([INT_MIN, INT_MAX, -2**30, 2**30, 0]), st.integers(-2, 2))
huge_ints = st.integers(2**31, 2**200) | st.integers(-2**200, -2**31 - 1)
ints = small_ints | edge_ints | st.integers() | huge_ints
int_results = ints | ints.map(Int) | st.booleans()
not_int_results = st.sampled_from(["7", 2.5, None]) | st.builds(list) | st.builds(IndexOnly)
raised = st.sampled_from([(KeyError, "inner"), (ValueError, "bad"), (OverflowError, "big")])

arguments = st.one_of(
    ints, ints.map(Int), ints.map(IntIgnoringOwnInt), st.booleans(),
    st.floats(), st.decimals(), st.fractions(),
    st.builds(IntReturning, int_results | not_int_results | raised),
    st.builds(IndexOnly), st.builds(InstanceInt), st.none(), st.text(max_size=3),
    st.binary(max_size=2), st.complex_numbers(max_magnitude=10), st.builds(object),
)


def keyword_names(param, other):
    """Mostly names equal to `param`, as different kinds of object."""
    named = st.sampled_from([param, param, param, other])
    return st.one_of(
        named,  # interned literals
        named.map(lambda text: "".join(list(text))),  # equal text, another object
        st.builds(lambda cls, text: cls(text), st.sampled_from([Str, OtherHash]), named),
        st.builds(lambda cls, text: cls(text), st.sampled_from([EqRaises, EqAlways]),
                  named | st.text(max_size=3)),
        st.text(max_size=5),
        st.sampled_from([0, None, b"loop", 2.5]),  # not strings
    )


def sized_lists(elements, sizes):
    """Lists whose lengths are drawn from `sizes` (repeat a length to favour it)."""
    return st.sampled_from(sizes).flatmap(
        lambda n: st.lists(elements, min_size=n, max_size=n))


# Shapes that pass the arity check and supply the argument are favoured, so
# that many examples reach the conversion.
positionals = sized_lists(arguments, [0, 0, 0, 0, 1, 1, 1, 1, 2, 3])


def keyword_items(param, other):
    return sized_lists(st.tuples(keyword_names(param, other), arguments), [0, 1, 1, 1, 1, 2, 3])


# ---------------------------------------------------------------------------
# The model

MISSING = object()


class AnyOf:
    """A message the model leaves open between a few texts."""

    def __init__(self, texts):
        self.texts = texts

    def __eq__(self, other):
        return other in self.texts

    def __repr__(self):
        return f"AnyOf({sorted(self.texts)!r})"


class Refused(Exception):
    """The model's verdict that the call fails: the exception's type and
    message, and whether the failure happens inside the function (so that
    it carries the function's traceback entry)."""

    def __init__(self, exc_type, message=None, in_intake=True):
        super().__init__(exc_type, message)
        self.exc_type, self.message, self.in_intake = exc_type, message, in_intake


def calling(function, *args):
    """function(*args), with what it raises turned into Refused. Only the
    type and message are kept: a kept exception would keep, through its
    traceback, the argument whose __int__ raised it."""
    try:
        return function(*args)
    except Exception as exc:
        refused = Refused(type(exc), str(exc))
    raise refused


def text_of(key):
    return str.__str__(key)


def equals_param(key, param):
    # An exact str is compared by its text; a subclass through its own
    # equality, which may raise.
    if type(key) is str:
        return key == param
    return calling(lambda: bool(param == key))


def arity(name, given):
    return Refused(TypeError, ARITY % (name, "exactly", 1, "", given))


def collect_from_names(name, param, positional, keywords):
    """The argument a names-tuple call supplies, or Refused."""
    if not keywords:
        if len(positional) != 1:
            raise arity(name, len(positional))
        return positional[0]
    if len(positional) > 1:
        raise arity(name, len(positional))
    value = positional[0] if positional else MISSING
    for key, candidate in keywords:
        if not isinstance(key, str):
            raise Refused(TypeError, NOT_STRINGS % name)
        if not equals_param(key, param):
            raise Refused(TypeError, UNEXPECTED % (name, text_of(key)))
        if value is not MISSING:  # given positionally, or by an earlier keyword
            raise Refused(TypeError, MULTIPLE % (name, text_of(key)))
        value = candidate
    return value


def collect_from_dict(name, param, positional, kwdict):
    """The argument a call with a keyword dictionary supplies, or Refused:
    the host validates the keys, the parameter is looked up by hash and
    equality, then the keys are examined in the dictionary's order."""
    if not kwdict:
        return collect_from_names(name, param, positional, [])
    if len(positional) > 1:
        raise arity(name, len(positional))
    if not all(isinstance(key, str) for key in kwdict):
        raise Refused(TypeError, "keywords must be strings")
    if not positional:
        calling(kwdict.get, param)  # may raise through a key's equality
    for key in kwdict:
        if not equals_param(key, param):
            raise Refused(TypeError, UNEXPECTED % (name, text_of(key)))
        if positional:
            raise Refused(TypeError, MULTIPLE % (name, text_of(key)))
    if len(kwdict) > 1:
        # Keys equal to the name but apart in the dictionary: the message
        # names one that gave the parameter a second value.
        raise Refused(TypeError, AnyOf({MULTIPLE % (name, text_of(key)) for key in kwdict}))
    return next(iter(kwdict.values()))


def convert(argument, warnings_are_errors, issued):
    """The 32-bit value, or Refused; warnings go to `issued`, also when the
    conversion is refused afterwards."""
    if isinstance(argument, int):
        value = int.__int__(argument)  # the stored value, whatever the subclass defines
    else:
        nb_int = getattr(type(argument), "__int__", None)
        if nb_int is None:
            raise Refused(TypeError, "an integer is required")
        result = calling(nb_int, argument)
        if type(result) is not int:
            if not isinstance(result, int):
                raise Refused(TypeError, NON_INT % type(result).__name__)
            message = DEPRECATED % type(result).__name__
            if warnings_are_errors:
                raise Refused(DeprecationWarning, message)
            issued.append((DeprecationWarning, message))
        value = int.__int__(result)
    if not INT_MIN <= value <= INT_MAX:
        raise Refused(OverflowError, TOO_LARGE)
    return value


def model_fib(n):
    a, b = 0, 1
    for _ in range(n):
        a, b = b, a + b
    return a


def wrap32(value):
    return (value + 2**31) % 2**32 - 2**31


# While fib is fuzzed its module global is bound to a stub that recurses for
# real for small n and returns a tagged leaf otherwise, so any n returns at
# once and shows the two terms the body asked for (n - 1 and n - 2, in
# wrapping 32-bit arithmetic). These are the stub's values:
def fib_term(k):
    return model_fib(k) if 1 <= k <= 12 else 10**12 + k


def expected_fib(n):
    return 1 if n in (1, 2) else fib_term(wrap32(n - 1)) + fib_term(wrap32(n - 2))


FUNCTIONS = {
    # name: (parameter, line of argument errors, result of the body)
    "run_loop": ("loop", 23, lambda value: max(value, 0)),
    "fib": ("n", 32, expected_fib),
}


# ---------------------------------------------------------------------------
# Running both sides

def outcome_of(call):
    """("value", result, its type) or ("raised", type, message, module
    entries); the exception itself is dropped, so it keeps nothing alive."""
    try:
        result = call()
    except Exception as exc:
        return ("raised", type(exc), str(exc), module_entries(exc))
    return ("value", result, type(result))


def run(call, warnings_are_errors):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("error" if warnings_are_errors else "always")
        outcome = outcome_of(call)
    return outcome, [(w.category, str(w.message)) for w in caught]


def kind_of(exc_type, message):
    """A short label of the outcome, for --hypothesis-show-statistics."""
    if isinstance(message, AnyOf):
        message = min(message.texts)
    for words in ("takes exactly", "multiple values", "unexpected keyword", "must be strings",
                  "is deprecated", "returned non-int", "integer is required"):
        if message and words in message:
            return f"{exc_type.__name__}: ...{words}..."
    return exc_type.__name__


def predict(collect, result_of, warnings_are_errors, entries):
    """The model's outcome and warnings, in the form run() gives them;
    `entries` are the module's traceback entries of a refused call."""
    issued = []
    try:
        value = convert(collect(), warnings_are_errors, issued)
    except Refused as refused:
        event("refused, " + kind_of(refused.exc_type, refused.message))
        return (("raised", refused.exc_type, refused.message,
                 entries if refused.in_intake else []), issued)
    event("value" + (" with a warning" if issued else ""))
    result = result_of(value)
    return ("value", result, type(result)), issued


# Every example's counts are taken with the collector off, which is what
# keeps them apart from hypothesis' own garbage (it reuses its boundary
# integers); a full collection before each of them would add minutes.
def passed_objects(positional, keywords):
    return list(positional) + [item for pair in keywords for item in pair]


@pytest.fixture(scope="module")
def functions(mod):
    """name -> function object, with fib's module global bound to a stub
    that recurses for real only for small n (see fib_term)."""
    namespace = vars(mod)
    fib = namespace["fib"]
    namespace["fib"] = lambda k: fib(k) if 1 <= k <= 12 else 10**12 + k
    yield {"run_loop": mod.run_loop, "fib": fib}
    namespace["fib"] = fib


def entry_of(function):
    return (SOURCE_FILE, FUNCTIONS[function][1], f"morvex.morvex_cy.{function}")


# A function, its positional arguments and its keywords, named mostly after
# its own parameter.
calls = st.one_of(
    st.tuples(st.just("run_loop"), positionals, keyword_items("loop", "n")),
    st.tuples(st.just("fib"), positionals, keyword_items("n", "loop")),
)


@fuzz(5000)
@given(call_shape=calls, route=st.sampled_from(["names", "python", "slot"]),
       warnings_are_errors=st.booleans())
def test_calls_agree_with_the_model(functions, probe, call_shape, route, warnings_are_errors):
    function, positional, keywords = call_shape
    func = functions[function]
    param, _, body = FUNCTIONS[function]
    if route == "names":
        # Names and values as given: duplicates and non-strings included.
        args = tuple(positional) + tuple(value for _, value in keywords)
        names = tuple(key for key, _ in keywords)

        def call():
            return probe.vectorcall(func, args, names)

        def collect():
            return collect_from_names(function, param, positional, keywords)
    else:
        # Through a dictionary, by the interpreter or the type's call slot,
        # which refuse non-string keys before the function is entered.
        try:
            kwdict = dict(keywords)
        except LookupError:  # a key whose equality raises met an equal hash
            assume(False)

        def call():
            if route == "python":
                return func(*positional, **kwdict)
            return type(func).__call__(func, *positional, **kwdict)

        def collect():
            if not all(isinstance(key, str) for key in kwdict):
                raise Refused(TypeError, "keywords must be strings", in_intake=False)
            return collect_from_names(function, param, positional, list(kwdict.items()))

    expected = predict(collect, body, warnings_are_errors, [entry_of(function)])
    with references_kept(*passed_objects(positional, keywords), collect=False):
        assert run(call, warnings_are_errors) == expected


@fuzz(3000)
@given(function=st.sampled_from(sorted(FUNCTIONS)), argument=arguments,
       by_keyword=st.booleans(), warnings_are_errors=st.booleans())
def test_conversion_agrees_with_the_model(functions, function, argument, by_keyword,
                                          warnings_are_errors):
    func = functions[function]
    param, _, body = FUNCTIONS[function]
    expected = predict(lambda: argument, body, warnings_are_errors, [entry_of(function)])
    call = (lambda: func(**{param: argument})) if by_keyword else (lambda: func(argument))
    with references_kept(argument, collect=False):
        assert run(call, warnings_are_errors) == expected


@fuzz(3000)
@given(positional=positionals, keywords=keyword_items("loop", "n"),
       warnings_are_errors=st.booleans())
def test_dictionary_path_agrees_with_the_model(probe, positional, keywords, warnings_are_errors):
    try:
        kwdict = dict(keywords)
    except LookupError:
        assume(False)
    # The probe's traceback entries name its own file, not the module's.
    expected = predict(lambda: collect_from_dict("probe_intake", "loop", positional, kwdict),
                       lambda value: value, warnings_are_errors, [])
    with references_kept(*passed_objects(positional, keywords), collect=False):
        assert run(lambda: probe.intake(tuple(positional), kwdict=kwdict),
                   warnings_are_errors) == expected
