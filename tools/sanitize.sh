#!/usr/bin/env bash
# tools/sanitize.sh [PYTEST-ARGS...]    e.g. tools/sanitize.sh -q tests/test_intake.py
# tools/sanitize.sh --python ARGS...    e.g. tools/sanitize.sh --python repro.py
#
# Builds morvex_cy and the test probe with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake preset `asan`, into build/asan/), then
# runs the test suite against them, or with --python one interpreter (for a
# reproducer; the probe's directory is on its path). Every interpreter of the
# run, the children the tests start included, has the ASan runtime preloaded,
# allocates with plain malloc (PYTHONMALLOC=malloc) so that ASan sees every
# object, imports the checked morvex_cy, and checks for leaks just before it
# finalises (tools/sanitize_path/: a start-up hook that also routes UBSan's
# reports, and a pytest plugin for the probe and the report names).
#
# Exit status: that of pytest or the interpreter, or 1 when that was 0 but
# some process of the run wrote a sanitizer report. Reports are kept in
# build/asan/reports/, named after the test that was running, and printed.
# A run whose only reports say that LeakSanitizer itself crashed is run
# once more (see tool_failure below).
#
# SANITIZE_ASAN_OPTIONS adds runtime options, e.g. fast_unwind_on_malloc=0
# for whole allocation stacks through the interpreter (slower).
#
# Needs .venv set up as in the README, and gcc's libasan and libubsan
# (Debian: libasan8, libubsan1).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dev=$root/.venv
build=$root/build/asan
reports=$build/reports
say() { echo "sanitize.sh: $*" >&2; }

if [ ! -x "$dev/bin/python" ]; then
  say "no $dev; set it up first: python3.12 -m venv .venv && .venv/bin/pip install -e '.[test]'"
  exit 2
fi
runtime() {  # gcc echoes the bare name when it has no such library
  local path
  path=$(gcc -print-file-name="$1" 2>/dev/null)
  if [ "${path#/}" = "$path" ] || [ ! -e "$path" ]; then
    say "gcc has no $1; install $2"
    exit 2
  fi
  echo "$path"
}
asan_runtime=$(runtime libasan.so libasan8) || exit 2
ubsan_runtime=$(runtime libubsan.so libubsan1) || exit 2
# cmake and ninja come from the developer venv, as for the normal suite.
export PATH="$dev/bin:$PATH"

probe=$build/probe
. "$root/tools/build_of_its_own.sh"
make_view
build_module asan
build_probe -DMORVEX_SANITIZE=address,undefined

# The working directory is the first entry of sys.path for `python -m` and
# `python -c`, the way the tests start children: build/asan/ holds the
# checked package. PYTHONPATH says the same to children started with a
# script, and adds the run's start-up hook and pytest plugin.
export PYTHONPATH="$build:$root/tools/sanitize_path"
export MORVEX_PROBE_BUILD=$probe MORVEX_SANITIZER_REPORTS=$reports
export MORVEX_UBSAN_RUNTIME=$ubsan_runtime
export PYTHONMALLOC=malloc
export LD_PRELOAD=$asan_runtime
# detect_stack_use_after_return: pointers into a returned frame of the module.
# leak_check_at_exit=0: sitecustomize.py checks before finalisation instead.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan${SANITIZE_ASAN_OPTIONS:+:$SANITIZE_ASAN_OPTIONS}"
export LSAN_OPTIONS="leak_check_at_exit=0:suppressions=$root/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"

if [ "${1-}" = "--python" ]; then
  shift
  command=("$view/bin/python" "$@")
  python_path=$PYTHONPATH:$probe
else
  deselect=(
    # The checked module needs libasan and libubsan beside libc, and the
    # release wheels are built and tested unchecked.
    --deselect tests/test_shared_object.py
    --deselect tests/test_wheel.py
    # It runs this script.
    --deselect tests/test_sanitizers.py
  )
  # Kept: the leak soak and the allocation-failure sweeps (test_leaks.py,
  # test_memory_failures.py, test_import.py). _morvex_faults.set_nomemory wraps
  # whatever allocator is installed, malloc too. sys.getallocatedblocks()
  # counts pymalloc blocks only, so it stays 0 here and their block growth
  # checks hold trivially; their reference counts still count, and
  # LeakSanitizer checks the memory.

  suite_args "$@"
  command=("$view/bin/python" -m pytest -p sanitized_run -p no:cacheprovider --rootdir="$root"
           "${deselect[@]}" "${args[@]}")
  python_path=$PYTHONPATH
fi

# A report that holds nothing but LeakSanitizer's own fatal error: its
# tracer, the thread that stops the others and scans their memory, crashed.
# This libasan does that now and then (once in about ten runs of the suite
# here); the report says nothing about the program, and the process it came
# from went unchecked.
tool_failure() {
  grep -q "LeakSanitizer has encountered a fatal error" "$1" &&
    ! grep -q -e "ERROR: " -e "runtime error" "$1"
}

shopt -s nullglob
cd "$build"
# A run whose only reports are tool failures is run once more, so that every
# process is checked after all. What the second run reports counts, tool
# failures included.
for attempt in 1 2; do
  rm -rf "$reports"
  mkdir -p "$reports"
  PYTHONPATH=$python_path "${command[@]}"
  status=$?
  found=("$reports"/*)
  failures=0
  for report in "${found[@]}"; do
    tool_failure "$report" && failures=$((failures + 1))
  done
  if [ "$attempt" -eq 2 ] || [ "$failures" -eq 0 ] || [ "$failures" -ne "${#found[@]}" ]; then
    break
  fi
  for report in "${found[@]}"; do
    echo "=== $report (LeakSanitizer's tracer crashed: a tool failure, not a finding)"
    cat "$report"
  done
  say "running again, since LeakSanitizer failed to check $failures process(es)"
done

for report in "${found[@]}"; do
  echo "=== $report"
  cat "$report"
done
echo "sanitizer reports: ${#found[@]}"
if [ "$status" -eq 0 ] && [ "${#found[@]}" -ne 0 ]; then
  status=1
fi
exit "$status"
