"""The bus tests' simulator fixtures, for the LeRobot plugin's tests (run with
the venv of tools/lerobot-env, which has LeRobot)."""

import importlib.util
import sys
from pathlib import Path

BUS_TESTS = Path(__file__).resolve().parents[2] / "python" / "bus"
sys.path.insert(0, str(BUS_TESTS))

_spec = importlib.util.spec_from_file_location("bus_fixtures", BUS_TESTS / "conftest.py")
_fixtures = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_fixtures)

dmsim_exe = _fixtures.dmsim_exe
dmsim_iface = _fixtures.dmsim_iface
start_dmsim = _fixtures.start_dmsim
