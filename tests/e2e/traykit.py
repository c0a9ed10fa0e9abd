"""What the tray tests share: the agent's fixed texts, and a thin layer over the UI driver that
fails loudly when the driver reports an error."""
from __future__ import annotations

from winenv import wait_for

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
