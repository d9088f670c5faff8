"""morvex: typed, compiled Python.

The compiled module ``morvex.morvex_cy`` provides ``run_loop(loop)``, a
32-bit counting loop that returns at once, and ``fib(n)``, naive double
recursion through the module's global ``fib``. ``python -m morvex`` runs the
timing demonstration. ``morvex.__version__`` is the version.
"""

def _version():
    # The version is written in pyproject.toml alone. In a source tree, which
    # may never have been installed, or not at its present version, or beside
    # another installed morvex, that file stands beside the package and is
    # read. An installed package has instead the metadata written from it.
    import os
    import tomllib

    pyproject = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "pyproject.toml")
    try:
        with open(pyproject, "rb") as f:
            project = tomllib.load(f).get("project")
    except (OSError, ValueError):  # absent, unreadable, not TOML
        project = None
    if (isinstance(project, dict) and project.get("name") == __name__
            and isinstance(project.get("version"), str)):
        return project["version"]

    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(__name__)
    except PackageNotFoundError:
        return "unknown (not installed)"


def __getattr__(name):
    # Only when asked: importlib.metadata takes longer to import than the
    # main job's whole start-up may.
    if name == "__version__":
        globals()["__version__"] = value = _version()
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
