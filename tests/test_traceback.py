"""Traceback entries pointing into morvex/morvex_cy.py, and the cache of
placeholder code objects behind them."""

import pytest

from support import SOURCE_FILE, module_entries, run_python


def failure(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


def last_tb(exc):
    tb = exc.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb


@pytest.mark.parametrize(
    "call, line, name",
    [
        (lambda m: m.run_loop("x"), 23, "morvex.morvex_cy.run_loop"),
        (lambda m: m.run_loop(), 23, "morvex.morvex_cy.run_loop"),
        (lambda m: m.fib(2**40), 32, "morvex.morvex_cy.fib"),
        (lambda m: m.fib(n=None), 32, "morvex.morvex_cy.fib"),
    ],
)
def test_argument_errors_add_one_entry_at_the_def_line(mod, call, line, name):
    exc = failure(lambda: call(mod))
    assert module_entries(exc) == [(SOURCE_FILE, line, name)]
    tb = last_tb(exc)
    assert tb.tb_lineno == line
    assert tb.tb_frame.f_code.co_firstlineno == line
    assert tb.tb_frame.f_globals is vars(mod)


def test_entries_at_one_line_share_one_code_object(mod):
    first = last_tb(failure(lambda: mod.run_loop("x"))).tb_frame.f_code
    second = last_tb(failure(lambda: mod.run_loop(None))).tb_frame.f_code
    assert first is second
    assert first.co_filename == SOURCE_FILE
    assert first.co_name == "morvex.morvex_cy.run_loop"


def test_entry_joins_the_pending_exception(probe):
    error = ValueError("pending")
    with pytest.raises(ValueError) as info:
        probe.raise_with_entry(error, "probe.join", 11)
    assert info.value is error
    tb = last_tb(error)
    assert (tb.tb_frame.f_code.co_filename, tb.tb_lineno, tb.tb_frame.f_code.co_name) == (
        "probe/probe.py", 11, "probe.join")


def test_no_pending_exception_means_no_entry_and_no_crash(probe):
    assert probe.add_entry_without_exception("probe.none", 12) is None


def raise_at(probe, line, name="probe.line"):
    with pytest.raises(KeyError):
        probe.raise_with_entry(KeyError(line), name, line)


def test_cache_keeps_lines_sorted_and_one_code_object_per_line(probe):
    before = probe.code_cache()
    lines = [1035, 1023, 1029, 1001, 1032]
    for line in lines:
        raise_at(probe, line)
    count, capacity, cached, codes = probe.code_cache()
    assert count == before[0] + 5
    assert list(cached) == sorted(cached)
    mine = [code for line, code in zip(cached, codes) if line in lines]
    assert [code.co_firstlineno for code in mine] == sorted(lines)
    # A second error at a cached line reuses the code object, whatever name
    # it is given: the first name made for a line stays.
    raise_at(probe, 1023, "probe.other_name")
    assert all(a is b for a, b in zip(probe.code_cache()[3], codes))
    exc = None
    try:
        probe.raise_with_entry(KeyError(), "probe.other_name", 1023)
    except KeyError as e:
        exc = e
    assert last_tb(exc).tb_frame.f_code.co_name == "probe.line"


def test_cache_grows_by_64_entries(probe_dir):
    proc = run_python(
        """
        import _morvex_probe as probe

        def raise_at(line):
            try:
                probe.raise_with_entry(KeyError(line), "probe.grow", line)
            except KeyError:
                pass

        capacities = []
        for line in range(200, 0, -1):  # descending: every insertion moves entries
            raise_at(line)
            count, capacity, lines, _ = probe.code_cache()
            capacities.append((count, capacity))
        print(capacities[63], capacities[64], capacities[127], capacities[128])
        print(list(lines) == list(range(1, 201)))
        print(all(code.co_firstlineno == line for line, code in zip(*probe.code_cache()[2:])))
        """,
        pythonpath=[probe_dir],
    )
    assert proc.stdout.splitlines() == [
        "(64, 64) (65, 128) (128, 128) (129, 192)",
        "True",
        "True",
    ]


def test_entry_survives_a_namespace_without_builtins(probe_dir):
    # The frame constructor looks the builtins up in the globals; with an
    # exception pending that lookup fails, so it must run with it set aside.
    proc = run_python(
        """
        import morvex.morvex_cy as m
        del m.__builtins__
        try:
            m.run_loop("x")
        except TypeError as e:
            tb = e.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            print(tb.tb_frame.f_code.co_name, tb.tb_lineno)
        """
    )
    assert proc.stdout.split() == ["morvex.morvex_cy.run_loop", "23"]
