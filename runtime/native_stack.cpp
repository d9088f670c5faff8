// The native stack of the calling thread: the lowest address a recursion
// on it may reach.
//
// The host's recursion budget counts levels, and a count bounds the stack
// only where every thread's stack holds the deepest chain the count allows.
// Small stacks do not: threading.stack_size(), musl's 128 KiB for a new
// thread, or 10000 units of budget on a 1 MiB stack of 32-bit x86. So deep
// recursion also compares its frame's address with the end of its stack.
//
// - The end is asked of the system once per thread, the first time that
//   thread asks, and kept in a thread-specific slot (the host's
//   PyThread_tss_*), which every new thread finds empty. It belongs to the
//   system thread whose stack it describes, whatever thread state runs
//   there, so no thread is ever given another's.
// - The process's first thread runs on the stack the kernel grows on
//   demand, down to RLIMIT_STACK below its top. The libcs answer for it
//   with what is mapped so far (musl) or from /proc/self/maps (glibc,
//   slowly, and allocating), so its top is taken from where the kernel put
//   the executable's name (AT_EXECFN): last, one pointer below the end. An
//   unlimited RLIMIT_STACK gives no end.
// - Any other thread: pthread_getattr_np, whose stack leaves out the guard
//   below it.
// - Where no end is learned, or the frame that asks lies outside the stack
//   learned (a stack the program switched to, such as a fork's child that
//   came from another thread), no end is given: the budget alone bounds
//   the recursion, as it always did.
#include "runtime/runtime.h"

#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// glibc moved these into libc.so.6 in 2.34 under new default versions
// (pthread_getattr_np also got one in 2.32). The first versions, kept
// beside them, are the same code; binding to them keeps the module loadable
// by every glibc a manylinux2014 wheel promises, 2.17 and later.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__i386__)
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.2.3");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.2");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.17");
#elif defined(__GLIBC__)
#error "the first glibc versions of pthread_getattr_np and pthread_attr_getstack are not known here"
#endif

// A frame's distance to the stack's end is its address less the end's: the
// stack grows down, as on every architecture the module is built for.
#if defined(__hppa__)
#error "a stack that grows up"
#endif

namespace {

struct Stack {
    uintptr_t low;   // lowest usable address
    uintptr_t high;  // one past the highest

    bool holds(uintptr_t address) const { return low <= address && address < high; }
};

constexpr Stack kUnknown = {0, 0};

// The first thread's stack as the kernel lets it grow: RLIMIT_STACK below
// the end of the stack the kernel set up at exec.
Stack first_thread_stack() {
    auto *execfn = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
    struct rlimit limit;
    if (!execfn || getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kUnknown;
    // The end is page-aligned; rounding up keeps it should the name have
    // been shortened in place since.
    uintptr_t page = getauxval(AT_PAGESZ);
    uintptr_t high = uintptr_t(execfn) + strlen(execfn) + 1 + sizeof(void *);
    if (page)
        high = (high + page - 1) & ~(page - 1);
    if (limit.rlim_cur >= high)
        return kUnknown;
    return {high - uintptr_t(limit.rlim_cur), high};
}

Stack thread_stack() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return kUnknown;
    void *low;
    size_t size;
    int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (failed)
        return kUnknown;
    return {uintptr_t(low), uintptr_t(low) + size};
}

bool is_first_thread() {
    return syscall(SYS_gettid) == getpid();
}

// The end for a frame at `frame`, or 0. The libcs' answer for the first
// thread is never taken: musl's would end the stack where it is mapped so
// far.
uintptr_t learn_stack_end(uintptr_t frame) {
    Stack stack = is_first_thread() ? first_thread_stack() : thread_stack();
    return stack.holds(frame) ? stack.low : 0;
}

// Per thread: the end learned, with bit 0 set so that a learned "none"
// (0 | 1) differs from the empty slot of a thread that has not asked yet.
// Ends are page addresses, so bit 0 is free. The slot is made on first use,
// under the interpreter lock; if it cannot be, no end is ever given.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // the host's {0}
Py_tss_t stack_end_slot = Py_tss_NEEDS_INIT;
#pragma GCC diagnostic pop
enum { kSlotNotMade, kSlotMade, kSlotFailed } slot_state = kSlotNotMade;

__PYX_COLD bool make_slot() {
    if (slot_state == kSlotNotMade)
        slot_state = PyThread_tss_create(&stack_end_slot) == 0 ? kSlotMade : kSlotFailed;
    return slot_state == kSlotMade;
}

__PYX_COLD uintptr_t learn_and_keep() {
    uintptr_t end = learn_stack_end(uintptr_t(__builtin_frame_address(0)));
    PyThread_tss_set(&stack_end_slot, reinterpret_cast<void *>(end | 1));
    return end;
}

}  // namespace

uintptr_t __Pyx_NativeStackEnd() {
    if (slot_state != kSlotMade && !make_slot())
        return 0;
    auto kept = uintptr_t(PyThread_tss_get(&stack_end_slot));
    return kept ? kept & ~uintptr_t(1) : learn_and_keep();
}
