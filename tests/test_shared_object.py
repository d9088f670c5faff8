"""What the built shared object needs from and shows to the system: the one
built for this machine, and the one cross-built for the platform the module
is made for, 32-bit x86 Linux with musl (preset i686-musl)."""

import ctypes
import importlib.util
import shutil
import subprocess

import pytest

import support

# platform: (ELF class, machine, the only NEEDED entry)
ELF = {
    "host": ("ELF64", "Advanced Micro Devices X86-64", "libc.so.6"),
    "i686-musl": ("ELF32", "Intel 80386", "libc.so"),
}

# What each build calls in libc. strrchr splits the shared type's name,
# memmove shifts the traceback cache, memcmp compares keyword names (LLVM
# calls bcmp where only equality is asked), memcpy copies the positionals
# of a call through the call slot, memset clears the code objects' unused
# code units (GCC inlines it). __stack_chk_fail is the stack protector's
# failure routine: the musl platform's compilers guard stacks by default.
LIBC = {
    "host": {"strrchr", "memmove", "memcmp", "memcpy"},
    "i686-musl": {"strrchr", "memmove", "bcmp", "memcpy", "memset", "__stack_chk_fail"},
}


def tool_output(*command):
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def dynamic_symbols(path):
    """{name: (type, size, binding, section)} of the dynamic symbol table,
    names without their version."""
    symbols = {}
    for line in tool_output("readelf", "--dyn-syms", "-W", str(path)).splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[0].endswith(":") and fields[0][:-1].isdigit():
            name = fields[7].split("@")[0]
            symbols[name] = (fields[3], int(fields[2], 0), fields[4], fields[6])
    symbols.pop("", None)
    return symbols


@pytest.fixture(scope="module")
def i686_musl_object():
    if importlib.util.find_spec("ziglang") is None:
        pytest.skip("the cross build needs zig: pip install ziglang (the test extra has it)")
    return support.build_i686_musl()


@pytest.fixture(params=["host", "i686-musl"])
def platform(request):
    return request.param


@pytest.fixture
def shared_object(request, platform):
    if platform == "host":
        return request.getfixturevalue("mod").__file__
    return str(request.getfixturevalue("i686_musl_object"))


def test_is_a_shared_object_for_its_platform(shared_object, platform):
    header = tool_output("readelf", "-h", shared_object)
    elf_class, machine, _ = ELF[platform]
    assert f"Class:                             {elf_class}\n" in header
    assert f"Machine:                           {machine}\n" in header
    assert "Type:                              DYN " in header


def test_needs_only_libc(shared_object, platform):
    dynamic = tool_output("readelf", "-d", shared_object)
    needed = [line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert needed == [ELF[platform][2]]


def test_exports_only_the_init_function_and_the_main_flag(shared_object):
    exported = {name: (kind, size) for name, (kind, size, binding, section)
                in dynamic_symbols(shared_object).items()
                if section != "UND" and binding in ("GLOBAL", "WEAK")}
    assert exported.keys() == {"PyInit_morvex_cy", "__pyx_module_is_main_morvex__morvex_cy"}
    assert exported["PyInit_morvex_cy"][0] == "FUNC"
    assert exported["__pyx_module_is_main_morvex__morvex_cy"] == ("OBJECT", 4)


def test_needs_the_interpreter_and_a_few_libc_functions(shared_object, platform):
    # Weak references (glibc's start files leave some) bind to nothing when absent.
    undefined = {name for name, (_, _, binding, section) in dynamic_symbols(shared_object).items()
                 if section == "UND" and binding != "WEAK"}
    from_interpreter = {name for name in undefined if name.startswith(("Py", "_Py"))}
    assert [name for name in sorted(from_interpreter) if not hasattr(ctypes.pythonapi, name)] == []
    assert undefined - from_interpreter == LIBC[platform]


def test_uses_no_cxx_runtime(shared_object):
    symbols = tool_output("nm", "-D", "--undefined-only", shared_object)
    undefined = {line.split()[-1].split("@")[0] for line in symbols.splitlines()}
    undefined.discard("__cxa_finalize")  # libc's, referenced by every shared object
    assert not {s for s in undefined if s.startswith(("_Z", "__cxa", "_Unwind", "__gxx"))}


def test_range_check_of_a_wide_long_compiles_away_where_long_is_32_bits(shared_object, platform):
    # With a 64-bit long the intake narrows to 32 bits with its own message;
    # where long is 32 bits, PyLong_AsLong's check is the only one.
    with open(shared_object, "rb") as f:
        has_own_message = b"too large to convert" in f.read()
    assert has_own_message == (platform == "host")
