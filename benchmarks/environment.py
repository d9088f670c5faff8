"""What a result table was measured on: machine, interpreter, module build."""

import hashlib
import os
import re
import subprocess
import sys
import time
from pathlib import Path

# The sources the module is built from, relative to the project root.
BUILD_INPUTS = ("morvex", "runtime", "CMakeLists.txt", "cmake")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def machine():
    cores = os.cpu_count()
    usable = len(os.sched_getaffinity(0))
    return f"{cpu_model()}, {cores} cores ({usable} usable by this process)"


def load_average():
    return os.getloadavg()[0]


def interpreter():
    version = " ".join(sys.version.split())
    return f"CPython {version} at {sys.executable}"


def _cmake_cache(path):
    entries = {}
    for line in path.read_text(errors="replace").splitlines():
        match = re.match(r"([A-Za-z_][A-Za-z0-9_]*):[A-Z]+=(.*)", line)
        if match:
            entries[match[1]] = match[2]
    return entries


def _cmake_build_of(module_dir, root):
    """The CMake cache that wrote the loaded module, newest first if several."""
    caches = [root / "CMakeCache.txt", *root.glob("build/*/CMakeCache.txt")]
    found = []
    for cache in caches:
        if not cache.is_file():
            continue
        entries = _cmake_cache(cache)
        out_dir = entries.get("MORVEX_MODULE_DIR") or str(cache.parent / "morvex")
        if Path(out_dir).resolve() == module_dir.resolve():
            found.append((cache.stat().st_mtime, entries))
    if not found:
        return None
    return max(found, key=lambda item: item[0])[1]


def _git(root, *args):
    try:
        proc = subprocess.run(
            ["git", "-C", str(root), *args], capture_output=True, text=True, timeout=10
        )
    except (OSError, subprocess.TimeoutExpired):
        return None
    return proc.stdout.strip() if proc.returncode == 0 else None


def module_build():
    """One line naming the loaded shared object and how it was built."""
    from morvex import morvex_cy

    path = Path(morvex_cy.__file__)
    root = path.parent.parent
    data = path.read_bytes()
    parts = [f"{path.name} ({len(data) // 1024} KiB, sha256 {hashlib.sha256(data).hexdigest()[:12]})"]

    compiler = re.search(rb"GCC: \([^\0]*?\) ([0-9][^\0]*)|clang version ([0-9][^\0 ]*)", data)
    if compiler:
        parts.append(f"GCC {compiler[1].decode()}" if compiler[1] else f"clang {compiler[2].decode()}")

    cache = _cmake_build_of(path.parent, root)
    if cache is not None:
        build_type = cache.get("CMAKE_BUILD_TYPE") or "no build type"
        flags = " ".join(
            f for f in (cache.get("CMAKE_CXX_FLAGS", ""),
                        cache.get(f"CMAKE_CXX_FLAGS_{build_type.upper()}", "")) if f
        )
        parts.append(f"CMake {build_type}" + (f" ({flags})" if flags else ""))

    commit = _git(root, "log", "-1", "--format=%h %cs")
    if commit:
        dirty = _git(root, "status", "--porcelain", "--", *BUILD_INPUTS)
        parts.append(f"source commit {commit}" + (", with local changes" if dirty else ""))

    built = path.stat().st_mtime
    parts.append("built " + time.strftime("%Y-%m-%d %H:%M", time.localtime(built)))
    return ", ".join(parts)


def stale_sources():
    """Module sources newer than the loaded shared object: a rebuild is due."""
    from morvex import morvex_cy

    path = Path(morvex_cy.__file__)
    root = path.parent.parent
    built = path.stat().st_mtime
    stale = []
    for name in BUILD_INPUTS:
        top = root / name
        files = [top] if top.is_file() else [p for p in top.rglob("*") if p.is_file()]
        for source in files:
            if source.suffix in (".cpp", ".h", ".txt", ".cmake") and source.stat().st_mtime > built:
                stale.append(str(source.relative_to(root)))
    return sorted(stale)
