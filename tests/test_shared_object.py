"""What the built shared object needs from and shows to the system: the one
built for the interpreter that runs the suite, held against what that
interpreter's own ELF files say of its platform, and the one cross-built for
the platform the module is made for, 32-bit x86 Linux with musl (preset
i686-musl)."""

import collections
import ctypes
import importlib.util
import re

import pytest

import support
from support import dynamic_symbols, mapped_file, read_elf, tool_output

Platform = collections.namedtuple("Platform", "elf_class machine libc libc_symbols")

# What the module may call in libc. strrchr splits the shared type's name,
# memmove shifts the traceback cache, memcmp compares keyword names (LLVM
# calls bcmp where only equality is asked), memcpy copies the positionals
# of a call through the call slot, memset clears the code objects' unused
# code units (GCC inlines it). __stack_chk_fail is the stack protector's
# failure routine: the musl platform's compilers guard stacks by default.
# The rest find a thread's stack once: its own (pthread_*), or the first
# thread's (getauxval, strlen, getrlimit, with getrlimit64 where off_t is
# 64 bits), told apart by getpid and syscall.
LIBC_CALLS = {"strrchr", "memmove", "memcmp", "bcmp", "memcpy", "memset", "__stack_chk_fail",
              "pthread_self", "pthread_getattr_np", "pthread_attr_getstack",
              "pthread_attr_destroy", "getauxval", "strlen", "getrlimit", "getrlimit64", "getpid",
              "syscall"}

# No interpreter of the cross build's platform runs here, nor its libc.
I686_MUSL = Platform("ELF32", "Intel 80386", "libc.so", None)


@pytest.fixture(scope="module")
def host():
    """The running interpreter's platform: from the ELF file that holds the
    interpreter (the executable, or the libpython it loads) and from the libc
    that file needs, wherever the loader found it. Works alike for a 64-bit
    glibc and a 32-bit musl interpreter; the cross-build cases below read an
    i386 musl object through the same read_elf."""
    elf = read_elf(mapped_file(ctypes.pythonapi.Py_Initialize))
    (libc,) = [name for name in elf["NEEDED"] if name.startswith("libc.")]
    # Looked up in that libc, not process-wide, where a preloaded library
    # (a sanitizer's runtime) may define strrchr first.
    libc_file = mapped_file(ctypes.CDLL(libc).strrchr)
    defined = {name for name, (_, _, _, section) in dynamic_symbols(libc_file).items()
               if section != "UND"}
    return Platform(elf["Class"], elf["Machine"], libc, defined)


@pytest.fixture(scope="module")
def i686_musl_object():
    if importlib.util.find_spec("ziglang") is None:
        pytest.skip("the cross build needs zig: pip install ziglang (the test extra has it)")
    return support.build_i686_musl()


@pytest.fixture(params=["host", pytest.param("i686-musl", marks=pytest.mark.slow)])
def platform(request):
    return request.param


@pytest.fixture
def expected(request, platform):
    return request.getfixturevalue("host") if platform == "host" else I686_MUSL


@pytest.fixture
def shared_object(request, platform):
    if platform == "host":
        return request.getfixturevalue("mod").__file__
    return str(request.getfixturevalue("i686_musl_object"))


def test_is_a_shared_object_for_its_platform(shared_object, expected):
    elf = read_elf(shared_object)
    assert (elf["Class"], elf["Machine"]) == (expected.elf_class, expected.machine)
    assert elf["Type"].startswith("DYN ")


def test_needs_only_libc(shared_object, expected):
    assert read_elf(shared_object)["NEEDED"] == [expected.libc]


def test_exports_only_the_init_function_and_the_main_flag(shared_object):
    exported = {name: (kind, size) for name, (kind, size, binding, section)
                in dynamic_symbols(shared_object).items()
                if section != "UND" and binding in ("GLOBAL", "WEAK")}
    assert exported.keys() == {"PyInit_morvex_cy", "__pyx_module_is_main_morvex__morvex_cy"}
    assert exported["PyInit_morvex_cy"][0] == "FUNC"
    assert exported["__pyx_module_is_main_morvex__morvex_cy"] == ("OBJECT", 4)


def test_needs_the_interpreter_and_a_few_libc_functions(shared_object, platform, expected):
    # Weak references (glibc's start files leave some) bind to nothing when absent.
    undefined = {name for name, (_, _, binding, section) in dynamic_symbols(shared_object).items()
                 if section == "UND" and binding != "WEAK"}
    from_interpreter = {name for name in undefined if name.startswith(("Py", "_Py"))}
    assert [name for name in sorted(from_interpreter) if not hasattr(ctypes.pythonapi, name)] == []
    if platform == "i686-musl":
        # zig's clang calls bcmp and memset, and guards stacks.
        assert undefined - from_interpreter == LIBC_CALLS - {"memcmp", "getrlimit64"}
    else:
        # Which of them a build calls is its compiler's choice.
        assert undefined - from_interpreter <= LIBC_CALLS & expected.libc_symbols


def test_uses_no_cxx_runtime(shared_object):
    symbols = tool_output("nm", "-D", "--undefined-only", shared_object)
    undefined = {line.split()[-1].split("@")[0] for line in symbols.splitlines()}
    undefined.discard("__cxa_finalize")  # libc's, referenced by every shared object
    assert not {s for s in undefined if s.startswith(("_Z", "__cxa", "_Unwind", "__gxx"))}


def test_range_check_of_a_wide_long_compiles_away_where_long_is_32_bits(shared_object, expected):
    # With a 64-bit long the intake narrows to 32 bits with its own message;
    # where long is 32 bits, PyLong_AsLong's check is the only one. On Linux
    # long is as wide as the ELF class.
    with open(shared_object, "rb") as f:
        has_own_message = b"too large to convert" in f.read()
    assert has_own_message == (expected.elf_class == "ELF64")


def test_glibc_versions_needed_are_no_newer_than_manylinux2014s(mod, host):
    # The release wheel promises glibc 2.17; a function that glibc gave a new
    # default version since (pthread_getattr_np, pthread_attr_getstack) must
    # be bound to its first one.
    if host.libc != "libc.so.6":
        pytest.skip(f"the interpreter's libc, {host.libc}, is not glibc")
    needed = re.findall(r"Name: GLIBC_([\d.]+)", tool_output("readelf", "-V", mod.__file__))
    assert needed and max(tuple(map(int, v.split("."))) for v in needed) <= (2, 17), needed
