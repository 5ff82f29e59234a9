"""What a report says about the machine, the tools and the tree it ran on."""

import os
import platform
import re
import subprocess
from pathlib import Path

from . import ROOT
from .cpp import FLOOR_BUILD


def in_vcan_vm():
    try:
        return "VCANVM_RUN=" in Path("/proc/cmdline").read_text()
    except OSError:
        return False


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def compiler_version():
    for f in FLOOR_BUILD.glob("CMakeFiles/*/CMakeCXXCompiler.cmake"):
        text = f.read_text()
        cid = re.search(r'set\(CMAKE_CXX_COMPILER_ID "([^"]*)"\)', text)
        ver = re.search(r'set\(CMAKE_CXX_COMPILER_VERSION "([^"]*)"\)', text)
        if cid and ver:
            return f"{cid.group(1)} {ver.group(1)}"
    return "unknown"


def git_revision():
    try:
        rev = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True, timeout=60).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, timeout=60).stdout.strip()
        return rev + (" with local changes" if dirty else "") if rev else "unknown"
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def valgrind_version():
    try:
        return subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return None


def machine_lines(iface, tools=None, bus_note=""):
    """The machine, the bus (`iface` and `bus_note`), `tools` (default: the
    compiler of the C++ build and valgrind) and the tree."""
    lines = []
    if in_vcan_vm():
        lines.append(f"tools/vcan-vm guest: qemu with TCG (software emulation), {os.cpu_count()} vCPUs, "
                     f"kernel {platform.release()}, emulated CPU \"{cpu_model()}\"")
        lines.append(f"host: {os.environ.get('TORVANE_BENCH_HOST', 'not recorded')}")
    else:
        lines.append(f"{cpu_model()}, {os.cpu_count()} CPUs, kernel {platform.release()} (native vcan)")
    lines.append(f"bus: {iface} (vcan){bus_note}")
    lines.append(tools or f"built with {compiler_version()}; {valgrind_version() or 'valgrind missing'}")
    lines.append(f"tree: {git_revision()}")
    return lines
