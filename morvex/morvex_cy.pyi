"""Typed, compiled Python: a 32-bit counting loop and fib by global recursion."""

__test__: dict[str, object]  # doctest's table of extra tests: empty

def run_loop(loop: int) -> int:
    """The step count of a loop over range(loop): loop when positive, else 0.

    loop is converted to a 32-bit signed integer; values outside
    -2147483648..2147483647 raise OverflowError.
    """

def fib(n: int) -> int:
    """The n-th Fibonacci number (fib(1) == fib(2) == 1) by naive double
    recursion through the module's global name fib."""
