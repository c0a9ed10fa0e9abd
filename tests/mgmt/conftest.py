"""Fixtures of the management server's own tests: one server process per test, on a loopback
address of its own with the demo database (tests/mgmt_fixtures.py), and the agent's way of posting."""
from __future__ import annotations

import http.client
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tools"))

from mgmt_fixtures import mgmt  # noqa: E402,F401  (fixture)

# The headers the agent's HTTP client sends, as the server sees them.
AGENT_HEADERS = {
    "User-Agent": "CalderwynHTTPRequest",
    "Cache-Control": "no-cache",
    "Content-Type": "application/x-www-form-urlencoded;",
    "Connection": "Keep-Alive",
}


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
