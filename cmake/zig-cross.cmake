# Toolchain for a cross build of the module for one Linux platform, a row of
# cmake/targets.json named by MORVEX_TARGET (x86_64-glibc, i686-musl, ...),
# with zig's C/C++ toolchain (PyPI package ziglang):
#
#   cmake --preset aarch64-glibc && cmake --build --preset aarch64-glibc
#
# Python_EXECUTABLE names an interpreter of this machine that has ziglang
# installed. It supplies zig and its CPython 3.12 headers, which are used
# with a pyconfig.h derived for the target (cmake/TargetPythonHeaders.cmake).
# The house flags of cmake/MorvexExtension.cmake apply unchanged.

# This file is read again for every compiler check, where only the
# variables listed here are passed on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORVEX_TARGET MORVEX_ZIG)

file(READ "${CMAKE_CURRENT_LIST_DIR}/targets.json" MORVEX_TARGETS_JSON)
string(JSON target_row ERROR_VARIABLE no_row GET "${MORVEX_TARGETS_JSON}" targets "${MORVEX_TARGET}")
if(no_row)
  string(JSON count LENGTH "${MORVEX_TARGETS_JSON}" targets)
  set(names "")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name MEMBER "${MORVEX_TARGETS_JSON}" targets ${i})
    list(APPEND names ${name})
  endforeach()
  message(FATAL_ERROR "MORVEX_TARGET '${MORVEX_TARGET}' is not a row of cmake/targets.json: "
                      "one of ${names}")
endif()
string(JSON MORVEX_TARGET_ARCH GET "${target_row}" arch)
string(JSON zig_target GET "${target_row}" zig)
string(JSON triplet GET "${target_row}" triplet)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${MORVEX_TARGET_ARCH})

if(NOT MORVEX_ZIG)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
            "import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name('zig'))"
    OUTPUT_VARIABLE zig OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed)
  if(failed OR NOT EXISTS "${zig}")
    message(FATAL_ERROR "${MORVEX_TARGET}: no zig from the ziglang package of Python_EXECUTABLE "
                        "(${Python_EXECUTABLE}); pip install ziglang")
  endif()
  set(MORVEX_ZIG "${zig}" CACHE FILEPATH "zig executable of the ziglang package")
endif()

set(CMAKE_C_COMPILER "${MORVEX_ZIG}" cc)
set(CMAKE_CXX_COMPILER "${MORVEX_ZIG}" c++)
# For glibc, the version in zig's target is the oldest the wheel promises:
# zig links against that version's symbols, so none newer can be needed.
set(CMAKE_C_COMPILER_TARGET ${zig_target})
set(CMAKE_CXX_COMPILER_TARGET ${zig_target})
# The compiler checks build static libraries only: a linked test program
# would make zig build its C++ runtime, and CMake would then add that
# runtime (and a static C library) to every link of the module.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Stacks are guarded, as the musl platforms' compilers do by default (the
# C library supplies __stack_chk_fail). zig adds its UB sanitizer to
# unoptimised builds; its runtime would be linked in, so it stays off
# whatever the build type.
set(CMAKE_C_FLAGS_INIT "-fstack-protector-strong -fno-sanitize=undefined")
set(CMAKE_CXX_FLAGS_INIT "-fstack-protector-strong -fno-sanitize=undefined")

# What the target's interpreter is told apart by: its configuration header,
# derived from this machine's with the row's values, and its
# extension-module suffix, which CPython's configure builds from the
# platform triplet.
set(MORVEX_TARGET_PYCONFIG "${CMAKE_CURRENT_LIST_DIR}/target-pyconfig.h.in")
set(MORVEX_TARGET_EXT_SUFFIX ".cpython-312-${triplet}.so")

# The sources import no C++ modules. Under Ninja, CMake would scan every
# C++20 source for them with clang-scan-deps, which zig does not ship.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
