"""run_loop(loop): the step count of a loop over range(loop), in 32 bits."""

import time

import pytest

from support import SOURCE_FILE, module_entries


@pytest.mark.parametrize(
    "loop, expected",
    [
        (2147483647, 2147483647), (500000000, 500000000), (1, 1), (10, 10), (0, 0), (-1, 0),
        (-2147483648, 0),
    ],
)
def test_count(mod, loop, expected):
    result = mod.run_loop(loop)
    assert result == expected
    assert type(result) is int


def test_keyword_and_truncation(mod):
    assert mod.run_loop(loop=10) == 10
    assert mod.run_loop(10.9) == 10


def test_out_of_range_fails_before_the_body(mod):
    with pytest.raises(OverflowError) as info:
        mod.run_loop(2147483647 + 1)
    assert module_entries(info.value) == [(SOURCE_FILE, 23, "morvex.morvex_cy.run_loop")]


def test_cost_does_not_depend_on_loop(mod):
    def best_of(loop, repeat=5, number=2000):
        timings = []
        for _ in range(repeat):
            start = time.perf_counter()
            for _ in range(number):
                mod.run_loop(loop)
            timings.append(time.perf_counter() - start)
        return min(timings)

    # A loop that ran would take a second or more per call at 2**31 - 1.
    assert best_of(2147483647) < 20 * best_of(1) + 0.05
