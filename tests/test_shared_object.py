"""What the built shared object needs from and shows to the system."""

import shutil
import subprocess

import pytest


def tool_output(*command):
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def test_needs_only_libc(mod):
    dynamic = tool_output("readelf", "-d", mod.__file__)
    needed = [line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert len(needed) == 1 and needed[0].startswith("libc.")


def test_exports_only_the_init_function_and_the_main_flag(mod):
    symbols = tool_output("nm", "-D", "--defined-only", mod.__file__)
    exported = {line.split()[-1] for line in symbols.splitlines() if line.split()[-2] in "TDBRV"}
    assert exported == {"PyInit_morvex_cy", "__pyx_module_is_main_morvex__morvex_cy"}


def test_uses_no_cxx_runtime(mod):
    symbols = tool_output("nm", "-D", "--undefined-only", mod.__file__)
    undefined = {line.split()[-1].split("@")[0] for line in symbols.splitlines()}
    undefined.discard("__cxa_finalize")  # libc's, referenced by every shared object
    assert not {s for s in undefined if s.startswith(("_Z", "__cxa", "_Unwind", "__gxx"))}
