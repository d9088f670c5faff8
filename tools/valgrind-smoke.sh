#!/usr/bin/env bash
# tools/valgrind-smoke.sh [PYTEST-ARGS...]
# tools/valgrind-smoke.sh --python ARGS...    e.g. tools/valgrind-smoke.sh --python repro.py
#
# Runs a smoke subset of the test suite under valgrind memcheck, against the
# normal build (the module .venv imports, and the probe as the suite builds
# it), with PYTHONMALLOC=malloc so that memcheck sees every object: import
# and re-import, both functions, argument errors, the function type's
# attributes, the generic call slot and traceback entries. Only the pytest
# process runs under valgrind; the fresh interpreters some tests start run
# natively (tools/sanitize.sh checks those). Leaks are left to the
# LeakSanitizer run: CPython 3.12 does not free everything at exit.
#
# Test paths among the arguments replace the default selection; options are
# passed on to pytest. VALGRIND_OPTS adds valgrind options, e.g.
# VALGRIND_OPTS=--track-origins=yes (about twice as slow).
#
# Exit status: pytest's or the interpreter's, or 1 when that was 0 but memcheck found an error
# (the log, build/valgrind/memcheck.log, is printed then).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=$root/.venv/bin/python
logs=$root/build/valgrind
say() { echo "valgrind-smoke.sh: $*" >&2; }

if ! command -v valgrind >/dev/null; then
  say "valgrind is not installed (Debian: apt-get install valgrind)"
  exit 2
fi
if [ ! -x "$python" ]; then
  say "no .venv; set it up first: python3.12 -m venv .venv && .venv/bin/pip install -e '.[test]'"
  exit 2
fi

command=("$python" -m pytest -p no:cacheprovider)
selection=(
  tests/test_import.py
  tests/test_run_loop.py
  tests/test_fib.py
  tests/test_intake.py
  tests/test_attributes.py
  tests/test_call_slot.py
  tests/test_function_type.py
  tests/test_traceback.py
)
cd "$root"
if [ "${1-}" = "--python" ]; then
  shift
  command=("$python") selection=()
else
  # Test paths among the arguments replace the selection; options are added.
  for arg in "$@"; do
    if [ "${arg#-}" = "$arg" ] && [ -e "${arg%%::*}" ]; then
      selection=()
      break
    fi
  done
fi

rm -rf "$logs"
mkdir -p "$logs"
log=$logs/memcheck.log
# 99: memcheck's own exit status on an error, told apart from pytest's.
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --num-callers=30 \
  --suppressions="$root/tools/valgrind.supp" --log-file="$log" \
  "${command[@]}" "${selection[@]}" "$@"
status=$?

errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -n 1)
if [ "$status" -eq 99 ] || [ "${errors:-0}" -ne 0 ]; then
  cat "$log"
  status=1
fi
echo "memcheck errors: ${errors:-unknown}"
exit "$status"
