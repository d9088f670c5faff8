# Sourced by tools/sanitize.sh and tools/coverage.sh, which run the suite
# against a build of their own in $build (the module in $build/morvex/, the
# probe in $probe), beside the editable one: an interpreter that imports
# that build, logged build steps, and the run's test arguments. The sourcing
# script sets root, dev, build, probe and say() first.

# An interpreter of its own for the run, $view: the same CPython and the
# same packages as .venv, but without the editable install's import hook,
# which would send `import morvex` to the in-place module whatever sys.path
# says.
make_view() {
  view=$build/venv
  if [ ! -x "$view/bin/python" ]; then
    "$dev/bin/python" -m venv --without-pip "$view" || exit 2
  fi
  local dev_packages view_packages
  dev_packages=$("$dev/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  view_packages=$("$view/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  # A plain path line: .venv's packages join sys.path, its .pth hooks do not run.
  echo "$dev_packages" > "$view_packages/morvex-dev-packages.pth"
}

# run_logged COMMAND...: output to $build/build.log; on failure the log is
# shown and the script exits with 2.
run_logged() {
  if ! "$@" >> "$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    say "failed: $*"
    exit 2
  fi
}

# build_module PRESET: the module by its CMake preset, with the package's
# Python side copied beside it, as a wheel has it.
build_module() {
  mkdir -p "$build"
  : > "$build/build.log"
  (cd "$root" && run_logged cmake --preset "$1" && run_logged cmake --build --preset "$1") || exit 2
  find "$root/morvex" -maxdepth 1 -type f ! -name '*.cpp' ! -name '*.h' ! -name '*.so' \
    -exec cp {} "$build/morvex/" \;
}

# build_probe CMAKE-ARGS...: the probe, configured as the suite configures
# it (the suite builds it there again, told by MORVEX_PROBE_BUILD), warnings
# as errors. The module's presets turn them on too.
build_probe() {
  local generator=()
  if [ ! -e "$probe/CMakeCache.txt" ]; then
    generator=(-G Ninja "-DCMAKE_MAKE_PROGRAM=$dev/bin/ninja")
  fi
  run_logged cmake -S "$root/tests/probe" -B "$probe" "${generator[@]}" \
    "-DPython_EXECUTABLE=$view/bin/python" -DCMAKE_BUILD_TYPE=Release -DMORVEX_WERROR=ON "$@"
  run_logged cmake --build "$probe"
}

# suite_args ARGS...: the pytest arguments in $args. Relative test paths are
# taken from the repository root, as in a normal run; without any test
# path, the whole suite runs.
suite_args() {
  args=()
  local arg paths=0
  for arg in "$@"; do
    if [ "${arg#-}" = "$arg" ] && [ -e "$root/${arg%%::*}" ]; then
      arg=$root/$arg paths=1
    elif [ "${arg#/}" != "$arg" ] && [ -e "${arg%%::*}" ]; then
      paths=1
    fi
    args+=("$arg")
  done
  [ "$paths" -eq 1 ] || args+=("$root/tests")
}
