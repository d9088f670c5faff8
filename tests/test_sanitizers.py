"""The suite again under AddressSanitizer and UndefinedBehaviorSanitizer
(tools/sanitize.sh), and a smoke subset of it under valgrind memcheck
(tools/valgrind-smoke.sh): neither may report anything. Each tool is first
shown planted faults, so that a run that checks nothing, or whose reports
go where nobody counts them, cannot pass."""

import ctypes
import pathlib
import re
import shutil
import subprocess

import pytest

import support
from support import ROOT, mapped_file, tool_output


def _has_sanitizer_runtimes():
    if shutil.which("gcc") is None:
        return False
    for name in ("libasan.so", "libubsan.so"):
        path = subprocess.run(["gcc", f"-print-file-name={name}"], capture_output=True,
                              text=True).stdout.strip()
        if not path.startswith("/"):  # gcc echoes the bare name when it has none
            return False
    return True


pytestmark = [pytest.mark.slow,
              pytest.mark.skipif(not (ROOT / ".venv" / "bin" / "python").exists(),
                                 reason="the tools build for and run the interpreter in .venv")]
needs_asan = pytest.mark.skipif(not _has_sanitizer_runtimes(),
                                reason="gcc has no ASan or UBSan runtime (Debian: libasan8, libubsan1)")
needs_valgrind = pytest.mark.skipif(shutil.which("valgrind") is None,
                                    reason="valgrind is not installed")


@pytest.fixture
def interpreter_named_in_stacks():
    """Skips where LeakSanitizer could not name the interpreter's own
    functions in its stacks: tools/lsan.supp tells CPython's own leaks by
    those names, static and inlined ones among them, which takes the
    debugging information of the file that holds the interpreter (in it, or
    apart from it by its build ID). A stripped standalone build has none, so
    the leaks it makes itself would be reported as the run's."""
    holder = mapped_file(ctypes.pythonapi.Py_Initialize)
    if "debug_info" in tool_output("readelf", "-S", "-W", holder):  # .zdebug_info too
        return
    build_id = re.search(r"Build ID: (\w\w)(\w+)", tool_output("readelf", "-n", holder))
    if build_id and pathlib.Path("/usr/lib/debug/.build-id", build_id[1],
                                 f"{build_id[2]}.debug").exists():
        return
    pytest.skip(f"{holder} carries no debugging information: LeakSanitizer could not tell "
                "the interpreter's own leaks (tools/lsan.supp) from the module's")


FREED_ARGUMENT = """
import ctypes, morvex.morvex_cy as m
x = int("1000001")
ctypes.pythonapi.Py_DecRef(ctypes.py_object(x))  # one release too many: x is freed
m.run_loop(x)
"""

LEAKED_OBJECT = """
import ctypes
x = int("1000001")
ctypes.pythonapi.Py_IncRef(ctypes.py_object(x))  # one reference too many
del x  # the last name goes; the object stays, unreachable
"""


def run_tool(script, *args, timeout):
    """Runs tools/<script>; returns its exit status, the last line of its
    stdout (the count it closes with) and all it wrote."""
    # In a process group of its own, all of which is killed on a timeout:
    # the tool's pytest and that one's children too.
    proc = support.run(["bash", str(ROOT / "tools" / script), *args], timeout=timeout)
    last = proc.stdout.splitlines()[-1] if proc.stdout else ""
    return proc.returncode, last, proc.stdout + proc.stderr


@needs_asan
@pytest.mark.parametrize("code, report", [
    # Read by the module itself: only a checked module sees it.
    (FREED_ARGUMENT, "AddressSanitizer: heap-use-after-free"),
    (LEAKED_OBJECT, "LeakSanitizer: detected memory leaks"),
], ids=["use-after-free", "leak"])
def test_sanitized_run_reports_a_planted_fault(code, report):
    status, last, output = run_tool("sanitize.sh", "--python", "-c", code, timeout=600)
    assert (status, last, report in output) == (1, "sanitizer reports: 1", True), output[-3000:]


@needs_asan
def test_sanitized_run_reports_planted_undefined_behaviour(tmp_path):
    source = tmp_path / "overflow.c"
    source.write_text("int add(int a, int b) { return a + b; }\n")
    library = tmp_path / "liboverflow.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-O1", "-fsanitize=address,undefined",
                    "-fno-sanitize-recover=undefined", "-o", str(library), str(source)],
                   check=True)
    code = f"import ctypes; ctypes.CDLL({str(library)!r}).add(2**31 - 1, 1)"
    status, last, output = run_tool("sanitize.sh", "--python", "-c", code, timeout=600)
    assert (status, last, "runtime error: signed integer overflow" in output) == (
        1, "sanitizer reports: 1", True), output[-3000:]


# What this libasan writes when LeakSanitizer's tracer thread crashes.
TRACER_CRASH = """\
Tracer caught signal 11: addr=0x28a8 pc=0x7f0000000000 sp=0x7f0000000000
==1==LeakSanitizer has encountered a fatal error.
"""

PLANT_TRACER_CRASH = """
import os, pathlib, sys
marks = pathlib.Path(sys.argv[1])
attempt = len(list(marks.iterdir())) + 1
(marks / str(attempt)).touch()
if attempt <= int(sys.argv[2]):
    reports = pathlib.Path(os.environ["MORVEX_SANITIZER_REPORTS"])
    (reports / f"asan.planted{attempt}").write_text(sys.argv[3])
"""


@needs_asan
@pytest.mark.parametrize("crashes, extra, expected", [
    (1, "", (0, "sanitizer reports: 0", 2)),  # one tool failure: run again, clean
    (2, "", (1, "sanitizer reports: 1", 2)),  # it happens again: that counts
    (1, "==1==ERROR: LeakSanitizer: detected memory leaks\n", (1, "sanitizer reports: 1", 1)),
], ids=["once", "twice", "with-a-finding"])
def test_tracer_crash_alone_makes_the_run_repeat_once(tmp_path, crashes, extra, expected):
    marks = tmp_path / "attempts"
    marks.mkdir()
    status, last, output = run_tool("sanitize.sh", "--python", "-c", PLANT_TRACER_CRASH,
                                    str(marks), str(crashes), TRACER_CRASH + extra, timeout=600)
    assert (status, last, len(list(marks.iterdir()))) == expected, output[-3000:]


@needs_valgrind
def test_memcheck_reports_a_planted_invalid_read():
    status, last, output = run_tool("valgrind-smoke.sh", "--python", "-c", FREED_ARGUMENT,
                                    timeout=600)
    assert (status, last != "memcheck errors: 0", "Invalid read" in output) == (1, True, True), \
        output[-3000:]


@pytest.fixture(scope="module")
def memcheck_smoke(tmp_path_factory):
    """The smoke subset under memcheck, started the first time a test asks
    for it and waited for by its own test: asked for by the sanitized suite's
    test too, the two runs, the longest of the suite, share the machine's
    cores instead of taking turns. Both write memcheck's log where the
    planted fault's run does, which therefore comes first. (None where
    valgrind is not installed.)"""
    if shutil.which("valgrind") is None:
        yield None
        return
    logs = tmp_path_factory.mktemp("memcheck")
    with open(logs / "stdout", "w") as stdout, open(logs / "stderr", "w") as stderr, \
            support.started(["bash", str(ROOT / "tools" / "valgrind-smoke.sh"), "-q"],
                            own_group=True, stdout=stdout, stderr=stderr) as proc:
        yield proc, logs


@needs_asan
def test_suite_under_sanitizers_reports_nothing(interpreter_named_in_stacks, memcheck_smoke):
    status, last, output = run_tool("sanitize.sh", "-q", timeout=1800)
    assert (status, last) == (0, "sanitizer reports: 0"), output[-6000:]
    for module in ("build/asan/morvex/morvex_cy", "build/asan/probe/_morvex_probe"):
        binary = next(ROOT.glob(f"{module}.*.so"))
        symbols = subprocess.run(["nm", "-D", "--undefined-only", str(binary)],
                                 capture_output=True, text=True, check=True).stdout
        assert "__asan_report_" in symbols and "__ubsan_handle_" in symbols, binary


@needs_valgrind
def test_smoke_subset_under_memcheck_reports_nothing(memcheck_smoke):
    proc, logs = memcheck_smoke
    status = proc.wait(timeout=1800)
    stdout = (logs / "stdout").read_text()
    last = stdout.splitlines()[-1] if stdout else ""
    assert (status, last) == (0, "memcheck errors: 0"), (stdout + (logs / "stderr").read_text())[-6000:]
