"""Where the shipped models are: inside the installed package, or in the
source tree's models/ when the package is imported from there."""

from pathlib import Path

_HERE = Path(__file__).resolve().parent


def _models_dir() -> Path:
    installed = _HERE / "models"
    return installed if installed.is_dir() else _HERE.parents[1] / "models"


MODELS = _models_dir()
ARM = MODELS / "arm.xml"
TWO_ARMS = MODELS / "two_arms.xml"
