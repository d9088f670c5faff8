"""The type stubs describe the built module."""

import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def test_stubtest_agrees_with_the_module():
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "morvex.morvex_cy"],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_type_checkers_see_the_signatures(tmp_path):
    user = tmp_path / "user.py"
    user.write_text(
        "from morvex.morvex_cy import fib, run_loop\n"
        "total: int = run_loop(5) + fib(n=3)\n"
        "run_loop('5')\n"
        "fib()\n"
    )
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", str(user)],
                          capture_output=True, text=True)
    errors = [line.split(": error: ")[1] for line in proc.stdout.splitlines() if ": error: " in line]
    assert errors == [
        'Argument 1 to "run_loop" has incompatible type "str"; expected "int"  [arg-type]',
        'Missing positional argument "n" in call to "fib"  [call-arg]',
    ]
