#!/usr/bin/env bash
# tools/coverage.sh [PYTEST-ARGS...]    e.g. tools/coverage.sh -x tests/test_intake.py
#
# Line and branch coverage of morvex/ and runtime/ over the test suite.
# Builds morvex_cy and the test probe with gcc's coverage instrumentation
# (CMake preset `coverage`: no optimisation, NDEBUG, into build/coverage/),
# runs the suite against them, or the given pytest arguments, and prints a
# table of lines and branches run per file, made with gcovr. Every process
# of the run counts, the fresh interpreters the tests start included; each
# run starts from zero. The editable build in morvex/ is not touched.
#
# Besides the table: build/coverage/report/missing.txt lists every line
# that did not run, or did without taking each of its branches.
#
# Exit status: that of pytest (the table is printed either way), or 2 when
# the set-up or the build fails.
#
# Needs .venv set up as in the README; gcovr (PyPI) is installed into it
# when it is missing. gcov comes with gcc.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dev=$root/.venv
build=$root/build/coverage
probe=$build/probe
reports=$build/report
say() { echo "coverage.sh: $*" >&2; }

if [ ! -x "$dev/bin/python" ]; then
  say "no $dev; set it up first: python3.12 -m venv .venv && .venv/bin/pip install -e '.[test]'"
  exit 2
fi
if ! command -v gcov >/dev/null; then
  say "gcov is missing; it comes with gcc"
  exit 2
fi
if ! "$dev/bin/python" -c 'import gcovr' 2>/dev/null; then
  "$dev/bin/python" -m pip install -q 'gcovr>=7' || { say "could not install gcovr"; exit 2; }
fi
export PATH="$dev/bin:$PATH"  # cmake and ninja, as for the normal suite

. "$root/tools/build_of_its_own.sh"
make_view
build_module coverage
build_probe -DMORVEX_COVERAGE=ON
find "$build" -name '*.gcda' -delete  # counts of earlier runs
suite_args "$@"

# From build/coverage/ (the first entry of sys.path for the children the
# tests start with -c) `import morvex` finds the instrumented package.
# Left out: the sanitizer and memcheck runs and the release wheels, which
# build and check modules of their own and count nothing here, and the
# check of what the module needs from libc, since gcov's runtime, linked
# into the instrumented module, needs more.
cd "$build"
PYTHONPATH=$build MORVEX_PROBE_BUILD=$probe \
  "$view/bin/python" -m pytest -p no:cacheprovider --rootdir="$root" \
  --ignore="$root/tests/test_sanitizers.py" --ignore="$root/tests/test_wheel.py" \
  --deselect "tests/test_shared_object.py::test_needs_the_interpreter_and_a_few_libc_functions[host]" \
  "${args[@]}"
status=$?

mkdir -p "$reports"
if ! "$dev/bin/python" -m gcovr --root "$root" --filter "$root/morvex/" --filter "$root/runtime/" \
      --json-summary "$reports/summary.json" --json "$reports/coverage.json" \
      "$build" >> "$build/build.log" 2>&1; then
  tail -20 "$build/build.log" >&2
  say "gcovr failed"
  exit 2
fi
"$dev/bin/python" - "$root" "$reports" <<'EOF'
import collections, json, pathlib, sys

root, reports = map(pathlib.Path, sys.argv[1:])
summary = json.loads((reports / "summary.json").read_text())

# Every line that did not run, or ran without taking each of its branches.
with open(reports / "missing.txt", "w") as out:
    for f in sorted(json.loads((reports / "coverage.json").read_text())["files"],
                    key=lambda f: f["file"]):
        text = (root / f["file"]).read_text().splitlines()
        lines = collections.defaultdict(lambda: [0, 0, 0])  # runs, branches taken, branches
        for line in f["lines"]:  # a line shows once per function it is part of
            counts = lines[line["line_number"]]
            counts[0] += line["count"]
            counts[1] += sum(b["count"] > 0 for b in line["branches"])
            counts[2] += len(line["branches"])
        for number, (runs, taken, branches) in sorted(lines.items()):
            if runs == 0 or taken < branches:
                what = "not run" if runs == 0 else f"branches {taken}/{branches}"
                print(f"{f['file']}:{number}: {what:<14} {text[number - 1].strip()}", file=out)

def cell(covered, total):
    return f"{covered:>4}/{total:<4} {100 * covered / total if total else 100:5.1f}%"

print(f"{'file':<36} {'lines':>16} {'branches':>16}")
for f in sorted(summary["files"], key=lambda f: f["filename"]):
    print(f"{f['filename']:<36} {cell(f['line_covered'], f['line_total']):>16}"
          f" {cell(f['branch_covered'], f['branch_total']):>16}")
print(f"{'total':<36} {cell(summary['line_covered'], summary['line_total']):>16}"
      f" {cell(summary['branch_covered'], summary['branch_total']):>16}")
EOF
exit "$status"
