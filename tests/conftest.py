import sys

import pytest

import support


@pytest.fixture(scope="session")
def probe_dir():
    """Directory holding the built _morvex_probe module."""
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
