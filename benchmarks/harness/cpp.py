"""The C++ benchmark programs (benchmarks/CMakeLists.txt): building them
and reading the JSON they print."""

import json
import os
import shlex
import subprocess

from . import ROOT

FLOOR_BUILD = ROOT / "build" / "bench-floor"


def build(log, targets=("exchange_floor",)):
    cmake = os.environ.get("CMAKE", "cmake")
    if not (FLOOR_BUILD / "CMakeCache.txt").exists():
        log(f"configuring the C++ floor in {FLOOR_BUILD.relative_to(ROOT)}")
        subprocess.run([cmake, "-S", str(ROOT), "-B", str(FLOOR_BUILD), "-DTORVANE_BUILD_BENCHMARKS=ON",
                        "-DTORVANE_BUILD_MODULE=OFF", "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(FLOOR_BUILD), "--target", *targets, "-j2"], check=True,
                   stdout=subprocess.DEVNULL)


def run_json(argv):
    """What the program prints on stdout, a JSON object; its "error", or its
    stderr when it printed nothing, raised."""
    out = subprocess.run(argv, capture_output=True, text=True)
    result = json.loads(out.stdout) if out.stdout.strip() else {"error": out.stderr.strip()}
    if out.returncode != 0 or "error" in result:
        raise RuntimeError(f"{shlex.join(argv)} failed: {result.get('error')}")
    return result
