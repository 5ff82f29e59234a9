"""What the benchmarks in this folder share: running and reading their
programs, timing, callgrind, memory, the machine, and writing BENCHMARKS.md.
A benchmark puts its own folder on sys.path and imports from here."""

from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
