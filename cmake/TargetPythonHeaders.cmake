# The CPython 3.12 headers for a cross build: this machine's interpreter
# headers with a pyconfig.h derived for the target from this machine's own
# (MORVEX_TARGET_PYCONFIG, named by the toolchain file). Defines the
# interface target morvex_python_headers.
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

# A size or alignment that the derived file does not redefine would keep
# the build machine's value.
file(STRINGS "${MORVEX_HOST_PYCONFIG}" host_layout REGEX "^#define (SIZEOF|ALIGNOF)_")
file(READ "${MORVEX_TARGET_PYCONFIG}" target_config)
foreach(line IN LISTS host_layout)
  string(REGEX MATCH "(SIZEOF|ALIGNOF)_[A-Za-z0-9_]+" name "${line}")
  if(NOT target_config MATCHES "#undef ${name}\n")
    message(FATAL_ERROR "${MORVEX_TARGET_PYCONFIG} does not state ${name} for the target")
  endif()
endforeach()

set(target_include "${CMAKE_BINARY_DIR}/python-include")
file(COPY "${host_include}/" DESTINATION "${target_include}" PATTERN pyconfig.h EXCLUDE)
configure_file("${MORVEX_TARGET_PYCONFIG}" "${target_include}/pyconfig.h" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${MORVEX_HOST_PYCONFIG}")

add_library(morvex_python_headers INTERFACE)
target_include_directories(morvex_python_headers SYSTEM INTERFACE "${target_include}")
