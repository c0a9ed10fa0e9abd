"""The local management server as a pytest fixture, for its own tests and the end-to-end ones:
one server process per test, on a loopback address of its own, with the demo database."""
from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

from harness import next_loopback_address  # noqa: E402
from mgmtserver.launch import MgmtServerProcess  # noqa: E402


@pytest.fixture
def mgmt(tmp_path):
    server = MgmtServerProcess(tmp_path / "mgmt", next_loopback_address(), demo=True)
    yield server
    server.stop()
