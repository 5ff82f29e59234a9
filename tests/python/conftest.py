"""Shared pytest setup: make sure the suite runs against the installed module."""

import sysconfig
from pathlib import Path

import pytest
import torvane

_SITE = Path(sysconfig.get_path("platlib")).resolve()


def pytest_configure(config):
    # A stray build product on sys.path would shadow the wheel under test.
    where = Path(torvane.__file__).resolve()
    if not where.is_relative_to(_SITE):
        raise pytest.UsageError(f"torvane imported from {where}, not from the installed wheel in {_SITE}")


def pytest_report_header(config):
    return f"torvane {torvane.__version__} from {torvane.__file__}"
