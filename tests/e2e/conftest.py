"""Fixtures of the end-to-end tests: one virtual display and one prepared Wine prefix for the
whole run (tests run one after another in it), and per test its own agent folder, loopback
address and scriptable server. Nothing outlives its fixture."""
from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from harness import FakeServer  # noqa: E402
from winenv import E2E_PREFIX_DIR as PREFIX_DIR, NOTES, Agent, Display, WinePrefix, ensure_user, says_what_runs  # noqa: E402
# Every test here may ask for an isolated PC in a network namespace of its own.
from netns_fixtures import isolated_pc, netns_prefix  # noqa: E402,F401


@pytest.fixture(scope="session")
def display():
    d = Display()
    yield d
    d.close()


def started_prefix(display, path: Path, user: str | None = None):
    p = WinePrefix(path, display, user=user)
    p.prepare()
    p.start()
    yield p
    p.kill()


@pytest.fixture(scope="session")
def prefix(display):
    yield from started_prefix(display, PREFIX_DIR)


@pytest.fixture(scope="session")
def dpi_prefix(display):
    """A prefix whose DPI each test sets for itself, beside the one the others share at 96 dpi:
    a change of it starts every program of the prefix again."""
    yield from started_prefix(display, Path(str(PREFIX_DIR) + "-dpi"))


@pytest.fixture(scope="session")
def user_prefix(display):
    """A prefix of an unprivileged user, for what Wine enforces only for such a user: file
    permissions. Its agents run from a folder that user may read but not write."""
    if os.geteuid() != 0:
        pytest.skip("running Wine as another user needs root")
    yield from started_prefix(display, Path(str(PREFIX_DIR) + "-user"), ensure_user("tembrix-e2e"))


@pytest.fixture
def server(tmp_path):
    s = FakeServer(tmp_path / "server")
    yield s
    s.stop()


@pytest.fixture
def servers(tmp_path):
    """Makes further scriptable servers, each on a loopback address of its own."""
    made: list[FakeServer] = []

    def make(**kw) -> FakeServer:
        made.append(FakeServer(tmp_path / f"server{len(made) + 1}", **kw))
        return made[-1]

    yield make
    for s in made:
        s.stop()


class Policy:
    """The agent's policy value in a prefix's registry: the machine's (HKLM) or a user's (HKCU)."""
    KEY = r"Software\Policies\Tembrix"
    TYPES = {"REG_SZ": 1, "REG_EXPAND_SZ": 2}
    HIVES = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER"}

    def __init__(self, prefix: WinePrefix, folder: Path):
        self.prefix = prefix
        self.folder = folder

    def set(self, value: str, kind: str = "REG_SZ", hive: str = "HKLM"):
        """Any text, control characters included: imported as the bytes of a .reg file."""
        data = ",".join(f"{b:02x}" for b in (value + "\0").encode("utf-16-le"))
        reg = self.folder / "policy.reg"
        reg.write_text(f'Windows Registry Editor Version 5.00\r\n\r\n[{self.HIVES[hive]}\\{self.KEY}]\r\n'
                       f'"HostAddress"=hex({self.TYPES[kind]}):{data}\r\n', encoding="utf-16")
        self.prefix.run(["wine", "reg", "import", self.prefix.windows_path(reg)])

    def remove(self, hive: str = "HKLM"):
        self.prefix.run(["wine", "reg", "delete", f"{hive}\\{self.KEY}", "/f"], check=False)


@pytest.fixture
def policy(prefix, tmp_path):
    """Sets the agent's policy in the shared prefix; gone again at the end, for every later test."""
    p = Policy(prefix, tmp_path)
    yield p
    for hive in ("HKLM", "HKCU"):
        p.remove(hive)


@pytest.fixture
def agents(prefix, tmp_path):
    """Makes agents (in `prefix`, or in the one given); any still running at the end of the test
    is stopped."""
    made: list[Agent] = []

    def make(host_address: str | None = None, folder: Path | None = None, prefix: WinePrefix = prefix,
             **kw) -> Agent:
        if folder is None and prefix.user is not None:
            # Where programs are installed: the user reads there, only root writes.
            folder = prefix.path / "drive_c" / "Program Files" / f"{tmp_path.name}-{len(made)}"
        agent = Agent(prefix, folder or tmp_path / f"agent{len(made)}", host_address, **kw)
        made.append(agent)
        return agent

    yield make
    for agent in made:
        agent.stop()
        agent.prefix.clear_recorded_urls()
        if agent.prefix.user is not None:
            shutil.rmtree(agent.folder, ignore_errors=True)


def pytest_terminal_summary(terminalreporter):
    terminalreporter.write_line(says_what_runs("end-to-end tests ran"))
    for note in sorted(NOTES):
        terminalreporter.write_line(note)
