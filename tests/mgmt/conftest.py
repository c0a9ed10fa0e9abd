"""Fixtures of the management server's own tests: one server process per test, on a loopback
address of its own, with an empty database (or the demo one)."""
from __future__ import annotations

import http.client
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tools"))

from harness import next_loopback_address  # noqa: E402
from mgmtserver.launch import MgmtServerProcess  # noqa: E402

# The headers the agent's HTTP client sends, as the server sees them.
AGENT_HEADERS = {
    "User-Agent": "CalderwynHTTPRequest",
    "Cache-Control": "no-cache",
    "Content-Type": "application/x-www-form-urlencoded;",
    "Connection": "Keep-Alive",
}


@pytest.fixture
def mgmt(tmp_path):
    server = MgmtServerProcess(tmp_path / "mgmt", next_loopback_address(), demo=True)
    yield server
    server.stop()


class AgentConnection:
    """One kept-alive connection that posts raw bodies the way the agent does."""

    def __init__(self, address: str):
        self.connection = http.client.HTTPConnection(address, 80, timeout=30)

    def post(self, script: str, body: bytes = b"", headers: dict | None = None) -> tuple[int, bytes]:
        self.connection.request("POST", script, body, {**AGENT_HEADERS, **(headers or {})})
        response = self.connection.getresponse()
        return response.status, response.read()

    def get(self, target: str) -> tuple[int, bytes, str]:
        self.connection.request("GET", target)
        response = self.connection.getresponse()
        return response.status, response.read(), response.getheader("Content-Type", "")

    def close(self):
        self.connection.close()


@pytest.fixture
def agent(mgmt):
    connection = AgentConnection(mgmt.address)
    yield connection
    connection.close()
