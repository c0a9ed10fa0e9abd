"""Fixtures for tests that run the agent inside a network namespace of their own.

One Wine prefix serves every namespace test of a run (making one costs 10-20 s); each test gets
a fresh namespace, and the prefix's wineserver and its first client are restarted inside it, so
that the agent sees exactly that namespace's adapters and its sockets stay in it."""
from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path
from typing import Sequence

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from harness import FakeServer  # noqa: E402
from netns import Namespace, leftover_namespaces  # noqa: E402
from winenv import E2E_PREFIX_DIR, Agent, WinePrefix  # noqa: E402

NETNS_PREFIX_DIR = Path(str(E2E_PREFIX_DIR) + "-netns")


@pytest.fixture(scope="session")
def netns_prefix(display):
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("network namespaces need root and iproute2")
    p = WinePrefix(NETNS_PREFIX_DIR, display)
    p.prepare()
    p.kill()
    yield p
    p.netns = None
    p.kill()
    assert not leftover_namespaces()


class IsolatedPc:
    """A namespace with the given adapters, the prefix's wineserver running inside it, and
    (unless `server_address` is None) the scriptable server on a loopback address inside it."""

    def __init__(self, prefix: WinePrefix, folder: Path, adapters: Sequence[str | None],
                 server_address: str | None = "127.0.0.1", routes: dict | None = None,
                 more_addresses: int = 0, never_accept: bool = False):
        self.prefix = prefix
        self.folder = folder
        self.agents: list[Agent] = []
        self.server: FakeServer | None = None
        self.ns = Namespace()
        try:
            self.ns.add_adapters(adapters)
            self.ns.add_loopback_addresses(more_addresses)
            prefix.netns = self.ns.name
            prefix.start()
            if server_address is not None:
                self.server = FakeServer(folder / "server", address=server_address, netns=self.ns.name,
                                         routes=routes, never_accept=never_accept)
        except Exception:
            self.close()
            raise

    def agent(self, host_address: str | None = None, **kw) -> Agent:
        if host_address is None and self.server is not None:
            host_address = self.server.address
        agent = Agent(self.prefix, self.folder / f"agent{len(self.agents)}", host_address, **kw)
        self.agents.append(agent)
        return agent

    def close(self):
        for agent in self.agents:
            agent.stop()
        self.prefix.kill()
        self.prefix.netns = None
        if self.server is not None:
            self.server.stop()
        self.prefix.clear_recorded_urls()
        self.ns.delete()


@pytest.fixture
def isolated_pc(netns_prefix, tmp_path):
    """Makes the test's isolated PC (one per test: the prefix has one wineserver)."""
    made: list[IsolatedPc] = []

    def make(adapters: Sequence[str | None], **kw) -> IsolatedPc:
        assert not made, "one isolated PC per test"
        pc = IsolatedPc(netns_prefix, tmp_path, adapters, **kw)
        made.append(pc)
        return pc

    yield make
    for pc in made:
        pc.close()
