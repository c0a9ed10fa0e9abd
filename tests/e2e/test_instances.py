"""The duplicate-run guard: processes whose executable is named exactly "Tembrix.exe" are counted,
and a copy that finds another one shows the warning and ends without touching anything."""
from __future__ import annotations

import shutil
import subprocess

import pytest

from traykit import DUPLICATE_CAPTION, DUPLICATE_TEXT, LOCKED, PRODUCT, Tray, popup_texts, start_agent
from winenv import DRIVERS, WM_CLOSE, wait_for

CONNECT = "/Tembrix/connect_check.php"


def agent_icons(tray: Tray) -> list[dict]:
    return [i for i in tray.d("tray-icons")["icons"] if i["tip"].split("\n")[0] == PRODUCT]


def expect_refusal(tray: Tray, agent, others_pid: int):
    box = tray.d("message-box", DUPLICATE_CAPTION, 60000)
    assert (box["caption"], box["text"], box["icon"]) == (DUPLICATE_CAPTION, DUPLICATE_TEXT, "none")
    assert [(c["id"], c["text"]) for c in box["controls"] if c["class"] == "Button"] == [(1, "확인")]
    assert box["pid"] != others_pid
    tray.d("click", DUPLICATE_CAPTION, 1)
    assert agent.wait_exit(60) == 0
    tray.gone(DUPLICATE_CAPTION)


@pytest.fixture
def foreign(prefix, tmp_path):
    """Starts other programs whose executable is named Tembrix.exe (the UI driver, holding); ends
    them by process id."""
    started: list[subprocess.Popen] = []

    def start() -> subprocess.Popen:
        folder = tmp_path / f"foreign{len(started)}"
        folder.mkdir()
        shutil.copy2(DRIVERS / "uidriver.exe", folder / "Tembrix.exe")
        process = prefix.popen(["wine", prefix.windows_path(folder / "Tembrix.exe"), "hold", "600000"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        started.append(process)
        assert b"holding" in process.stdout.readline()  # it runs
        return process

    yield start
    for process in started:
        if process.poll() is None:
            process.terminate()
            process.wait(30)
        process.stdout.close()


def test_a_second_copy_is_refused_and_the_first_runs_on(agents, server, prefix):
    tray = Tray(prefix)
    first = start_agent(agents, server, tray)
    connects = len(server.requests(CONNECT))
    second = agents(server.address)
    before = (second.settings.read_bytes(), second.settings.stat().st_mtime_ns)
    second.start()
    expect_refusal(tray, second, first.window["pid"])
    # The refused copy did nothing: no settings write, no server question, no window or icon.
    assert (second.settings.read_bytes(), second.settings.stat().st_mtime_ns) == before
    assert len(server.requests(CONNECT)) == connects
    assert len(agent_icons(tray)) == 1
    # The first copy is undisturbed.
    assert first.running()
    assert popup_texts(tray.status()) == [LOCKED]
    assert first.close() == 0


@pytest.mark.parametrize("name", ["tembrix.exe", "Tembrix2.exe", "TEMBRIX.EXE"])
def test_a_copy_named_otherwise_does_not_count_itself(agents, server, prefix, name):
    tray = Tray(prefix)
    first = start_agent(agents, server, tray)
    other = agents(server.address, exe_name=name).start()
    icons = wait_for(lambda: (lambda i: i if len(i) == 2 else None)(agent_icons(tray)), 60,
                     what="a second agent's icon")
    assert tray.dialogs(DUPLICATE_CAPTION) == []
    (other_window,) = {i["owner"] for i in icons} - {first.window["hwnd"]}
    # Both run side by side; each ends by its own window.
    tray.d("post", other_window, WM_CLOSE, 0, 0)
    assert other.wait_exit(60) == 0
    assert first.running()
    assert first.close() == 0


def test_any_program_named_tembrix_exe_is_counted(agents, server, prefix, foreign):
    tray = Tray(prefix)
    foreign()
    # One Tembrix.exe besides itself: a copy of that exact name refuses, another name starts.
    refused = agents(server.address).start()
    expect_refusal(tray, refused, -1)
    lower = agents(server.address, exe_name="tembrix.exe").start()
    lower.window = lower.wait_window()
    tray.icon_present()
    assert lower.close() == 0
    # Two of them: now even the differently named copy refuses.
    foreign()
    lower_again = agents(server.address, exe_name="tembrix.exe").start()
    expect_refusal(tray, lower_again, -1)
