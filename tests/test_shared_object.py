"""What the built shared object needs from and shows to the system: the one
built for the interpreter that runs the suite, held against what that
interpreter's own ELF files say of its platform, and the one in each
release wheel, held against its target's row of cmake/targets.json."""

import collections
import ctypes
import re
import zipfile

import pytest

import support
from support import dynamic_symbols, mapped_file, read_elf, tool_output

TARGETS = support.targets()

# What the module may call in the C library, whichever compiler built it.
# strrchr splits the shared type's name, memmove shifts the traceback cache,
# memcmp compares keyword names (LLVM calls bcmp where only equality is
# asked), memcpy copies the positionals of a call through the call slot,
# memset clears the code objects' unused code units (GCC inlines it).
# __stack_chk_fail, and on aarch64 its guard, are the stack protector's. The
# rest find a thread's stack once: its own (pthread_*), or the first
# thread's (getauxval, strlen, getrlimit, which glibc calls getrlimit64
# where off_t is 64 bits), told apart by getpid and syscall. What a cross
# build calls exactly is its target's row.
LIBC_CALLS = {"strrchr", "memmove", "memcmp", "bcmp", "memcpy", "memset", "__stack_chk_fail",
              "__stack_chk_guard", "pthread_self", "pthread_getattr_np", "pthread_attr_getstack",
              "pthread_attr_destroy", "getauxval", "strlen", "getrlimit", "getrlimit64", "getpid",
              "syscall"}

# `needed` and `libc_calls`: what a module of the platform may need (the
# C library first), and exactly so where zig built it.
Platform = collections.namedtuple("Platform", "elf_class machine needed libc_calls")


def target(name):
    row = TARGETS["targets"][name]
    return Platform(*TARGETS["architectures"][row["arch"]]["elf"], row["needed"],
                    set(TARGETS["libc_calls"] + row["more_libc_calls"]))


@pytest.fixture(scope="module")
def host():
    """The running interpreter's platform: the ELF class and machine of the
    file that holds the interpreter (the executable, or the libpython it
    loads) and the C library that file needs, with what its target's row
    adds (an old glibc's libpthread and loader). Works alike for a 64-bit
    glibc and a 32-bit musl interpreter, natively or under an emulator."""
    elf = read_elf(mapped_file(ctypes.pythonapi.Py_Initialize))
    (libc,) = [name for name in elf["NEEDED"] if name.startswith("libc.")]
    (row,) = [target(name) for name, row in TARGETS["targets"].items()
              if TARGETS["architectures"][row["arch"]]["elf"] == [elf["Class"], elf["Machine"]]
              and (row["needed"][0] == "libc.so.6") == (libc == "libc.so.6")]
    return Platform(elf["Class"], elf["Machine"], [libc, *row.needed[1:]], row.libc_calls)


# The wheels' rows need the release build, which is slow.
@pytest.fixture(params=["host", *(pytest.param(name, marks=pytest.mark.slow)
                                  for name in TARGETS["targets"])])
def platform(request):
    return request.param


@pytest.fixture
def built(request, platform, host, tmp_path):
    """(the shared object, its platform, whether zig cross-built it)."""
    if platform == "host":
        return request.getfixturevalue("mod").__file__, host, False
    dist = request.getfixturevalue("dist")
    wheel = support.target_wheel(dist, platform)
    member = f"morvex/morvex_cy.cpython-312-{TARGETS['targets'][platform]['triplet']}.so"
    return (zipfile.ZipFile(wheel).extract(member, tmp_path), target(platform),
            wheel != support.native_wheel(dist))


def test_is_a_shared_object_for_its_platform(built):
    shared_object, expected, _ = built
    elf = read_elf(shared_object)
    assert (elf["Class"], elf["Machine"]) == (expected.elf_class, expected.machine)
    assert elf["Type"].startswith("DYN ")


def test_needs_only_the_c_library(built):
    shared_object, expected, cross = built
    needed = read_elf(shared_object)["NEEDED"]
    if cross:
        assert sorted(needed) == sorted(expected.needed)
    else:
        assert expected.needed[0] in needed and set(needed) <= set(expected.needed)


def test_exports_only_the_init_function_and_the_main_flag(built):
    exported = {name: (kind, size) for name, (kind, size, binding, section)
                in dynamic_symbols(built[0]).items()
                if section != "UND" and binding in ("GLOBAL", "WEAK")}
    assert exported.keys() == {"PyInit_morvex_cy", "__pyx_module_is_main_morvex__morvex_cy"}
    assert exported["PyInit_morvex_cy"][0] == "FUNC"
    assert exported["__pyx_module_is_main_morvex__morvex_cy"] == ("OBJECT", 4)


def test_needs_the_interpreter_and_a_few_libc_functions(built, platform):
    shared_object, expected, cross = built
    # Weak references (glibc's start files leave some) bind to nothing when absent.
    undefined = {name for name, (_, _, binding, section) in dynamic_symbols(shared_object).items()
                 if section == "UND" and binding != "WEAK"}
    from_interpreter = {name for name in undefined if name.startswith(("Py", "_Py"))}
    assert [name for name in sorted(from_interpreter) if not hasattr(ctypes.pythonapi, name)] == []
    if cross:
        assert undefined - from_interpreter == expected.libc_calls
        return
    # Which of them a build calls is its compiler's choice; the running
    # C library (or what it loads) must define each, looked up from its own
    # handle, not process-wide, where a preloaded library (a sanitizer's
    # runtime) may define strrchr first.
    assert undefined - from_interpreter <= LIBC_CALLS | expected.libc_calls
    if platform == "host":
        libraries = [ctypes.CDLL(name) for name in read_elf(shared_object)["NEEDED"]]
        assert [name for name in sorted(undefined - from_interpreter)
                if not any(hasattr(library, name) for library in libraries)] == []


def test_uses_no_cxx_runtime(built):
    symbols = tool_output("nm", "-D", "--undefined-only", built[0])
    undefined = {line.split()[-1].split("@")[0] for line in symbols.splitlines()}
    undefined.discard("__cxa_finalize")  # libc's, referenced by every shared object
    assert not {s for s in undefined if s.startswith(("_Z", "__cxa", "_Unwind", "__gxx"))}


def test_range_check_of_a_wide_long_compiles_away_where_long_is_32_bits(built):
    # With a 64-bit long the intake narrows to 32 bits with its own message;
    # where long is 32 bits, PyLong_AsLong's check is the only one. On Linux
    # long is as wide as the ELF class.
    shared_object, expected, _ = built
    with open(shared_object, "rb") as f:
        has_own_message = b"too large to convert" in f.read()
    assert has_own_message == (expected.elf_class == "ELF64")


def test_symbol_versions_are_glibc_2_17s_at_most_and_musl_has_none(built):
    # The manylinux2014 wheels promise glibc 2.17; a function that glibc gave
    # a new default version since (pthread_getattr_np, pthread_attr_getstack)
    # must be bound to its first one. musl versions no symbol.
    shared_object, expected, _ = built
    versions = tool_output("readelf", "-V", shared_object)
    if expected.needed[0] != "libc.so.6":
        assert "No version information found" in versions
        return
    needed = re.findall(r"Name: GLIBC_([\d.]+)", versions)
    assert needed and max(tuple(map(int, v.split("."))) for v in needed) <= (2, 17), needed
