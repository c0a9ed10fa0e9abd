"""A PC shared by several users: one agent per session, one publisher of the lock state per machine.
Wine has one session; another session's agent is played by an uncounted copy of the exe
(Tembrix2.exe) in the same prefix, which the duplicate-run guard lets start. Which agent serves a
reader is what the reader itself finds out (pipemon.exe --server-image, through
GetNamedPipeServerProcessId)."""
from __future__ import annotations

import time

import pytest

from harness import FakeServer
from test_instances import agent_icons
from test_lockstate import GRANTED, PERMISSION, REFUSED, monitors, output_lines, pipe_name_held, value  # noqa: F401
from traykit import Tray, start_agent
from winenv import WM_CLOSE, wait_for

# What "within a few seconds" means here: a reader is served at the next cycle after the role or
# the name has come free. Generous: Wine on a loaded machine stalls now and then.
TAKE_OVER_BOUND = 10.0


def served_by(monitors, prefix, agent, count: int = 1):
    """A reader that reads `count` messages from a pipe served by `agent` and no one else."""
    return monitors("--server-image", prefix.windows_path(agent.exe), "--count", count, "--exit-after", 60000)


def first_message_after(reader, since: float) -> float:
    assert reader.wait_exit(30) == 0, reader.lines()
    return reader.messages()[0][0] - since


@pytest.mark.parametrize("end", ["close", "kill"])
def test_the_agent_beside_the_publisher_keeps_its_tray_and_takes_over_when_it_ends(agents, server, prefix, monitors,
                                                                                   tmp_path, end):
    server.answer(PERMISSION, "FALSE")
    tray = Tray(prefix)
    first = start_agent(agents, server, tray)
    other_server = FakeServer(tmp_path / "other-server")
    try:
        other_server.answer(PERMISSION, "TRUE")
        second = agents(other_server.address, exe_name="Tembrix2.exe").start()
        wait_for(lambda: len(agent_icons(tray)) == 2, 60, what="the second agent's icon")
        other_server.wait_requests("/Tembrix/connect_check.php")

        # Two readers, the second waiting while the first holds the pipe's only free instance:
        # both are served by the first agent, with its answer. The second agent writes nothing.
        holding = served_by(monitors, prefix, first, count=2)
        holding.wait_status("connected", 30)
        waiting = served_by(monitors, prefix, first)
        for reader in (holding, waiting):
            assert reader.wait_exit(30) == 0, reader.lines()
            assert {value(m) for m in reader.messages()} == {REFUSED}
        assert output_lines(second) == []

        # The publisher ends; the agent beside it serves the next reader with its own answer.
        if end == "close":
            tray.d("post", first.window["hwnd"], WM_CLOSE, 0, 0)
        else:
            first.process.kill()  # a crash: the role is abandoned, not given
        first.wait_exit(60)
        ended = time.time()
        reader = served_by(monitors, prefix, second)
        took = first_message_after(reader, ended)
        print(f"\nafter the publisher's {end}: the next reader served by the other agent {took:.2f} s later")
        assert [value(m) for m in reader.messages()] == [GRANTED]
        assert took < TAKE_OVER_BOUND
        assert second.close() == 0
    finally:
        other_server.stop()


def test_a_pipe_name_held_by_another_program_is_waited_for_with_the_tray_up(agents, server, prefix, monitors,
                                                                            tmp_path):
    server.answer(PERMISSION, "TRUE")
    tray = Tray(prefix)
    with pipe_name_held(prefix, tmp_path):
        agent = start_agent(agents, server, tray)
        # Two polls later (some ten seconds, five cycles) the failure has been said once.
        server.wait_requests(PERMISSION, 3, timeout=60)
        assert output_lines(agent) == ["fail to CreateNamedPipe(), 231"]  # ERROR_PIPE_BUSY
        assert agent.running()
    freed = time.time()

    reader = served_by(monitors, prefix, agent)
    took = first_message_after(reader, freed)
    print(f"\nthe name came free: the agent's first message {took:.2f} s later")
    assert [value(m) for m in reader.messages()] == [GRANTED]
    assert took < TAKE_OVER_BOUND
    assert output_lines(agent)[0] == "fail to CreateNamedPipe(), 231"
    assert "fail to CreateNamedPipe(), 231" not in output_lines(agent)[1:]
    assert agent.close() == 0
