import os
import pathlib
import sys

import pytest

import support


def pytest_configure(config):
    # Registered here, not in pyproject.toml: the release wheels' test command
    # runs a copy of tests/ that has no pyproject.toml beside it.
    config.addinivalue_line(
        "markers", "slow: builds and long runs that a quick run leaves out (pytest -m \"not slow\"): "
        "the sanitized and memcheck runs, the wheel, backend and cross builds, the stack table "
        "and the soaks")


@pytest.fixture(scope="session")
def probe_dir():
    """Directory holding the built _morvex_probe module."""
    # Built already, for the platform of an interpreter that cannot build it
    # (tools/test-on-target.sh).
    if os.environ.get("MORVEX_PROBE_DIR"):
        return pathlib.Path(os.environ["MORVEX_PROBE_DIR"])
    # A copy of the tests beside an installed wheel, as a release build tests
    # it, has not the runtime sources the probe is built from.
    if not (support.ROOT / "runtime").is_dir():
        pytest.skip("the test probe is built from the source tree, which is not here")
    return support.build_probe()


@pytest.fixture(scope="session")
def probe(probe_dir):
    """The test-only module of the same runtime generation, imported after
    morvex_cy so that it adopts the type morvex_cy registered."""
    import morvex.morvex_cy  # noqa: F401  (registers the shared type first)

    sys.path.insert(0, str(probe_dir))
    try:
        import _morvex_probe
    finally:
        sys.path.remove(str(probe_dir))
    return _morvex_probe


@pytest.fixture(scope="session")
def mod():
    import morvex.morvex_cy

    return morvex.morvex_cy


@pytest.fixture(scope="session")
def dist(tmp_path_factory):
    """The release artefacts, built once: the sdist and a wheel per target."""
    return support.build_wheels(tmp_path_factory.mktemp("dist"))
