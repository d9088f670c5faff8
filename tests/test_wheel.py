"""Release artefacts as users get them: tools/build-wheels.sh makes the
sdist and, from that sdist alone, a wheel for every target of
cmake/targets.json, each tagged for its policy and installed by pip for its
platform. The wheel for this machine, installed into a fresh environment
outside the source tree, runs the main job and the test command
cibuildwheel runs on every release wheel. And a wheel builds for an
interpreter whose build configuration names compilers that are not
installed."""

import importlib
import importlib.metadata
import importlib.util
import os
import re
import shutil
import sys
import sysconfig
import tarfile
import tomllib
import venv
import zipfile

import pytest

import support
from support import ROOT

pytestmark = pytest.mark.slow

PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
CIBUILDWHEEL = PYPROJECT["tool"]["cibuildwheel"]

NAME = f"morvex-{PYPROJECT['project']['version']}"
SDIST = f"{NAME}.tar.gz"
PYTHON_SIDE = ["morvex/__init__.py", "morvex/__main__.py", "morvex/morvex_cy.pyi",
               "morvex/py.typed"]
TARGETS = support.targets()["targets"]


def run(command, *, timeout=300, **kwargs):
    # Builds and installers start processes of their own: all of them end
    # with a test that fails or times out.
    return support.run(command, timeout=timeout, check=True, **kwargs)


def user_env(python):
    """The environment of a user whose PATH starts with the venv: nothing
    of this run (PYTHONPATH, PYTHONHOME, ...) may bring in another morvex."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PATH"] = f"{os.path.dirname(python)}{os.pathsep}{env['PATH']}"
    return env


def module_of(target):
    """The module's file name in a target's wheel: the extension-module name
    of CPython on that platform."""
    return f"morvex/morvex_cy.cpython-312-{TARGETS[target]['triplet']}.so"


@pytest.fixture(params=TARGETS)
def target(request):
    return request.param


@pytest.fixture(scope="module")
def installed(dist, tmp_path_factory):
    """(python of a fresh environment holding the wheel for this machine, a
    directory outside the source tree holding a copy of the tests, as
    cibuildwheel's test-sources gives its test command)."""
    place = tmp_path_factory.mktemp("user")
    # Linked, as `python -m venv` makes it: a copied executable of an
    # interpreter that finds its libpython relative to itself (standalone
    # builds: $ORIGIN/../lib) would not start.
    venv.create(place / "venv", with_pip=True, symlinks=True)
    python = str(place / "venv" / "bin" / "python")
    wheel = support.native_wheel(dist)
    # What the release test command needs, at the versions this run uses.
    pinned = tuple(f"{name}=={importlib.metadata.version(name)}"
                   for name in CIBUILDWHEEL["test-requires"])
    for requirement in ("--no-deps", str(wheel)), pinned:
        run([python, "-m", "pip", "install", "-q", *requirement], env=user_env(python),
            timeout=300)
    for source in CIBUILDWHEEL["test-sources"]:
        shutil.copytree(ROOT / source, place / source,
                        ignore=shutil.ignore_patterns("__pycache__"))
    return python, place


def test_sdist_and_a_wheel_for_every_target_tagged_for_its_policy(dist):
    from packaging.utils import parse_wheel_filename

    wheels = {name: support.target_wheel(dist, name) for name in TARGETS}
    assert sorted(p.name for p in dist.iterdir()) == sorted([SDIST, *(w.name for w in wheels.values())])
    assert support.native_wheel(dist) in wheels.values()
    for name, wheel in wheels.items():
        platform = TARGETS[name]["platform"]
        # auditwheel's verdict on a manylinux one: glibc 2.17 suffices.
        also = {platform.replace("manylinux2014", "manylinux_2_17")}
        assert {tag.platform for tag in parse_wheel_filename(wheel.name)[3]} == {platform} | also


def test_cibuildwheel_builds_every_target():
    family = {name: re.match(r"(many|musl)linux", row["platform"])[0] for name, row in TARGETS.items()}
    assert sorted(CIBUILDWHEEL["build"].split()) == sorted(
        f"cp312-{family[name]}_{row['arch']}" for name, row in TARGETS.items())
    assert sorted(PYPROJECT["tool"]["cibuildwheel"]["linux"]["archs"]) == sorted(
        {row["arch"] for row in TARGETS.values()})


def test_wheel_holds_only_the_package_as_the_sdist_has_it(dist, target):
    path = support.target_wheel(dist, target)
    with zipfile.ZipFile(path) as whl, tarfile.open(dist / SDIST) as sdist:
        package = sorted(n for n in whl.namelist()
                         if not n.endswith("/") and not n.startswith(f"{NAME}.dist-info/"))
        # No grafted libraries: the module needs nothing but the C library.
        assert package == sorted(PYTHON_SIDE + [module_of(target)])
        for name in PYTHON_SIDE:
            assert whl.read(name) == sdist.extractfile(f"{NAME}/{name}").read(), name
        metadata = whl.read(f"{NAME}.dist-info/WHEEL").decode()
    from packaging.utils import parse_wheel_filename

    tags = parse_wheel_filename(path.name)[3]
    assert sorted(re.findall(r"^Tag: (.*)$", metadata, re.M)) == sorted(map(str, tags))
    assert "Root-Is-Purelib: false\n" in metadata


def test_pip_installs_each_wheel_for_its_platform(dist, target, tmp_path):
    # What the module in it must be for that platform's policy (its class,
    # machine, NEEDED, symbols and symbol versions), tests/test_shared_object.py
    # checks; here pip must take the wheel for its platform and install it.
    wheel = support.target_wheel(dist, target)
    run([sys.executable, "-m", "pip", "install", "-q", "--no-index", "--no-deps",
         "--target", str(tmp_path), "--platform", TARGETS[target]["platform"],
         "--only-binary=:all:", "--python-version", "3.12", str(wheel)])
    assert (tmp_path / module_of(target)).read_bytes() == zipfile.ZipFile(wheel).read(
        module_of(target))


def test_installed_wheel_runs_the_main_job(installed):
    python, place = installed
    env = user_env(python)
    proc = run([python, "-c", "import morvex.morvex_cy as m; print(m.__file__)"], cwd=place,
               env=env)
    assert proc.stdout.startswith(str(place / "venv"))
    proc = run([python, "-m", "morvex", "500000000"], cwd=place, env=env)
    assert proc.stdout == "sum: 500000000\n"


def test_installed_wheel_passes_the_release_test_command(installed):
    python, place = installed
    proc = run(["bash", "-c", CIBUILDWHEEL["test-command"]], cwd=place, env=user_env(python),
               timeout=300)
    # Tests of the probe, which is built from the source tree, skip there.
    assert re.fullmatch(r"\d+ passed(, \d+ skipped)? in [\d.]+s", proc.stdout.splitlines()[-1])


# The plumbing of tools/test-on-target.sh, with this interpreter standing for
# its platform's: through QEMU's user mode where it is installed for this
# machine's architecture (Debian: qemu-user-static), else natively. Two
# tests stand for the suite: one of the probe's, and one that starts
# sys.executable, which under the emulator must run there too.
def test_the_suite_runs_on_a_targets_interpreter(dist, tmp_path):
    emulator = f"qemu-{os.uname().machine}-static"
    emulator = emulator if shutil.which(emulator) else ""
    (target,) = [name for name in TARGETS if support.target_wheel(dist, name) ==
                 support.native_wheel(dist)]
    env = {**os.environ, "MORVEX_DIST": str(dist), "MORVEX_WORK": str(tmp_path / "work"),
           "MORVEX_EMULATOR": emulator, "HOST_PYTHON": sys.executable}
    proc = run(["bash", str(ROOT / "tools" / "test-on-target.sh"), target, sys.executable, "-q",
                "tests/test_reentrancy.py", "tests/test_cli.py", "-k", "marker or ctrl_c"],
               env=env, timeout=600)
    lines = proc.stdout.splitlines()
    assert "sum: 500000000" in lines
    assert re.fullmatch(r"2 passed, \d+ deselected in [\d.]+s", lines[-1]), proc.stdout[-2000:]
    python = tmp_path / "work" / "venv" / "bin" / "python"
    if emulator:
        assert python.read_text().startswith(f'#!/bin/sh\nexec {emulator} -0 "$0" ')
    else:
        assert python.is_symlink()


@pytest.mark.skipif(importlib.util.find_spec("scikit_build_core") is None,
                    reason="needs scikit-build-core beside the suite (the test extra has it)")
def test_builds_where_the_interpreter_names_a_compiler_that_is_not_installed(tmp_path):
    # A standalone CPython built with clang names clang in its build
    # configuration, on machines that may have only gcc. The interpreter
    # loads the configuration module _PYTHON_SYSCONFIGDATA_NAME names: here a
    # copy of this one's whose compilers do not exist. The module must build
    # all the same, with the compilers CMake finds on PATH.
    name = "_sysconfigdata_morvex_no_compiler"
    config = dict(importlib.import_module(sysconfig._get_sysconfigdata_name()).build_time_vars)
    for key, missing in ("CC", "cc"), ("CXX", "c++"), ("LDSHARED", "cc"), ("LDCXXSHARED", "c++"):
        config[key] = " ".join([f"/nonexistent/{missing}", *config[key].split()[1:]])
    (tmp_path / f"{name}.py").write_text(f"build_time_vars = {config!r}\n")
    env = {k: v for k, v in os.environ.items() if k not in ("CC", "CXX")}
    env.update(_PYTHON_SYSCONFIGDATA_NAME=name, PYTHONPATH=str(tmp_path))
    seen = run([sys.executable, "-c", "import sysconfig; print(sysconfig.get_config_var('CC'))"],
               env=env).stdout
    assert seen.startswith("/nonexistent/cc"), seen  # what the build below sees
    # Without isolation, which would run the backend with a PYTHONPATH of its
    # own, hiding the copy.
    run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
         "-w", str(tmp_path / "out"), str(ROOT)], env=env, timeout=600)
    (wheel,) = (tmp_path / "out").glob("*.whl")
    zipfile.ZipFile(wheel).extractall(tmp_path / "wheel")
    # -S: site-packages holds the editable install, which would send
    # `import morvex` to the source tree.
    proc = run([sys.executable, "-S", "-c", "import morvex.morvex_cy as m; print(m.__file__, m.run_loop(5))"],
               cwd=tmp_path / "wheel", env=user_env(sys.executable))
    module = f"morvex/morvex_cy{sysconfig.get_config_var('EXT_SUFFIX')}"
    assert proc.stdout == f"{tmp_path / 'wheel' / module} 5\n"
