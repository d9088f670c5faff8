"""The plain C recursion of ``fib_plain.c``: how far the machine's limit is.

The parent process of ``run.py`` compiles it with the host compiler (``$CC``,
else ``cc``) at -O2 into a shared library under ``build/``; every process
loads that library with ctypes. A call through ctypes costs a fraction of a
microsecond, against some 50 us of recursion in fib(25), so the time per call
is the recursion's.
"""

import ctypes
import os

import mypyc_peer

SOURCE = mypyc_peer.HERE / "fib_plain.c"
LIBRARY = mypyc_peer.HERE.parent / "build" / "c-fib" / "libfib_plain.so"


def build():
    """Compiles the recursion; returns None, or why it could not be built."""
    LIBRARY.parent.mkdir(parents=True, exist_ok=True)
    command = [os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-o", LIBRARY.name, str(SOURCE)]
    return mypyc_peer.run_build(command, LIBRARY.parent)


def load():
    """The compiled fib as a ctypes function, or None when none was built."""
    try:
        library = ctypes.CDLL(str(LIBRARY))
    except OSError:
        return None
    fib = library.fib
    fib.argtypes = (ctypes.c_int,)
    fib.restype = ctypes.c_long
    return fib
