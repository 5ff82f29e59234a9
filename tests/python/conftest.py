"""Shared pytest setup: make sure the suite runs against the installed module."""

import signal
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
    # A run started in the background of a non-interactive shell inherits
    # SIGINT ignored; the tests that send themselves Ctrl-C need Python's own.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_report_header(config):
    return f"torvane {torvane.__version__} from {torvane.__file__}"
