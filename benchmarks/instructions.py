"""Instructions per fib body entry, counted by callgrind.

    .venv/bin/python benchmarks/instructions.py

callgrind counts executed instructions, not time: the same build, input and
environment give the same count however busy the machine is. Each fib runs
fib(20) and fib(25), each in a fresh interpreter under callgrind; the
difference of the two totals divided by the difference in body entries
(2·fib(n) − 1: 150049 − 13529) leaves start-up and import out.
"""

import re
import shutil
import subprocess
import sys
import tempfile

import mypyc_peer

SMALL, LARGE = 20, 25
FIBS = {  # name: (sys.path entry or None, import statement)
    "morvex": (None, "from morvex.morvex_cy import fib"),
    "pure Python": (str(mypyc_peer.HERE), "from baselines import fib"),
    "mypyc": (str(mypyc_peer.BUILD), f"from {mypyc_peer.MODULE} import fib"),
}


def entries(n):
    a, b = 1, 1
    for _ in range(n - 2):
        a, b = b, a + b
    return 2 * b - 1


def instructions(path, statement, n):
    code = f"import sys; sys.path[:0] = {[path] if path else []!r}; {statement}; fib({n})"
    with tempfile.TemporaryDirectory() as out:
        proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/cg",
                               sys.executable, "-c", code], capture_output=True, text=True)
    found = re.search(r"Collected : ([\d,]+)", proc.stderr)
    if proc.returncode != 0 or not found:
        raise RuntimeError(proc.stderr.strip().splitlines()[-1] if proc.stderr else "no count")
    return int(found.group(1).replace(",", ""))


def main():
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed")
    if mypyc_peer.load() is None and mypyc_peer.build():
        del FIBS["mypyc"]
    for name, (path, statement) in FIBS.items():
        count = instructions(path, statement, LARGE) - instructions(path, statement, SMALL)
        print(f"{name:12} {count / (entries(LARGE) - entries(SMALL)):7.1f} instructions per body entry")


if __name__ == "__main__":
    main()
