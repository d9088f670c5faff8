"""numba's ``@njit`` of the typed fib: a peer timed as a black box, like mypyc's.

numba compiles the function of ``fib_typed.py`` to machine code on int64:
results wrap past fib(92), the recursive call is bound once when it compiles
(a rebinding of ``fib`` is never seen), and there is no recursion guard
(``fib(0)`` overflows the native stack and kills the process). Only the
process that times it loads it, since importing numba takes about half a
second; the machine code is cached under ``build/numba-<cache tag>/``, so the
parent compiles it and every worker reads it back.
"""

import functools
import importlib.util
import os
import sys

import mypyc_peer

CACHE = mypyc_peer.HERE.parent / "build" / f"numba-{sys.implementation.cache_tag}"
MODULE = "fib_typed_numba"  # fib_typed is the mypyc build's name


@functools.cache
def load():
    """The jitted fib, or None without numba. Compiles on its first call."""
    # numba reads its cache location once, when it is imported.
    os.environ.setdefault("NUMBA_CACHE_DIR", str(CACHE))
    try:
        import numba
    except ImportError:
        return None
    spec = importlib.util.spec_from_file_location(MODULE, mypyc_peer.SOURCE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[MODULE] = module
    spec.loader.exec_module(module)
    # numba resolves the recursive call through the module's global when it
    # compiles, so the global must name the jitted function by then.
    module.fib = numba.njit(cache=True)(module.fib)
    return module.fib
