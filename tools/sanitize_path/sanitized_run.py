"""pytest plugin of tools/sanitize.sh (-p sanitized_run).

The test probe: the suite builds it into build/probe-<tag>/ with the normal
flags. A checked run needs it built with the same sanitizers as the module,
in a directory of its own so that the normal build is left alone: the
suite's probe build is pointed at MORVEX_PROBE_BUILD, which the script has
configured with MORVEX_SANITIZE. The suite then builds it there as it always
does, and the fresh interpreters it starts find it the usual way.

Reports: while a test runs, the sanitizers of every process it starts write
to files named after the test, so that a report says where it came from.
"""

import os
import pathlib
import re

import pytest

_LOGGED = ("ASAN_OPTIONS", "UBSAN_OPTIONS")


def pytest_configure(config):
    import support  # the suite's conftest has put tests/ on sys.path by now

    support.PROBE_BUILD = pathlib.Path(os.environ["MORVEX_PROBE_BUILD"])


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item, nextitem):
    reports = os.environ["MORVEX_SANITIZER_REPORTS"]
    # Parameter ids can make node ids long; a file name holds 255 bytes.
    name = re.sub(r"[^\w.-]+", "_", item.nodeid).strip("_")[:160]
    saved = {key: os.environ[key] for key in _LOGGED}
    for key in _LOGGED:
        # The runtimes read the options once, at start-up; a later key wins.
        tool = key.split("_")[0].lower()
        os.environ[key] = f"{saved[key]}:log_path={reports}/{tool}.{name}"
    try:
        return (yield)
    finally:
        os.environ.update(saved)
