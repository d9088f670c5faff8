# Toolchain for the platform the module is made for, 32-bit x86 Linux with
# musl libc, cross-built here with zig's C/C++ toolchain (PyPI package
# ziglang):
#
#   cmake --preset i686-musl && cmake --build --preset i686-musl
#
# Python_EXECUTABLE names an interpreter of this machine that has ziglang
# installed. It supplies zig and its CPython 3.12 headers, which are used
# with a pyconfig.h derived for the target (cmake/TargetPythonHeaders.cmake).
# The house flags of cmake/MorvexExtension.cmake apply unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

# This file is read again for every compiler check, where only the
# variables listed here are passed on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORVEX_ZIG)
if(NOT MORVEX_ZIG)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
            "import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name('zig'))"
    OUTPUT_VARIABLE zig OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed)
  if(failed OR NOT EXISTS "${zig}")
    message(FATAL_ERROR "i686-musl: no zig from the ziglang package of Python_EXECUTABLE "
                        "(${Python_EXECUTABLE}); pip install ziglang")
  endif()
  set(MORVEX_ZIG "${zig}" CACHE FILEPATH "zig executable of the ziglang package")
endif()

set(CMAKE_C_COMPILER "${MORVEX_ZIG}" cc)
set(CMAKE_CXX_COMPILER "${MORVEX_ZIG}" c++)
set(CMAKE_C_COMPILER_TARGET x86-linux-musl)
set(CMAKE_CXX_COMPILER_TARGET x86-linux-musl)
# The compiler checks build static libraries only: a linked test program
# would make zig build its C++ runtime, and CMake would then add that
# runtime (and a static musl) to every link of the module.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The platform's compilers guard stacks by default (musl supplies
# __stack_chk_fail). zig adds its UB sanitizer to unoptimised builds; its
# runtime would be linked in, so it stays off whatever the build type.
set(CMAKE_C_FLAGS_INIT "-fstack-protector-strong -fno-sanitize=undefined")
set(CMAKE_CXX_FLAGS_INIT "-fstack-protector-strong -fno-sanitize=undefined")

# What the target's interpreter is told apart by: its configuration header
# (derived from this machine's) and its extension-module suffix, which
# CPython's configure builds from the platform triplet i386-linux-musl.
set(MORVEX_TARGET_PYCONFIG "${CMAKE_CURRENT_LIST_DIR}/i686-musl-pyconfig.h.in")
set(MORVEX_TARGET_EXT_SUFFIX ".cpython-312-i386-linux-musl.so")

# The sources import no C++ modules. Under Ninja, CMake would scan every
# C++20 source for them with clang-scan-deps, which zig does not ship.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
