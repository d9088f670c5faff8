// The interpreter's own state (PyInterpreterState's fields), which only the
// host's internal headers lay out: included where a field is read or
// written where the headers of the interpreter built against place it.
// They are written for C: the atomics fall back to the compiler's builtins
// over plain ints (the layout of <stdatomic.h>'s, which C++20 lacks), and
// the collector's header would redefine a name the public headers already
// made a macro.
#pragma once

#include "runtime/runtime.h"

#undef HAVE_STD_ATOMIC
#undef _PyGC_FINALIZED
#define Py_BUILD_CORE 1
#include <internal/pycore_interp.h>
