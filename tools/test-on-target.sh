#!/usr/bin/env bash
# The whole suite on another platform, against the wheel users get:
#
#   tools/test-on-target.sh TARGET PYTHON [PYTEST-ARGS...]
#
# TARGET is a row of cmake/targets.json (aarch64-glibc, x86_64-musl, ...),
# PYTHON a CPython 3.12 of that platform. This machine builds the release
# wheels (tools/build-wheels.sh) and cross-builds the test probe for the
# target; the target's wheel and the suite's own requirements are installed
# into an environment of PYTHON; then PYTHON runs the main job and the suite
# from a copy of the tree that holds no package sources, so that `import
# morvex` finds the wheel. The sanitized and memcheck runs and the builds of
# release artefacts are this machine's tools: there they skip, with the
# reason.
#
# PYTHON may run natively, or through an emulator the kernel starts for its
# programs (QEMU's user mode registered with binfmt_misc). Without that,
# MORVEX_EMULATOR names the emulator's command, such as
# "qemu-aarch64-static -L /path/to/sysroot": the environment's python is
# then a script that runs PYTHON through it, with argv[0] its own path, so
# that sys.executable, which the suite starts in subprocesses, runs through
# the emulator too.
#
# HOST_PYTHON (default .venv/bin/python) has the test extra installed: zig,
# cmake, build and auditwheel. MORVEX_DIST names a directory that holds the
# release files already (from tools/build-wheels.sh). The work goes to
# MORVEX_WORK, by default build/on-TARGET.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: tools/test-on-target.sh TARGET PYTHON [PYTEST-ARGS...]" >&2
  exit 2
fi
target=$1 python=$(realpath "$2")
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
host=${HOST_PYTHON:-$root/.venv/bin/python}
emulator=${MORVEX_EMULATOR:-}
work=${MORVEX_WORK:-$root/build/on-$target}
bin=$("$host" -c 'import os, sys; print(os.path.dirname(sys.executable))')
export PATH="$bin:$PATH"

platform=$("$host" -c 'import json, sys; print(json.load(open(sys.argv[1]))["targets"][sys.argv[2]]["platform"])' \
           "$root/cmake/targets.json" "$target")
rm -rf "$work"
mkdir -p "$work"

# The wheel, as shipped, and the probe, built for the target as the module is.
dist=${MORVEX_DIST:-$work/dist}
[ -n "${MORVEX_DIST:-}" ] || PYTHON=$host bash "$root/tools/build-wheels.sh" "$dist"
wheel=$(echo "$dist"/*[-.]"$platform"[.]*whl)
cmake -S "$root/tests/probe" -B "$work/probe" -G Ninja --toolchain "$root/cmake/zig-cross.cmake" \
  -DMORVEX_TARGET="$target" -DPython_EXECUTABLE="$host" -DCMAKE_BUILD_TYPE=Release \
  -DMORVEX_WERROR=ON >/dev/null
cmake --build "$work/probe" >/dev/null

# The tree, less the package's sources: tracked and new files as they are now.
mkdir "$work/tree"
(cd "$root" && git ls-files -z --cached --others --exclude-standard -- . ':!morvex/' |
   tar --null -T - -cf -) | tar -xf - -C "$work/tree"

# The environment, linked to PYTHON as `python -m venv` makes it; through
# the emulator, its python is a script that starts PYTHON there.
$emulator "$python" -m venv --without-pip "$work/venv"
if [ -n "$emulator" ]; then
  rm "$work/venv/bin/python"
  printf '#!/bin/sh\nexec %s -0 "$0" %q "$@"\n' "$emulator" "$python" >"$work/venv/bin/python"
  chmod +x "$work/venv/bin/python"
fi
target_python=$work/venv/bin/python
site=$("$target_python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
# Installed by this machine's pip for the target's platform, at the versions
# this machine's suite runs with.
requirements=$("$host" -c 'import importlib.metadata as m
print(" ".join(f"{n}=={m.version(n)}" for n in ("pytest", "hypothesis", "mypy")))')
# shellcheck disable=SC2086  # one word per requirement
"$host" -m pip install -q --target "$site" --platform "$platform" --python-version 3.12 \
  --implementation cp --only-binary=:all: "$wheel" $requirements

cd "$work/tree"
export MORVEX_PROBE_DIR=$work/probe
unset PYTHONPATH PYTHONHOME
echo "+ $target_python -m morvex 500000000"
"$target_python" -m morvex 500000000
echo "+ $target_python -m pytest $*"
exec "$target_python" -m pytest -p no:cacheprovider "$@"
