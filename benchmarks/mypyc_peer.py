"""The typed pure-Python fib compiled with mypyc: a peer timed as a black box.

The parent process of ``run.py`` compiles ``fib_typed.py`` into
``build/mypyc-<cache tag>/``; workers import what it built. Nothing of what
mypyc generates is read, only called. mypyc binds the recursive call once,
takes no recursion guard and adds no traceback entries, so this peer shows
what the module's promises cost, not only what compiling buys.
"""

import importlib
import importlib.machinery
import pathlib
import shutil
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE / "fib_typed.py"
BUILD = HERE.parent / "build" / f"mypyc-{sys.implementation.cache_tag}"
MODULE = "fib_typed"


def run_build(command, cwd):
    """Runs a build command; None, or the last line it said when it failed."""
    try:
        proc = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    except OSError as error:
        return str(error)
    if proc.returncode != 0:
        lines = (proc.stderr or proc.stdout).strip().splitlines()
        return lines[-1] if lines else f"{command[0]} exited with {proc.returncode}"
    return None


def build():
    """Compiles the peer; returns None, or why it could not be built."""
    BUILD.mkdir(parents=True, exist_ok=True)
    shutil.copy(SOURCE, BUILD / SOURCE.name)
    return run_build([sys.executable, "-m", "mypyc", SOURCE.name], BUILD)


def load():
    """The compiled fib, or None when there is none to import."""
    sys.path.insert(0, str(BUILD))
    try:
        module = importlib.import_module(MODULE)
    except ImportError:
        return None
    finally:
        sys.path.remove(str(BUILD))
    # The plain source would import too, from the copy in BUILD: only an
    # extension module is the peer.
    if not module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        return None
    return module.fib
