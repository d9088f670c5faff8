"""Instructions per fib body entry, counted by callgrind.

    .venv/bin/python benchmarks/instructions.py

callgrind counts executed instructions, not time: the same build, input and
environment give the same count however busy the machine is, and a fixed
hash seed keeps the interpreter's start-up the same from one run to the
next. Each fib runs fib(20) and fib(25), each in a fresh interpreter under
callgrind; the difference of the two totals divided by the difference in
body entries (2·fib(n) − 1: 150049 − 13529) leaves start-up and import out.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import c_peer
import mypyc_peer
from report import body_entries

SMALL, LARGE = 20, 25
TARGET = 20  # instructions per body entry, morvex's at most
FIBS = {  # name: (sys.path entry or None, statement that binds fib)
    "morvex": (None, "from morvex.morvex_cy import fib"),
    "pure Python": (str(mypyc_peer.HERE), "from baselines import fib"),
    "mypyc": (str(mypyc_peer.BUILD), f"from {mypyc_peer.MODULE} import fib"),
    # Through ctypes: its call is counted once per run, not per entry.
    "C recursion": (str(mypyc_peer.HERE), "import c_peer; fib = c_peer.load()"),
}
BUILDS = {"mypyc": (mypyc_peer.load, mypyc_peer.build), "C recursion": (c_peer.load, c_peer.build)}


def instructions(path, statement, n):
    code = f"import sys; sys.path[:0] = {[path] if path else []!r}; {statement}; fib({n})"
    env = dict(os.environ, PYTHONHASHSEED="0")
    with tempfile.TemporaryDirectory() as out:
        proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/cg",
                               sys.executable, "-c", code], capture_output=True, text=True, env=env)
    found = re.search(r"Collected : ([\d,]+)", proc.stderr)
    if proc.returncode != 0 or not found:
        raise RuntimeError(proc.stderr.strip().splitlines()[-1] if proc.stderr else "no count")
    return int(found.group(1).replace(",", ""))


def main():
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed")
    for name, (load, build) in BUILDS.items():
        if load() is None and build():
            del FIBS[name]
    for name, (path, statement) in FIBS.items():
        count = instructions(path, statement, LARGE) - instructions(path, statement, SMALL)
        per_entry = count / (body_entries(LARGE) - body_entries(SMALL))
        target = f"   (target: at most {TARGET})" if name == "morvex" else ""
        print(f"{name:12} {per_entry:7.1f} instructions per body entry{target}")


if __name__ == "__main__":
    main()
