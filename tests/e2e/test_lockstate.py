"""Lock-state publishing on the real agent: the permission poller's queries as the server logs
them, and the lock-state pipe as its reader (tools/pipemon.exe, standing in for the USB-lock
component) sees it."""
from __future__ import annotations

import contextlib
import re
import subprocess
import time
from datetime import datetime, timezone
from pathlib import Path

import pytest

from harness import TRICKLE
from winenv import end_process, wait_for

PERMISSION = "/Tembrix/permission_load.php"
PUBLISH_PERIOD = 2.0
POLL_PAUSE = 10.0
GRANTED = (5, "TRUE\\0")
REFUSED = (6, "FALSE\\0")


def parse_stamp(text: str) -> float:
    return datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc).timestamp()


class PipeMonitor:
    """One run of pipemon.exe in the test's prefix; its lines go to a file of the test."""

    def __init__(self, prefix, folder: Path, *options):
        folder.mkdir(parents=True, exist_ok=True)
        self.path = folder / f"pipemon-{time.monotonic_ns()}.txt"
        self._out = open(self.path, "wb")
        self.process = prefix.popen(["wine", prefix.tool("pipemon"), *map(str, options)],
                                    stdout=self._out, stderr=subprocess.DEVNULL)

    def lines(self) -> list[tuple[float, str, str]]:
        """(time, length or '#', rest) per complete line."""
        text = self.path.read_bytes().decode("ascii", "replace")
        parsed = []
        for line in text.splitlines(keepends=True):
            if not line.endswith("\n"):
                break  # still being written
            stamp, kind, rest = (line.rstrip("\r\n").split(" ", 2) + ["", ""])[:3]
            parsed.append((parse_stamp(stamp), kind, rest))
        return parsed

    def messages(self) -> list[tuple[float, int, str]]:
        return [(t, int(kind), rest) for t, kind, rest in self.lines() if kind != "#"]

    def status_time(self, word: str) -> float | None:
        return next((t for t, kind, rest in self.lines() if kind == "#" and rest.split(" ")[0] == word), None)

    def wait_messages(self, count: int, timeout: float) -> list[tuple[float, int, str]]:
        return wait_for(lambda: (lambda m: m if len(m) >= count else None)(self.messages()), timeout,
                        step=0.1, what=f"{count} pipe message(s)")

    def wait_status(self, word: str, timeout: float) -> float:
        return wait_for(lambda: self.status_time(word), timeout, step=0.1, what=f"pipemon '{word}'")

    def wait_exit(self, timeout: float) -> int:
        try:
            return self.process.wait(timeout)
        finally:
            self._out.close()

    def stop(self):
        end_process(self.process, 10)
        self._out.close()


@pytest.fixture
def monitors(prefix, tmp_path):
    made: list[PipeMonitor] = []

    def make(*options) -> PipeMonitor:
        monitor = PipeMonitor(prefix, tmp_path / "pipemon", *options)
        made.append(monitor)
        return monitor

    yield make
    for monitor in made:
        monitor.stop()


@contextlib.contextmanager
def pipe_name_held(prefix, tmp_path: Path):
    """pipehold.exe serving the pipe's name, with the only instance it allows, for the block."""
    holder_out = tmp_path / "pipehold.txt"
    with open(holder_out, "wb") as out:
        holder = prefix.popen(["wine", prefix.tool("pipehold")], stdout=out, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: holder_out.read_bytes().startswith(b"holding") or holder.poll() is not None, 30,
                 what="the pipe's name taken")
        assert holder.poll() is None, holder_out.read_bytes()
        yield holder
    finally:
        end_process(holder, 10)


def answers(*bodies, delay: float = 0.0) -> dict:
    """A permission route answering the given texts in turn, the last one repeating."""
    return {"sequence": [dict({"body": b} if isinstance(b, str) else b, delay=delay) for b in bodies]}


def value(message) -> tuple[int, str]:
    return message[1], message[2]


def runs(values: list) -> list:
    """The values with repeats folded: [a, a, b, a] -> [a, b, a]."""
    return [v for i, v in enumerate(values) if i == 0 or values[i - 1] != v]


def output_lines(agent) -> list[str]:
    return [line for line in agent.output().splitlines() if line]


def test_permission_answers_reach_the_pipe_on_the_poll_and_publish_cadence(agents, server, monitors):
    # Every answer takes half a second, so the pause after each query shows in the intervals.
    query = 0.5
    bodies = ["FALSE", "FALSE", "TRUE", "TRUE", "true", "TRUE", "", "TRUE"]
    granted = [b == "TRUE" for b in bodies]
    server.answer(PERMISSION, **answers(*bodies, delay=query))
    monitor = monitors("--exit-after", 300000)  # waits for the pipe to appear
    agent = agents(server.address).start()
    agent.wait_window()

    polls = server.wait_requests(PERMISSION, len(bodies), timeout=len(bodies) * (POLL_PAUSE + 3) + 30)
    times = [p["time"] for p in polls]
    wait_for(lambda: any(value(m) == GRANTED for m in monitor.messages() if m[0] > times[-1] + query),
             PUBLISH_PERIOD + 5, what="the last TRUE on the pipe")

    # The server goes away: the next poll withdraws the permission.
    server.stop()
    gone = time.time()
    refused = wait_for(lambda: next((m for m in monitor.messages() if m[0] > gone and value(m) == REFUSED), None),
                       POLL_PAUSE + PUBLISH_PERIOD + 15, what="FALSE after the server went away")

    # Start-up's query and the poller's first, back to back; then one per pause plus query.
    intervals = [b - a for a, b in zip(times, times[1:])]
    print(f"\npermission queries: {len(times)} over {times[-1] - times[0]:.1f} s; "
          f"intervals {[round(i, 2) for i in intervals]}")
    assert times[-1] - times[1] >= 60
    assert intervals[0] < query + 1.5
    for interval in intervals[1:]:
        assert POLL_PAUSE + query - 0.1 <= interval <= POLL_PAUSE + query + 1.5
    print(f"unreachable server: FALSE {refused[0] - gone:.1f} s after it stopped")
    assert refused[0] - (times[-1] + query) <= POLL_PAUSE + query + PUBLISH_PERIOD + 1.5

    messages = [m for m in monitor.messages() if m[0] <= gone]
    assert {value(m) for m in messages} == {GRANTED, REFUSED}
    gaps = [b[0] - a[0] for a, b in zip(messages, messages[1:])]
    print(f"pipe messages: {len(messages)}, gaps {min(gaps):.2f} .. {max(gaps):.2f} s, "
          f"mean {sum(gaps) / len(gaps):.3f} s")
    assert all(PUBLISH_PERIOD - 1.0 <= gap <= PUBLISH_PERIOD + 1.0 for gap in gaps)
    assert abs(sum(gaps) / len(gaps) - PUBLISH_PERIOD) < 0.15

    # Each message carries the latest answer. A message written while an answer was being taken
    # in may show either side (a loaded machine stalls Wine's threads for a moment now and then).
    answered = [t + query for t in times]
    for stamp, length, text in messages:
        if any(-0.3 < stamp - a < 1.0 for a in answered):
            continue
        latest = max(i for i, a in enumerate(answered) if a < stamp)
        assert (length, text) == (GRANTED if granted[latest] else REFUSED), f"message at poll {latest}"
    # ...and each change of answer reaches the pipe within one publish period.
    for i, a in enumerate(answered[1:], start=1):
        if granted[i] != granted[i - 1]:
            first = next(m for m in messages if m[0] > a - 0.3 and value(m) == (GRANTED if granted[i] else REFUSED))
            assert first[0] - a <= PUBLISH_PERIOD + 1.0
    # TRUE came within one pause plus one query (plus one publish) of the poll that preceded it.
    first_true = next(m for m in messages if value(m) == GRANTED)
    assert first_true[0] - answered[1] <= POLL_PAUSE + query + PUBLISH_PERIOD + 1.0

    assert agent.close() == 0
    assert monitor.wait_exit(30) == 0  # the agent's shutdown ended the reader's pipe
    assert monitor.status_time("ended") is not None


def test_reader_that_stops_reading_gets_every_queued_message_oldest_first(agents, server, monitors):
    server.answer(PERMISSION, **answers("FALSE", "FALSE", "TRUE", "FALSE"))
    pause = 30.0
    monitor = monitors("--pause-after-first", int(pause * 1000), "--exit-after", 300000)
    agent = agents(server.address).start()
    agent.wait_window()
    resumed = monitor.wait_status("resumed", pause + 60)
    first = monitor.messages()[0]

    # What was written during the pause comes in one burst once the reader reads again.
    expected = round(pause / PUBLISH_PERIOD)
    backlog = wait_for(lambda: (lambda b: b if len(b) >= expected - 1 else None)(
        [m for m in monitor.messages()[1:] if m[0] < resumed + 0.2]), 10, what="the backlog")
    later = monitor.wait_messages(len(backlog) + 3, PUBLISH_PERIOD * 2 + 5)[len(backlog) + 1:]
    print(f"\nbacklog after a {pause:.0f} s pause: {len(backlog)} messages, "
          f"{[v[1][:-2] for v in runs([value(m) for m in backlog])]}")
    assert expected - 1 <= len(backlog) <= expected + 1
    # FALSE, then TRUE from the third poll, then FALSE again: in the order they were written.
    assert value(first) == REFUSED
    assert runs([value(m) for m in backlog]) == [REFUSED, GRANTED, REFUSED]
    assert all(value(m) == REFUSED for m in later)
    assert agent.close() == 0


def test_reader_comes_and_goes_and_failures_are_reported(agents, server, monitors):
    server.answer(PERMISSION, "TRUE")
    agent = agents(server.address).start()
    agent.wait_window()

    # No reader yet: one failure line per cycle, and the agent runs on.
    seen: list[float] = []

    def failures():
        lines = [l for l in output_lines(agent) if l.startswith("fail to WriteFile, ")]
        while len(seen) < len(lines):
            seen.append(time.monotonic())
        return lines if len(lines) >= 4 else None

    lines = wait_for(failures, 30, step=0.05, what="four failure lines")
    gaps = [b - a for a, b in zip(seen, seen[1:])]
    print(f"\nfailure lines without a reader: {lines[:4]}, gaps {[round(g, 2) for g in gaps]}")
    assert lines[:4] == ["fail to WriteFile, 536"] * 4  # ERROR_PIPE_LISTENING
    assert all(PUBLISH_PERIOD - 1.0 <= g <= PUBLISH_PERIOD + 1.0 for g in gaps)
    assert agent.running()

    # A reader takes two messages and closes its end; a later reader is served all the same.
    reader = monitors("--count", 2, "--exit-after", 60000)
    assert reader.wait_exit(30) == 0
    assert [value(m) for m in reader.messages()] == [GRANTED] * 2
    wait_for(lambda: any(l == "fail to WriteFile, 232" for l in output_lines(agent)), 15,
             what="the failed write to the closed reader")  # ERROR_NO_DATA
    again = monitors("--count", 3, "--exit-after", 60000)
    assert again.wait_exit(30) == 0
    got = again.messages()
    assert [value(m) for m in got] == [GRANTED] * 3
    assert all(PUBLISH_PERIOD - 1.0 <= b[0] - a[0] <= PUBLISH_PERIOD + 1.0 for a, b in zip(got, got[1:]))
    assert agent.running()
    assert agent.close() == 0


def test_close_is_prompt_while_the_server_trickles_and_the_reader_does_not_read(agents, server, monitors):
    # Start-up's and the first poll are answered; the next poll's answer comes one byte every
    # 2 s: the poller is inside WinINet, reading, when the agent is told to end.
    server.answer(PERMISSION, **answers("TRUE", "TRUE", TRICKLE))
    monitor = monitors("--pause-after-first", 600000)
    agent = agents(server.address).start()
    agent.wait_window()
    monitor.wait_status("paused", 30)
    server.wait_requests(PERMISSION, 3, timeout=POLL_PAUSE + 30)
    # The reader stopped reading some ten seconds ago: messages are queued in the pipe.
    agent.settings.unlink()  # written anew by the shutdown

    started = time.monotonic()
    agent.post(0x0010)  # WM_CLOSE
    posted = time.monotonic()
    code = agent.wait_exit(60)
    ended = time.monotonic()
    print(f"\nexit after WM_CLOSE (trickling answer, reader not reading): {ended - posted:.3f} s "
          f"({ended - started:.3f} s including the post)")
    assert code == 0
    assert ended - posted < 10  # the bound that matters: neither the request's 30 s nor for ever
    assert f"HostAddress={server.address}" in agent.settings_text()


def test_a_reader_naming_the_server_image_reads_the_agent_and_refuses_stand_ins(agents, server, monitors, prefix,
                                                                               tmp_path):
    server.answer(PERMISSION, "TRUE")
    agent = agents(server.address).start()
    agent.wait_window()
    image = prefix.windows_path(agent.exe)
    # Windows compares paths without regard to case, and so does the check.
    reader = monitors("--server-image", image.swapcase(), "--count", 1, "--exit-after", 60000)
    assert reader.wait_exit(30) == 0
    assert re.fullmatch(rf"accepted \d+ {re.escape(image)}", reader.lines()[0][2]), reader.lines()
    assert [value(m) for m in reader.messages()] == [GRANTED]
    assert agent.close() == 0

    def refused_line() -> str:
        reader = monitors("--server-image", image, "--exit-after", 60000)
        assert reader.wait_exit(30) == 3
        lines = reader.lines()
        assert len(lines) == 1 and lines[0][1] == "#", lines  # one line, and nothing read
        return lines[0][2]

    # The same program from another folder, with a settings file of its own: the path, not the
    # name, tells it apart.
    copy = agents(server.address).start()
    copy.wait_window()
    assert re.fullmatch(rf"refused \d+ {re.escape(prefix.windows_path(copy.exe))}", refused_line())
    assert copy.close() == 0
    with pipe_name_held(prefix, tmp_path):
        assert re.fullmatch(rf"refused \d+ {re.escape(prefix.tool('pipehold'))}", refused_line())
