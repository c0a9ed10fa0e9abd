"""Fixtures of the end-to-end tests: one virtual display and one prepared Wine prefix for the
whole run (tests run one after another in it), and per test its own agent folder, loopback
address and scriptable server. Nothing outlives its fixture."""
from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from harness import FakeServer  # noqa: E402
from winenv import E2E_PREFIX_DIR as PREFIX_DIR, Agent, Display, WinePrefix  # noqa: E402
# Every test here may ask for an isolated PC in a network namespace of its own.
from netns_fixtures import isolated_pc, netns_prefix  # noqa: E402,F401


@pytest.fixture(scope="session")
def display():
    d = Display()
    yield d
    d.close()


@pytest.fixture(scope="session")
def prefix(display):
    p = WinePrefix(PREFIX_DIR, display)
    p.prepare()
    p.start()
    yield p
    p.kill()


@pytest.fixture
def server(tmp_path):
    s = FakeServer(tmp_path / "server")
    yield s
    s.stop()


@pytest.fixture
def agents(prefix, tmp_path):
    """Makes agents; any still running at the end of the test is stopped."""
    made: list[Agent] = []

    def make(host_address: str | None = None, folder: Path | None = None, **kw) -> Agent:
        agent = Agent(prefix, folder or tmp_path / f"agent{len(made)}", host_address, **kw)
        made.append(agent)
        return agent

    yield make
    for agent in made:
        agent.stop()
    prefix.clear_recorded_urls()
