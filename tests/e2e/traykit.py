"""What the tray tests share: the agent's fixed texts, and a thin layer over the UI driver that
fails loudly when the driver reports an error."""
from __future__ import annotations

import json
import subprocess
from pathlib import Path

from winenv import end_process, wait_for

SETTINGS = "환경 설정"
MESSAGE = "메시지 전송"
SEND_FAILED = "메시지 전송 실패"
EMPTY_TEXT = "메시지를 입력해 주세요."
FAILED_TEXT = "메시지 전송에 실패했습니다. 서버 주소가 제대로 입력되었는지 확인해 주세요."
MANAGED_TEXT = "관리자가 지정한 서버 주소입니다. 변경할 수 없습니다."
SAVE_FAILED = "환경 설정 실패"
SAVE_FAILED_TEXT = "서버 주소를 저장하지 못했습니다. 이전 서버 주소를 계속 사용합니다."
TOO_LONG_TEXT = "서버 주소가 너무 깁니다. 255자 이하로 입력해 주세요."
DUPLICATE_CAPTION = "프로그램 중복 실행 경고"
DUPLICATE_TEXT = "이미 프로그램이 실행중입니다."
RELEASED = "USB Lock 해제됨"
LOCKED = "USB Lock 작동중"
PRODUCT = "Tembrix USB Lock Tool"
# The icon's tip in each state; a lock without the server's word adds why, as the status menu says it.
RELEASED_TIP = f"{PRODUCT}\n{RELEASED}"
LOCKED_TIP = f"{PRODUCT}\n{LOCKED}"

WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK = 0x200, 0x201, 0x202, 0x203
WM_RBUTTONDOWN, WM_RBUTTONUP, WM_RBUTTONDBLCLK = 0x204, 0x205, 0x206
WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MBUTTONDBLCLK = 0x207, 0x208, 0x209
VK_ESCAPE, VK_RETURN = 0x1B, 0x0D
SETTINGS_EDIT, MESSAGE_EDIT, FRAME = 1016, 1051, 1015
ES_READONLY = 0x0800

PERMISSION = "/Tembrix/permission_load.php"
MESSAGE_POST = "/Tembrix/message_post.php"


class Tray:
    def __init__(self, prefix):
        self.prefix = prefix

    def d(self, *args, timeout: float = 90) -> dict:
        answer = self.prefix.driver(*args, timeout=timeout)
        assert "error" not in answer, f"uidriver {args}: {answer}"
        return answer

    # -- the icon's menus -----------------------------------------------------------------
    def popup(self, mouse: int, x: int = 600, y: int = 400) -> dict:
        """Posts one tray notification with the cursor at x, y and returns the popup it opens."""
        self.d("tray-notify", mouse, x, y)
        return self.d("wait-popup", 60000)

    def status(self, x: int = 600, y: int = 400) -> dict:
        popup = self.popup(WM_LBUTTONDOWN, x, y)
        self.d("dismiss", 30000)
        return popup

    def choose(self, item: int):
        self.d("tray-notify", WM_RBUTTONDOWN, 600, 400)
        self.d("choose", item, 60000)

    def icon_present(self, present: bool = True, timeout_ms: int = 60000) -> dict:
        return self.d("wait-tray-icon", "present" if present else "absent", timeout_ms)

    def icon(self) -> dict:
        """The agent's one icon as the shell holds it: tip, image, the last notification's fields."""
        [icon] = self.icon_present()["icons"]
        return icon

    def wait_tip(self, tip: str, timeout: float = 60) -> dict:
        """The agent's icon once its tip reads `tip` (each state has its own)."""
        return wait_for(lambda: (lambda i: i if i["tip"] == tip else None)(self.icon()), timeout, step=0.2,
                        what=f"the tip {tip!r}")

    # -- dialogs ----------------------------------------------------------------------------
    def dialog(self, caption: str, timeout_ms: int = 60000) -> dict:
        return self.d("wait-dialog", caption, timeout_ms)

    def gone(self, caption: str, timeout_ms: int = 60000):
        self.d("wait-dialog-gone", caption, timeout_ms)

    def dialogs(self, caption: str | None = None) -> list[dict]:
        found = self.d("dialogs")["dialogs"]
        return [d for d in found if caption is None or d["caption"] == caption]

    def text(self, caption: str, control: int) -> str:
        return self.d("get-text", caption, control)["text"]

    def set_text(self, caption: str, control: int, text: str):
        self.d("set-text", caption, control, text)
        assert self.text(caption, control) == text

    def type_text(self, caption: str, control: int, text: str):
        """Types an ASCII text key by key into an emptied control, as a user would; an edit with
        a text limit would stop taking characters (WM_SETTEXT would not show that)."""
        self.set_text(caption, control, "")
        self.d("type", caption, control, text)
        wait_for(lambda: self.text(caption, control) == text, 30, step=0.1, what=f"{len(text)} characters typed")

    def wait_foreground(self, caption: str, timeout: float = 30):
        wait_for(lambda: self.dialog(caption)["foreground"], timeout, step=0.1, what=f"{caption} in front")

    def wait_balloon(self, text: str, timeout: float = 60) -> dict:
        """The shell's notification balloon once one with `text` shows (a new notice replaces the
        one shown, after the shell's delay)."""
        return wait_for(lambda: (lambda b: b if b["text"] == text else None)(self.d("wait-balloon", 30000)),
                        timeout, step=0.2, what=f"a notice {text!r}")


class TrayWatch:
    """The UI driver watching the agent's icon in the background, from before the agent starts to
    its end: each change of the tip, the image and the notification fields, and each notification
    balloon the shell shows."""

    def __init__(self, prefix, folder: Path, bound_ms: int = 600000):
        self.path = Path(folder) / "watch-tray.txt"
        self.path.parent.mkdir(parents=True, exist_ok=True)
        with open(self.path, "wb") as out:
            self.process = prefix.popen(["wine", prefix.tool("uidriver"), "watch-tray", str(bound_ms)], stdout=out,
                                        stderr=subprocess.DEVNULL)
        self.bound = bound_ms / 1000

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        end_process(self.process)

    def result(self) -> dict:
        """What was seen, once the agent's window has gone (the watch ends with it)."""
        self.process.wait(self.bound + 30)
        lines = [l for l in self.path.read_bytes().decode("utf-8").splitlines() if l.startswith("{")]
        assert lines, "the tray watch gave no answer"
        answer = json.loads(lines[-1])
        assert "error" not in answer, answer
        return answer


def start_agent(agents, server, tray: Tray, **kw):
    """An agent on `server` that has finished its start-up: window made, icon added."""
    agent = agents(server.address, **kw).start()
    agent.window = agent.wait_window()
    tray.icon_present()
    return agent


def popup_texts(popup: dict) -> list:
    return [None if item["separator"] else item["text"] for item in popup["items"]]


def popup_items(popup: dict) -> list:
    return [(item["id"], None if item["separator"] else item["text"]) for item in popup["items"]]
