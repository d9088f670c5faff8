// The interpreter's configuration header against the compiler that builds
// the module: every size and alignment in pyconfig.h, the byte order and
// the features configure ties to the architecture and the platform. The headers lay out the objects the
// module shares with the interpreter from these values, so a header made
// for another platform would compile cleanly and corrupt memory at run
// time; here it stops the build instead. Compiles to nothing.
#include "runtime/runtime.h"

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#define PYX_CHECK_SIZE(macro, type) \
    static_assert(macro == sizeof(type), #macro " is not the size of " #type)
#define PYX_CHECK_ALIGNMENT(macro, type) \
    static_assert(macro == alignof(type), #macro " is not the alignment of " #type)

PYX_CHECK_SIZE(SIZEOF__BOOL, bool);  // C's _Bool
PYX_CHECK_SIZE(SIZEOF_SHORT, short);
PYX_CHECK_SIZE(SIZEOF_INT, int);
PYX_CHECK_SIZE(SIZEOF_LONG, long);
PYX_CHECK_SIZE(SIZEOF_LONG_LONG, long long);
PYX_CHECK_SIZE(SIZEOF_FLOAT, float);
PYX_CHECK_SIZE(SIZEOF_DOUBLE, double);
PYX_CHECK_SIZE(SIZEOF_LONG_DOUBLE, long double);
PYX_CHECK_SIZE(SIZEOF_SIZE_T, size_t);
PYX_CHECK_SIZE(SIZEOF_VOID_P, void *);
PYX_CHECK_SIZE(SIZEOF_UINTPTR_T, uintptr_t);
PYX_CHECK_SIZE(SIZEOF_WCHAR_T, wchar_t);
PYX_CHECK_SIZE(SIZEOF_TIME_T, time_t);
PYX_CHECK_SIZE(SIZEOF_OFF_T, off_t);
PYX_CHECK_SIZE(SIZEOF_PID_T, pid_t);
PYX_CHECK_SIZE(SIZEOF_FPOS_T, fpos_t);
PYX_CHECK_SIZE(SIZEOF_PTHREAD_T, pthread_t);
PYX_CHECK_SIZE(SIZEOF_PTHREAD_KEY_T, pthread_key_t);

PYX_CHECK_ALIGNMENT(ALIGNOF_LONG, long);
PYX_CHECK_ALIGNMENT(ALIGNOF_SIZE_T, size_t);
PYX_CHECK_ALIGNMENT(ALIGNOF_MAX_ALIGN_T, max_align_t);

#ifdef WORDS_BIGENDIAN
static_assert(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, "WORDS_BIGENDIAN on a little-endian target");
#else
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "a big-endian target needs WORDS_BIGENDIAN");
#endif

#if defined(HAVE_GCC_ASM_FOR_X64) != defined(__x86_64__)
#error "HAVE_GCC_ASM_FOR_X64 does not match the target architecture"
#endif
#if defined(HAVE_GCC_ASM_FOR_X87) && !defined(__i386__) && !defined(__x86_64__)
#error "HAVE_GCC_ASM_FOR_X87 on a target without x87"
#endif
#if defined(PY_HAVE_PERF_TRAMPOLINE) && !defined(__x86_64__) && !defined(__aarch64__)
#error "PY_HAVE_PERF_TRAMPOLINE on a target without the perf trampoline"
#endif
// configure's large file support: an off_t wider than long.
#if defined(HAVE_LARGEFILE_SUPPORT) != (SIZEOF_OFF_T > SIZEOF_LONG)
#error "HAVE_LARGEFILE_SUPPORT does not match the sizes of off_t and long"
#endif
