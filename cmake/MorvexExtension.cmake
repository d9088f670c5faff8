# morvex_add_extension(<name> [WITHOUT_RUNTIME] OUTPUT_DIR <dir> EXPORTS <symbol>...
#                      SOURCES <file>...)
#
# Builds one CPython extension module of this runtime generation: the given
# sources plus everything in runtime/ (nothing of it with WITHOUT_RUNTIME, for
# a test helper that must not touch the shared type). House rules for every
# such module: C++20 without exceptions, RTTI or thread-safe statics (so
# nothing from libstdc++ or libgcc_s is needed at run time), the warnings
# below on (errors in the project's own builds, MORVEX_WERROR), and the only
# dynamic symbols are the ones listed under EXPORTS. In a cross build
# (cmake/zig-cross.cmake) the module is compiled against the target's
# headers (cmake/TargetPythonHeaders.cmake) and named for its interpreter.

if(MORVEX_TARGET_PYCONFIG)
  # A cross build: this machine's interpreter lends only its headers, which
  # are set up for the target.
  find_package(Python 3.12 EXACT REQUIRED COMPONENTS Interpreter)
  include(${CMAKE_CURRENT_LIST_DIR}/TargetPythonHeaders.cmake)
else()
  find_package(Python 3.12 EXACT REQUIRED COMPONENTS Interpreter Development.Module)
endif()

cmake_path(GET CMAKE_CURRENT_LIST_DIR PARENT_PATH MORVEX_ROOT)
set(MORVEX_RUNTIME_SOURCES
  ${MORVEX_ROOT}/runtime/traceback.cpp
  ${MORVEX_ROOT}/runtime/checkpoint.cpp
  ${MORVEX_ROOT}/runtime/native_stack.cpp
  ${MORVEX_ROOT}/runtime/shared_type.cpp
  ${MORVEX_ROOT}/runtime/cyfunction.cpp
  ${MORVEX_ROOT}/runtime/cyfunction_vectorcall.cpp
  ${MORVEX_ROOT}/runtime/cyfunction_call.cpp
  ${MORVEX_ROOT}/runtime/cyfunction_attributes.cpp
  ${MORVEX_ROOT}/runtime/pyconfig_checks.cpp)

# A checked build for the reliability runs, e.g. MORVEX_SANITIZE=address,undefined.
# Empty (the default) leaves the flags above untouched. A checked module
# needs the sanitizer runtimes at run time (libasan, libubsan), so it breaks
# the libc-only rule on purpose and must be loaded by an interpreter that has
# the runtime preloaded. -O1 and -g are forced whatever the build type: the
# test probe is configured as Release by the suite, and reports from both
# modules should carry line numbers and whole stacks alike.
set(MORVEX_SANITIZE "" CACHE STRING
    "Comma-separated -fsanitize= checks for a checked build (empty: normal build)")

# A build that counts which lines and branches run (gcc's --coverage), for
# tools/coverage.sh. Optimisation is off so that counts map to the source
# lines, and NDEBUG is set so that the interpreter's own asserts inside its
# macros add no branches of theirs; like the checked build, this wins over
# the build type's flags.
option(MORVEX_COVERAGE "Instrument for line and branch coverage (gcc --coverage)" OFF)

# Warnings as errors, for the project's own builds: the CMake presets, CI,
# the suite's builds of the probe and the tools' checked builds turn it on.
# Off for everyone else, so that a user's compiler, newer or other than the
# ones the project is built with, cannot stop a `pip install` with a warning
# of its own.
option(MORVEX_WERROR "Treat compiler warnings as errors (the project's own builds)" OFF)

function(morvex_add_extension name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "WITHOUT_RUNTIME" "OUTPUT_DIR" "EXPORTS;SOURCES")
  set(sources ${ARG_SOURCES})
  if(NOT ARG_WITHOUT_RUNTIME)
    list(APPEND sources ${MORVEX_RUNTIME_SOURCES})
  endif()

  if(TARGET morvex_python_headers)
    add_library(${name} MODULE ${sources})
    target_link_libraries(${name} PRIVATE morvex_python_headers)
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX "${MORVEX_TARGET_EXT_SUFFIX}")
  else()
    Python_add_library(${name} MODULE WITH_SOABI ${sources})
  endif()
  target_include_directories(${name} PRIVATE "${MORVEX_ROOT}")
  target_compile_features(${name} PRIVATE cxx_std_20)
  set_target_properties(${name} PROPERTIES
    CXX_EXTENSIONS OFF
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    # Linking through the C driver keeps libstdc++ off the NEEDED list.
    LINKER_LANGUAGE C
    LIBRARY_OUTPUT_DIRECTORY "$<1:${ARG_OUTPUT_DIR}>")
  target_compile_options(${name} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow
    -fno-exceptions -fno-rtti -fno-threadsafe-statics)
  if(MORVEX_WERROR)
    target_compile_options(${name} PRIVATE -Werror)
  endif()

  set(map "${CMAKE_CURRENT_BINARY_DIR}/${name}.exports.map")
  list(JOIN ARG_EXPORTS "; " globals)
  file(WRITE "${map}" "{ global: ${globals}; local: *; };\n")
  target_link_options(${name} PRIVATE
    -static-libgcc -Wl,--as-needed -Wl,--no-undefined-version
    "-Wl,--version-script=${map}")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${map}")

  if(MORVEX_SANITIZE)
    target_compile_options(${name} PRIVATE
      -fsanitize=${MORVEX_SANITIZE} -fno-sanitize-recover=undefined
      -fno-omit-frame-pointer -g -O1)
    target_link_options(${name} PRIVATE -fsanitize=${MORVEX_SANITIZE})
  endif()
  if(MORVEX_COVERAGE)
    target_compile_options(${name} PRIVATE --coverage -O0 -DNDEBUG)
    target_link_options(${name} PRIVATE --coverage)
  endif()
endfunction()
