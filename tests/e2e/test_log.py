"""The agent's log (%LOCALAPPDATA%\\Tembrix\\Tembrix.log) and the events it also hands to the
Windows event log, on the real exe: what a run says, rotation, a log that cannot be written, and
what is never written. Under Wine 8, ReportEventW stores nothing but prints each call on the
`fixme:advapi` channel and each string on `eventlog`, which the agent's standard error keeps."""
from __future__ import annotations

import re
import shutil
import time
import urllib.parse
from datetime import datetime, timedelta, timezone

import pytest

from harness import TRICKLE, FakeServer, log_event
from traykit import (LOCKED, MESSAGE, MESSAGE_EDIT, MESSAGE_POST, PERMISSION, SETTINGS, SETTINGS_EDIT, Tray,
                     popup_texts, start_agent)
from winenv import ROOT, WM_CLOSE, WM_COMMAND, wait_for

EVENT_LOG_DEBUG = "-all,fixme+advapi,+eventlog"
WM_ENDSESSION = 0x0016
IDM_EXIT, IDM_REGISTER = 32774, 32776
BOM = b"\xef\xbb\xbf"
MIB = 1024 * 1024
SEOUL = timezone(timedelta(hours=9))
FAIL_LINE = re.compile(r"fail to write C:\\users\\[^\\]+\\AppData\\Local\\Tembrix\\Tembrix\.log, \d+")


def project_version() -> str:
    return re.search(r"project\(Tembrix VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text()).group(1)


def events(agent) -> list[tuple[str, str, str, dict]]:
    return [log_event(line) for line in agent.log_lines()]


def one(agent, event: str) -> dict:
    [line] = agent.wait_log(event)
    return log_event(line)[3]


def reported_events(stderr: str) -> list[tuple[int, int, list[str]]]:
    """(type, event ID, insertion strings) of each ReportEventW call, as Wine prints them."""
    calls = []
    for line in stderr.splitlines():
        call = re.search(r"fixme:advapi:ReportEventW \(\w+,0x(\w+),0x\w+,0x(\w+),", line)
        if call:
            calls.append((int(call.group(1), 16), int(call.group(2), 16), []))
        string = re.search(r':eventlog:ReportEventW L"(.*)"$', line)
        if string and calls:
            calls[-1][2].append(string.group(1))
    return calls


def windows_folded(path: str) -> str:
    """A path as the agent names its settings file: the folder's ASCII letters in lower case."""
    return "".join(c.lower() if c.isascii() else c for c in path)


@pytest.mark.parametrize("how, by", [("close", "WM_CLOSE"), ("command", "command-32774"),
                                     ("session", "end-of-session")])
def test_a_run_says_where_it_started_which_terminal_it_is_and_what_stopped_it(agents, server, tmp_path, how, by):
    # A folder name with a blank and Hangul: a quoted value, written as UTF-8 from code page 949.
    agent = agents(server.address, folder=tmp_path / "에이전트 폴더")
    agent.start(winedebug=EVENT_LOG_DEBUG, env={"TZ": "Asia/Seoul"})
    agent.wait_window()
    started = one(agent, "start")
    assert started == {"version": project_version(), "exe": agent.prefix.windows_path(agent.exe),
                       "settings": windows_folded(agent.prefix.windows_path(agent.settings)),
                       "managed": "no", "source": "file", "host": server.address, "tls": "no"}
    terminal = one(agent, "terminal")
    asked = server.wait_requests(PERMISSION)[0]["body"]
    assert asked == f"m={terminal['address']}"
    assert terminal["registered"] == "yes" and terminal["candidates"].endswith(f"{terminal['address']}:yes")
    assert int(terminal["offered"]) == terminal["candidates"].count(",") + 1

    agent.settings.unlink()  # written back by the shutdown, whatever asked for it
    if how == "close":
        agent.post(WM_CLOSE)
    elif how == "command":
        agent.post(WM_COMMAND, IDM_EXIT)
    else:
        agent.post(WM_ENDSESSION, 1)
    assert agent.wait_exit(60) == 0
    stopped = one(agent, "stop")
    stages = ("publisher-ms", "pipe-ms", "poller-ms", "link-ms", "settings-ms")
    assert set(stopped) == {"by", *stages, "total-ms", "left", "exit"}
    assert (stopped["by"], stopped["left"], stopped["exit"]) == (by, "none", "0")
    assert int(stopped["total-ms"]) == sum(int(stopped[s]) for s in stages) < 1000
    assert f"HostAddress={server.address}" in agent.settings_text()

    lines = events(agent)
    assert [(e, f.get("what")) for _, _, e, f in lines] == [
        ("start", None), ("terminal", None), ("state", None), ("pipe", "role-taken"), ("pipe", "created"),
        ("pipe", "role-released"), ("stop", None)]
    assert lines[2][3] == {"pipe": "FALSE", "cause": "answer", "said": "FALSE"}
    assert {level for _, level, _, _ in lines} == {"INFO"}
    now = datetime.now(SEOUL)
    for stamp, _, _, _ in lines:
        assert stamp.endswith("+09:00")
        assert abs(datetime.fromisoformat(stamp) - now) < timedelta(minutes=2)
    raw = agent.log_bytes()
    assert raw.count(b"\n") == raw.count(b"\r\n") == len(lines)

    # Start, the relayed word and stop, and nothing else, in the event log: information, IDs 1, 3
    # and 2, each field of the line an insertion string.
    reported = reported_events(agent.stderr())
    assert [(kind, number) for kind, number, _ in reported] == [(4, 1), (4, 3), (4, 2)]
    assert f"host={server.address}" in reported[0][2] and "tls=no" in reported[0][2]
    assert reported[2][2][:1] == [f"by={by}"] and "exit=0" in reported[2][2]


@pytest.mark.parametrize("size", [MIB + 1, MIB - 16], ids=["over", "no-room-for-a-line"])
def test_a_full_log_becomes_tembrix_log_1_and_a_new_one_begins(agents, server, prefix, size):
    log = prefix.log_file()
    old = log.with_name("Tembrix.log.1")
    log.parent.mkdir(parents=True, exist_ok=True)
    old.write_bytes(BOM + b"an older log\r\n")
    filler = b"2026-12-01T00:00:00.000+09:00 INFO filler n=1\r\n"
    full = (BOM + filler * (size // len(filler) + 1))[:size]
    log.write_bytes(full)
    agent = agents(server.address).start()
    agent.wait_window()
    agent.wait_log("terminal")
    assert old.read_bytes() == full
    assert log.read_bytes().startswith(BOM + agent.log_lines()[0].encode())
    assert log_event(agent.log_lines()[0])[2] == "start"
    assert sorted(p.name for p in log.parent.iterdir()) == ["Tembrix.log", "Tembrix.log.1"]
    assert agent.close() == 0
    agent.wait_log("stop")
    assert log.stat().st_size < 4096


def test_a_log_that_cannot_be_written_costs_the_relay_nothing_but_one_line_per_streak(agents, server, prefix):
    folder = prefix.log_file().parent
    shutil.rmtree(folder, ignore_errors=True)
    folder.write_bytes(b"a file where the log's folder belongs")
    try:
        server.answer(PERMISSION, "TRUE")
        agent = agents(server.address).start()
        agent.wait_window()
        pipe = prefix.run(["wine", prefix.tool("pipemon"), "--until", "TRUE", "--exit-after", "60000"],
                          timeout=120, check=False)
        assert pipe.returncode == 0 and b" 5 TRUE\\0" in pipe.stdout, pipe.stdout
        wait_for(lambda: FAIL_LINE.search(agent.output()), 30, what="the log's fail line")

        # Once the folder can be made, the next line is written, with no restart.
        folder.unlink()
        agent.post(WM_COMMAND, IDM_REGISTER)
        assert log_event(agent.wait_log("register-form")[0])[3]["opened"] == "yes"
        assert [event for _, _, event, _ in events(agent)] == ["register-form"]  # the rest were dropped

        # A new failure is said again, once for all its lines.
        shutil.rmtree(folder)
        folder.write_bytes(b"again")
        agent.post(WM_COMMAND, IDM_REGISTER)
        wait_for(lambda: len(prefix.recorded_urls()) == 2, 60, what="the second registration form")
        assert agent.close() == 0
        fails = [line for line in agent.output().splitlines() if line.startswith("fail to write")]
        assert len(fails) == 2 and all(FAIL_LINE.fullmatch(line) for line in fails), agent.output()
        assert all(line.startswith(("fail to write", "fail to WriteFile")) for line in agent.output().splitlines())
        assert f"HostAddress={server.address}" in agent.settings_text()
    finally:
        if folder.is_file():
            folder.unlink()


def test_the_dialogs_and_the_form_say_what_they_did_and_never_what_the_message_said(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    # A typed address that tries to close its quote and add a field of its own.
    typed = f'{server.address}" x=1 한'
    for entry in (typed, server.address):
        tray.choose(32772)
        tray.dialog(SETTINGS)
        tray.set_text(SETTINGS, SETTINGS_EDIT, entry)
        tray.d("click", SETTINGS, 1)
        tray.gone(SETTINGS)
    saved = [fields for _, _, event, fields in events(agent) if event == "settings"]
    assert saved == [{"result": "saved", "old": server.address, "new": typed},
                     {"result": "saved", "old": typed, "new": server.address}]

    text = "비밀 이야기 s3cr3t-7731"
    tray.choose(32793)
    tray.dialog(MESSAGE)
    tray.set_text(MESSAGE, MESSAGE_EDIT, text)
    tray.d("click", MESSAGE, 1)
    tray.gone(MESSAGE)
    assert server.requests(MESSAGE_POST)
    assert one(agent, "message") == {"sent": "yes", "length": str(len(text.encode("cp949")))}

    agent.post(WM_COMMAND, IDM_REGISTER)
    form = one(agent, "register-form")
    wait_for(lambda: prefix.recorded_urls(), 60, what="the registration form")
    assert form == {"opened": "yes", "address": prefix.recorded_urls()[-1]}
    assert agent.close() == 0

    raw = agent.log_bytes()
    for secret in (text.encode(), text.encode("cp949"), urllib.parse.quote(text).encode(), b"s3cr3t"):
        assert secret not in raw


# One poll (10 s), one request's deadline (30 s), and a loaded machine's stalls.
ONE_POLL_OR_DEADLINE = 90
# What the status menu says below the state, by what the log says (the helpdesk reads both).
REASONS = {"refused": "서버에 연결할 수 없습니다", "connect-timeout": "서버가 응답하지 않습니다",
           "deadline": "서버가 응답하지 않습니다", "cut-short": "서버의 응답이 올바르지 않습니다"}


def state_fields(agent, count: int, timeout: float = ONE_POLL_OR_DEADLINE) -> dict:
    return log_event(agent.wait_log("state", count, timeout=timeout)[count - 1])[3]


def break_server(fault: str, server: FakeServer, folder) -> FakeServer:
    """What becomes of the server once the agent runs; the server that then answers, if any."""
    if fault in ("refused", "connect-timeout"):
        server.stop()
        return FakeServer(folder, address=server.address, never_accept=True) if fault == "connect-timeout" else server
    server.answer(PERMISSION, **{"deadline": TRICKLE,
                                 "cut-short": {"body": "TRUE", "headers": [["Content-Length", "100"]],
                                               "close_after": True},
                                 "false": {"body": "FALSE"}}[fault])
    return server


@pytest.mark.parametrize("fault", ["refused", "connect-timeout", "deadline", "cut-short", "false"])
def test_each_lock_says_why_in_the_log_and_below_the_state(agents, server, prefix, tmp_path, fault):
    server.answer(PERMISSION, "TRUE")
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    assert state_fields(agent, 1) == {"pipe": "TRUE", "cause": "answer", "said": "TRUE"}
    answering = break_server(fault, server, tmp_path / "broken")
    try:
        changed = state_fields(agent, 2)
        cause = "answer" if fault == "false" else fault
        assert (changed["pipe"], changed["cause"]) == ("FALSE", cause), changed
        # The server's own "no" needs no reason; every other one says it below the state.
        reason = [f"{REASONS[cause]} ({cause})"] if cause in REASONS else []
        assert popup_texts(tray.status()) == [LOCKED, *reason]
        assert agent.close() == 0
    finally:
        answering.stop()


def test_a_failing_minute_costs_a_line_an_unchanged_one_none_and_a_return_says_so(agents, server, tmp_path):
    server.answer(PERMISSION, "TRUE")
    agent = agents(server.address).start(winedebug=EVENT_LOG_DEBUG)
    agent.wait_window()
    state_fields(agent, 1)
    server.stop()
    assert state_fields(agent, 2) == {"pipe": "FALSE", "cause": "refused", "error": "ERROR_INTERNET_CANNOT_CONNECT"}
    said = len(agent.log_lines())
    # A minute is what is measured: six polls of the same failure say nothing more.
    time.sleep(60)
    assert len(agent.log_lines()) == said, agent.log_lines()[said:]
    back = FakeServer(tmp_path / "back", address=server.address, routes=server.routes)
    try:
        recovered = log_event(agent.wait_log("recovered", timeout=ONE_POLL_OR_DEADLINE)[0])[3]
        assert recovered["pipe"] == "TRUE" and int(recovered["failed-seconds"]) >= 60, recovered
        assert int(recovered["failed-requests"]) >= 6, recovered
        assert state_fields(agent, 3) == {"pipe": "TRUE", "cause": "answer", "said": "TRUE"}
        said = len(agent.log_lines())
        time.sleep(60)  # and a minute of the same answer says nothing at all
        assert len(agent.log_lines()) == said, agent.log_lines()[said:]
        assert agent.close() == 0
    finally:
        back.stop()
    # Each change of the relayed word reaches the event log with its cause, and so does the return.
    reported = reported_events(agent.stderr())
    assert [number for _, number, _ in reported] == [1, 3, 3, 4, 3, 2], reported
    states = [strings for _, number, strings in reported if number == 3]
    assert [s[:2] for s in states] == [["pipe=TRUE", "cause=answer"], ["pipe=FALSE", "cause=refused"],
                                       ["pipe=TRUE", "cause=answer"]]
    assert [kind for kind, number, _ in reported if number == 3] == [4, 2, 4]  # the lock is a warning
