"""morvex: typed, compiled Python.

The compiled module ``morvex.morvex_cy`` provides ``run_loop(loop)``, a
32-bit counting loop that returns at once, and ``fib(n)``, naive double
recursion through the module's global ``fib``. ``python -m morvex`` runs the
timing demonstration.
"""
