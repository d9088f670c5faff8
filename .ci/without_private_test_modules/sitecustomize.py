"""Start-up hook of CI's run of the suite (.ci/run puts this directory on
PYTHONPATH): the interpreter's private test modules cannot be imported, as
in the distribution and standalone builds that leave them out. The suite
must pass without them, and CI proves it on an interpreter that has them."""

import sys

PRIVATE_TEST_MODULES = frozenset({
    "_testcapi", "_testinternalcapi", "_testbuffer", "_testclinic", "_testimportmultiple",
    "_testmultiphase", "_testsinglephase", "_ctypes_test", "_xxtestfuzz",
})


class _LeftOut:
    """A finder ahead of every other: the modules above are not there."""

    @staticmethod
    def find_spec(name, path=None, target=None):
        if name in PRIVATE_TEST_MODULES:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None


sys.meta_path.insert(0, _LeftOut())
