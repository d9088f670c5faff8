"""morvex: typed, compiled Python.

The compiled module ``morvex.morvex_cy`` provides ``run_loop(loop)``, a
32-bit counting loop that returns at once, and ``fib(n)``, naive double
recursion through the module's global ``fib``. ``python -m morvex`` runs the
timing demonstration. ``morvex.__version__`` is the installed version.
"""


def __getattr__(name):
    # Read from the installed metadata, whose only source is pyproject.toml,
    # and only when asked: importlib.metadata takes longer to import than the
    # main job's whole start-up may.
    if name == "__version__":
        from importlib.metadata import version

        globals()["__version__"] = value = version(__name__)
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
