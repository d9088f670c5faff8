"""python -m morvex: the timing demonstration and its error handling."""

import importlib.metadata
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time
import tomllib

import pytest

import morvex
from support import ROOT, started

# The installed version, which the source tree's pyproject.toml writes,
# where the tests run beside it.
VERSION = importlib.metadata.version("morvex")
PYPROJECT = ROOT / "pyproject.toml"


def run(*args):
    return subprocess.run([sys.executable, "-m", "morvex", *args], capture_output=True, text=True,
                          timeout=60)


@pytest.mark.parametrize(
    "args, stdout",
    [
        ((), "sum: 500000000\n"),
        (("500000000",), "sum: 500000000\n"),
        (("2147483647",), "sum: 2147483647\n"),
        (("-5",), "sum: 0\n"),
        (("--fib", "20"), "6765\n"),
        (("--version",), f"morvex {VERSION}\n"),
    ],
)
def test_main_job(args, stdout):
    proc = run(*args)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, stdout, "")


@pytest.mark.parametrize("flag", ["-h", "--help"])
def test_help_lists_every_option(flag):
    proc = run(flag)
    assert (proc.returncode, proc.stderr) == (0, "")
    usage, _, *described = proc.stdout.splitlines()
    assert usage == "usage: python -m morvex [LOOP] | --fib N | --version | -h | --help"
    for option in ("LOOP ", "--fib N ", "--version ", "-h, --help "):
        assert any(line.startswith("  " + option) for line in described), option


@pytest.mark.parametrize(
    "args, message",
    [
        (("abc",), "morvex: LOOP must be an integer, not 'abc'"),
        (("2147483648",), "morvex: LOOP must lie in -2147483648..2147483647, not 2147483648"),
        (("-2147483649",), "morvex: LOOP must lie in -2147483648..2147483647, not -2147483649"),
        (("1", "2"), "morvex: expected at most one argument, LOOP; got 2"),
        (("--fib",), "morvex: --fib takes one argument, N"),
        (("--fib", "x"), "morvex: N must be an integer, not 'x'"),
        (("--fib", "0"), "morvex: N must be at least 1, not 0"),
        (("--version", "1"), "morvex: --version takes no argument"),
        (("--help", "1"), "morvex: --help takes no argument"),
    ],
)
def test_bad_input(args, message):
    proc = run(*args)
    assert (proc.returncode, proc.stdout, proc.stderr) == (2, "", message + "\n")


def test_version_is_the_written_one_and_read_only_when_asked():
    if PYPROJECT.exists():
        assert VERSION == tomllib.loads(PYPROJECT.read_text())["project"]["version"]
    code = ("import sys, morvex, morvex.__main__ as cli; cli.main(['5']);"
            "print({'importlib.metadata', 'tomllib'} & sys.modules.keys(), morvex.__version__)")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (proc.stdout, proc.stderr) == (f"sum: 5\nset() {VERSION}\n", "")


@pytest.mark.parametrize("pyproject, version", [
    ('[project]\nname = "morvex"\nversion = "2.5.0rc1"\n', "2.5.0rc1"),
    ('[project]\nname = "other"\nversion = "2.5.0"\n', "unknown (not installed)"),
    ("[project\n", "unknown (not installed)"),
    (None, "unknown (not installed)"),
], ids=["pyproject.toml", "another project's", "not TOML", "none"])
def test_version_of_a_tree_never_installed(tmp_path, pyproject, version):
    # The package's Python files and maybe a pyproject.toml, where nothing
    # installed is seen: no site-packages (-S), and not the tests' directory.
    shutil.copytree(pathlib.Path(morvex.__file__).parent, tmp_path / "morvex",
                    ignore=lambda _, names: [n for n in names if not n.endswith(".py")])
    if pyproject is not None:
        (tmp_path / "pyproject.toml").write_text(pyproject)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    proc = subprocess.run([sys.executable, "-S", "-m", "morvex", "--version"], capture_output=True,
                          text=True, timeout=60, cwd=tmp_path, env=env | {"PYTHONPATH": str(tmp_path)})
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, f"morvex {version}\n", "")


def test_ctrl_c_ends_a_long_fib_at_once():
    # `python -m morvex --fib 60`, which runs for hours, gets SIGINT as a
    # terminal's foreground job has it (a background suite's children start
    # with it ignored), once it says it has imported the module: on a slow
    # machine, or under an emulator, a signal at a fixed time may come first.
    child = ("import runpy, sys, morvex.morvex_cy; print('imported', flush=True);"
             "sys.argv[1:] = ['--fib', '60']; runpy.run_module('morvex', run_name='__main__')")
    with started([sys.executable, "-c", child], default_signals=[signal.SIGINT],
                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        assert proc.stdout.readline() == "imported\n"
        time.sleep(0.1)  # deep in fib(60) by now, as a rule; before it ends all the same
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=10)
    assert (proc.returncode, stdout, stderr) == (130, "", "morvex: interrupted\n")
