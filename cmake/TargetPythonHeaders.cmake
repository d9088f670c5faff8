# The CPython 3.12 headers for a cross build: this machine's interpreter
# headers with a pyconfig.h derived for the target from this machine's own
# and the target's row of cmake/targets.json (read by cmake/zig-cross.cmake).
# Defines the interface target morvex_python_headers.
#
# Python.h includes "pyconfig.h" in quotes, which is looked for first in
# Python.h's own directory: a derived file earlier on the include path would
# lose to the one beside the host's Python.h. So the headers are copied into
# the build tree without that file, and the derived one is put beside them.

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import sysconfig; print(sysconfig.get_path('include'))"
  OUTPUT_VARIABLE host_include OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)
set(MORVEX_HOST_PYCONFIG "${host_include}/pyconfig.h")
if(NOT EXISTS "${MORVEX_HOST_PYCONFIG}")
  message(FATAL_ERROR "no pyconfig.h in ${host_include}: the CPython headers are needed")
endif()

# "#undef NAME" and, unless the value is null, "#define NAME value" for each
# entry of a row's pyconfig object; the names go to `names_out`.
function(morvex_pyconfig_lines row out names_out)
  string(JSON count LENGTH "${row}" pyconfig)
  math(EXPR last "${count} - 1")
  set(lines "")
  set(names "")
  foreach(i RANGE ${last})
    string(JSON name MEMBER "${row}" pyconfig ${i})
    string(JSON type TYPE "${row}" pyconfig ${name})
    string(APPEND lines "#undef ${name}\n")
    if(NOT type STREQUAL "NULL")
      string(JSON value GET "${row}" pyconfig ${name})
      string(APPEND lines "#define ${name} ${value}\n")
    endif()
    list(APPEND names ${name})
  endforeach()
  set(${out} "${lines}" PARENT_SCOPE)
  set(${names_out} "${names}" PARENT_SCOPE)
endfunction()

string(JSON target_row GET "${MORVEX_TARGETS_JSON}" targets "${MORVEX_TARGET}")
string(JSON arch_row GET "${MORVEX_TARGETS_JSON}" architectures "${MORVEX_TARGET_ARCH}")
string(JSON arch_source GET "${arch_row}" source)
string(JSON target_source GET "${target_row}" source)
morvex_pyconfig_lines("${arch_row}" arch_defines arch_names)
morvex_pyconfig_lines("${target_row}" target_defines target_names)

# A size or alignment that the row does not restate would keep the build
# machine's value.
file(STRINGS "${MORVEX_HOST_PYCONFIG}" host_layout REGEX "^#define (SIZEOF|ALIGNOF)_")
foreach(line IN LISTS host_layout)
  string(REGEX MATCH "(SIZEOF|ALIGNOF)_[A-Za-z0-9_]+" name "${line}")
  if(NOT name IN_LIST arch_names AND NOT name IN_LIST target_names)
    message(FATAL_ERROR "cmake/targets.json does not state ${name} for ${MORVEX_TARGET}")
  endif()
endforeach()

set(target_include "${CMAKE_BINARY_DIR}/python-include")
file(COPY "${host_include}/" DESTINATION "${target_include}" PATTERN pyconfig.h EXCLUDE)
configure_file("${MORVEX_TARGET_PYCONFIG}" "${target_include}/pyconfig.h" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${MORVEX_HOST_PYCONFIG}" "${CMAKE_CURRENT_LIST_DIR}/targets.json")

add_library(morvex_python_headers INTERFACE)
target_include_directories(morvex_python_headers SYSTEM INTERFACE "${target_include}")
