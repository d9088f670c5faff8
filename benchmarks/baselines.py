"""The pure-Python baselines, run by the same interpreter as the module.

Each one is written the way a Python programmer would write the same
algorithm, so the ratio shows what compiling it buys and nothing else.
"""


def fib(n):
    """Naive double recursion through this module's global name ``fib``.

    Like the compiled ``fib``, every step looks the global up again and adds
    the two results with Python-level addition.
    """
    if n == 1 or n == 2:
        return 1
    return fib(n - 1) + fib(n - 2)


def count_loop(loop):
    """The counting loop that ``run_loop`` computes, step by step in Python.

    ``s`` and ``i`` are fast locals, the quickest way the interpreter runs
    this loop, so the baseline is not handicapped by global lookups.
    """
    s = 0
    for i in range(loop):
        s += 1
    return s
