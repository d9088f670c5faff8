"""The timing demonstration: ``python -m morvex [LOOP]`` prints ``sum: LOOP``.

    python -m morvex             # run_loop(500000000)
    python -m morvex 1000        # run_loop(1000)
    python -m morvex --fib 30    # fib(30)
    python -m morvex --version   # morvex and its version

Bad input gives one line on stderr and exit status 2; Ctrl-C gives one line
and exit status 130, the shell's convention for SIGINT. Only ``sys`` is
imported besides the module itself (and, for --version alone, what reads the
version): start-up is part of what is timed.
"""

import sys

HELP = """\
usage: python -m morvex [LOOP] | --fib N | --version | -h | --help

  LOOP        print "sum: " and run_loop(LOOP), the step count of a loop
              over a 32-bit signed range (default 500000000)
  --fib N     print fib(N), for N from 1
  --version   print "morvex" and its version
  -h, --help  print this help"""
NO_ARGUMENT = ("--version", "-h", "--help")
EXIT_USAGE, EXIT_INTERRUPTED = 2, 130
DEFAULT_LOOP = 500000000
INT32_MIN, INT32_MAX = -2**31, 2**31 - 1


class UsageError(Exception):
    pass


def parse_int32(text, what):
    try:
        value = int(text)
    except ValueError:
        raise UsageError(f"{what} must be an integer, not {text!r}") from None
    if not INT32_MIN <= value <= INT32_MAX:
        raise UsageError(f"{what} must lie in {INT32_MIN}..{INT32_MAX}, not {value}")
    return value


def run(argv):
    if argv[:1] and argv[0] in NO_ARGUMENT:
        if len(argv) > 1:
            raise UsageError(f"{argv[0]} takes no argument")
        if argv[0] == "--version":
            import morvex

            print(f"morvex {morvex.__version__}")
        else:
            print(HELP)
        return
    from morvex import morvex_cy

    if argv[:1] == ["--fib"]:
        if len(argv) != 2:
            raise UsageError("--fib takes one argument, N")
        n = parse_int32(argv[1], "N")
        if n < 1:
            raise UsageError(f"N must be at least 1, not {n}")
        print(morvex_cy.fib(n))
        return
    if len(argv) > 1:
        raise UsageError(f"expected at most one argument, LOOP; got {len(argv)}")
    loop = parse_int32(argv[0], "LOOP") if argv else DEFAULT_LOOP
    print(f"sum: {morvex_cy.run_loop(loop)}")


def main(argv=None):
    try:
        run(sys.argv[1:] if argv is None else argv)
    except UsageError as error:
        print(f"morvex: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("morvex: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return 0


if __name__ == "__main__":
    sys.exit(main())
