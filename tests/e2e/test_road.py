"""The road of one permission change through the real agent, against the local management
server: the agent registers through the form it opens, the administrator switches USB use on the
admin page, a reader of the lock-state pipe sees TRUE, and a left click asks the server afresh;
a message sent from the tray arrives."""
from __future__ import annotations

import subprocess
import sys
import time
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TESTS / "browser"))
sys.path.insert(0, str(TESTS.parent / "tools"))

from chromium import browse, missing  # noqa: E402
from mgmt_fixtures import mgmt  # noqa: E402,F401  (fixture)
from traykit import RELEASED, Tray, popup_texts  # noqa: E402
from winenv import WM_COMMAND, end_process, wait_for  # noqa: E402

PERMISSION = "/Tembrix/permission_load.php"
SEND_MESSAGE_COMMAND = 32793
REGISTER_COMMAND = 32776
MESSAGE_CAPTION = "메시지 전송"
IDC_MESSAGE_TEXT = 1051
IDOK = 1
# The poller asks every 10 s and the publisher writes every 2 s.
ROAD_BOUND = 12.0


class PipeReader:
    """The pipe monitor in the agent's prefix, as the USB-lock component would read the pipe."""

    def __init__(self, prefix, folder: Path):
        self.path = folder / "pipe.txt"
        self.file = open(self.path, "wb")
        self.process = prefix.popen(["wine", prefix.tool("pipemon")], stdout=self.file, stderr=subprocess.DEVNULL)

    def messages(self) -> list[str]:
        lines = self.path.read_bytes().decode("ascii", "replace").splitlines()
        return [line.split(" ", 2)[2].removesuffix("\\0") for line in lines if line.split(" ")[1:2] != ["#"]]

    def wait_for(self, word: str, after: int, timeout: float) -> int:
        """Waits until `word` is read as a message at or after index `after`; gives its index."""
        def found():
            messages = self.messages()
            return next((i + 1 for i in range(after, len(messages)) if messages[i] == word), None)
        return wait_for(found, timeout, what=f"{word} from the pipe") - 1

    def close(self):
        end_process(self.process, 30)
        self.file.close()


@pytest.fixture
def pipe_reader(prefix, tmp_path):
    readers = []

    def make():
        readers.append(PipeReader(prefix, tmp_path))
        return readers[-1]

    yield make
    for reader in readers:
        reader.close()


def terminal_of(entry: dict) -> str:
    return bytes.fromhex(entry["body_hex"]).decode("ascii").removeprefix("m=")


def test_road_of_one_permission_change(prefix, agents, mgmt, pipe_reader):
    if missing():
        pytest.fail(f"the road test needs {missing()}")
    agent = agents(mgmt.address).start()
    agent.wait_window()
    address = terminal_of(mgmt.wait_requests(PERMISSION)[0])
    assert mgmt.terminal(address) is not None   # the admin page lists the polling PC

    # Not registered yet: the agent opened the registration form; the browser submits it.
    start = f"http://{mgmt.address}/Tembrix/register_form.php?n="
    form = wait_for(lambda: [u for u in prefix.recorded_urls() if u.startswith(start)], 60,
                    what="the registration form handed to the browser")[0]
    assert form.endswith(f"&m={address}")
    seen = browse("register", form, "시험실-PC")
    assert seen["m"] == address and seen["done"]
    assert mgmt.terminal(address)["registered"]

    # Registered now: "단말기 등록" opens the form pre-filled with the server's name for the PC.
    agent.post(WM_COMMAND, REGISTER_COMMAND, 0)
    again = wait_for(lambda: [u for u in prefix.recorded_urls() if u.startswith(start)][1:], 60,
                     what="the form opened from the menu")
    assert again == [f"{start}시험실-PC&m={address}"]
    assert mgmt.requests("/Tembrix/get_node_name.php")[-1]["answer"] == "n:시험실-PC"

    reader = pipe_reader()
    locked_at = reader.wait_for("FALSE", 0, 30)

    # The administrator switches USB use on: the pipe says TRUE within one poll and one write.
    flipped = browse("switch", f"http://{mgmt.address}/admin", address)
    assert flipped["after"] == "true"
    switched = mgmt.terminal(address)["changed"]
    granted_at = reader.wait_for("TRUE", locked_at, 60)
    road = time.time() - switched
    answered = mgmt.terminal(address)["answered"] - switched
    print(f"\nroad: switch -> agent asked {answered:.1f} s, -> pipe reader saw TRUE {road:.1f} s "
          f"(bound {ROAD_BOUND:.0f} s)")
    # The reader is polled every 50 ms; the file shows the write as soon as it is made.
    assert road <= ROAD_BOUND + 1.0

    # A left click asks the server again before its status menu opens, and the menu says so.
    # Right after a poll, the next poll is 10 s away, so a question between the click and the
    # menu is the click's own.
    polls = len(mgmt.requests(PERMISSION))
    mgmt.wait_requests(PERMISSION, polls + 1, 30)
    clicked = time.time()
    status = Tray(prefix).status()
    asked = [e for e in mgmt.requests(PERMISSION) if clicked <= e["time"]]
    assert (terminal_of(asked[0]), asked[0]["answer"]) == (address, "TRUE")
    assert popup_texts(status) == [RELEASED]

    # Switched off again, the pipe goes back to FALSE on the same road.
    browse("switch", f"http://{mgmt.address}/admin", address)
    reader.wait_for("FALSE", granted_at, 60)
    assert agent.close() == 0


def test_message_from_the_tray_arrives_in_korean(prefix, agents, mgmt):
    agent = agents(mgmt.address).start()
    agent.wait_window()
    address = terminal_of(mgmt.wait_requests(PERMISSION)[0])
    agent.post(WM_COMMAND, SEND_MESSAGE_COMMAND, 0)
    assert prefix.driver("wait-dialog", MESSAGE_CAPTION, 30000).get("hwnd")
    text = "USB 사용 허가 요청합니다 & 감사 100%"
    prefix.driver("set-text", MESSAGE_CAPTION, IDC_MESSAGE_TEXT, text)
    prefix.driver("click", MESSAGE_CAPTION, IDOK)
    assert "error" not in prefix.driver("wait-dialog-gone", MESSAGE_CAPTION, 30000)
    assert [(m["address"], m["text"]) for m in mgmt.state()["messages"]] == [(address, text)]
    assert agent.close() == 0
