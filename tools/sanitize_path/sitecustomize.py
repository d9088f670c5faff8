"""Start-up hook of every interpreter in a tools/sanitize.sh run (this
directory is on PYTHONPATH there, and nowhere else): sends UndefinedBehavior-
Sanitizer reports to their files, and checks for leaks.

libubsan reads log_path from UBSAN_OPTIONS, but applies it by calling
__sanitizer_set_report_path through the dynamic linker, which binds the
name to the preloaded libasan's copy: its own reports would go to stderr,
which the tests capture from their children. So the main interpreter loads
libubsan (before any checked module does) and sets its path through it.

LeakSanitizer checks at process exit by default, after Py_Finalize. CPython
3.12 makes every interned string immortal and drops them at finalisation
without freeing them, so that check reports thousands of strings the
interpreter owns by design, allocated from anywhere. The run turns the exit
check off (leak_check_at_exit=0) and checks here instead, as the main
interpreter's last exit handler (registered first, so run last): the
threads are joined, no Python frame is left, and the interpreter is still
whole, so a block nothing points to then was lost by whoever allocated it.

Only the main interpreter checks. Any other one would check while the main
interpreter's frames are live, and the value stacks of frames live in
mmap'ed chunks that LeakSanitizer does not scan: what only a frame holds
would look lost. And once another interpreter has ended in the process, its
interned strings are dropped the same way, so that process is not checked
at all (it still runs under AddressSanitizer).

The marks live in the C environment, which all interpreters of a process
share (each has its own os.environ, copied when it starts). They carry the
process id because children inherit them.
"""

import atexit
import os

_MAIN = "MORVEX_SANITIZE_MAIN_STARTED"
_ENDED = "MORVEX_SANITIZE_OTHER_ENDED"
_pid = str(os.getpid())


def _check_for_leaks():
    import ctypes

    libc = ctypes.CDLL(None)
    check = getattr(libc, "__lsan_do_recoverable_leak_check", None)
    libc.getenv.restype = ctypes.c_char_p
    if check is not None and libc.getenv(_ENDED.encode()) != _pid.encode():
        check()


def _mark_ended():
    os.putenv(_ENDED, _pid)


def _send_ubsan_reports_to_files():
    runtime = os.environ.get("MORVEX_UBSAN_RUNTIME")
    paths = [option[len("log_path="):] for option in os.environ.get("UBSAN_OPTIONS", "").split(":")
             if option.startswith("log_path=")]
    if runtime and paths:
        import ctypes

        ctypes.CDLL(runtime).__sanitizer_set_report_path(paths[-1].encode())  # the last one wins


if os.environ.get(_MAIN) == _pid:  # the main interpreter started before this one
    atexit.register(_mark_ended)
else:
    os.environ[_MAIN] = _pid
    _send_ubsan_reports_to_files()
    atexit.register(_check_for_leaks)
