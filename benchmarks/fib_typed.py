"""The pure-Python ``fib`` of ``baselines.py`` with type annotations, the
source that mypyc compiles for the peer rows of the benchmarks."""


def fib(n: int) -> int:
    if n == 1 or n == 2:
        return 1
    return fib(n - 1) + fib(n - 2)
