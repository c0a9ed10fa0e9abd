#!/usr/bin/env python3
"""`make screenshots`: the agent's icon, tip, notifications, menus, dialogs and warning boxes as the
user sees them, rendered under a private Xvfb display in a Korean locale, saved as PNG files under
docs/; then the menus and dialogs again at 144 dpi (150 %); and the tray's three icons as
tools/make_icon.py draws them, at 16 and 32 px.

The real exe runs beside a local management server; the UI driver opens each view, and
ImageMagick's `import` takes the part of the screen that holds it."""
from __future__ import annotations

import shutil
import subprocess
import sys
import time
from contextlib import ExitStack
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))

from harness import FakeServer  # noqa: E402
from traykit import (DUPLICATE_CAPTION, LOCKED_TIP, MESSAGE, MESSAGE_EDIT, MESSAGE_POST, PERMISSION,  # noqa: E402
                     RELEASED_TIP, SEND_FAILED, SETTINGS, SETTINGS_EDIT, WM_LBUTTONDOWN, WM_RBUTTONDOWN, Tray)
from winenv import ROOT, Agent, Display, says_what_runs, wine_session  # noqa: E402

DOCS = ROOT / "docs"
MARGIN = 8
# The cursor sits just right of the tray, so every menu picture shows the icon it belongs to.
CURSOR = (240, 50)


def shoot(display: Display, name: str, rect: list[int], include_tray: bool = False):
    left, top, right, bottom = rect
    if include_tray:
        left, top = 0, 0
    left, top = max(left - MARGIN, 0), max(top - MARGIN, 0)
    right, bottom = right + MARGIN, bottom + MARGIN
    time.sleep(0.4)  # painting is asynchronous; nothing here is a test
    out = DOCS / f"{name}.png"
    subprocess.run(["import", "-display", display.name, "-window", "root",
                    "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage", str(out)], check=True)
    print(f"screenshots: {out.relative_to(ROOT)}")


def main() -> int:
    print(says_what_runs("screenshots: show"), flush=True)
    if shutil.which("import") is None:
        print("screenshots: ImageMagick's import is missing (tools/install-deps.sh installs it)")
        return 1
    DOCS.mkdir(exist_ok=True)
    work = ROOT / "build" / "screenshots"
    shutil.rmtree(work, ignore_errors=True)
    subprocess.run([sys.executable, str(ROOT / "tools" / "make_icon.py"), "--preview", str(DOCS / "tray-icons.png")],
                   check=True)
    subprocess.run([sys.executable, str(ROOT / "tools" / "make_icon.py"), "--preview",
                    str(DOCS / "tray-icons-x4.png"), "4"], check=True)
    print("screenshots: docs/tray-icons.png, docs/tray-icons-x4.png")
    with wine_session(ROOT / "build" / "wine" / "screenshots") as prefix:
        prefix.set_dpi(96)  # whatever an interrupted run left
        code = take_screenshots(prefix, work)
        if code == 0:
            prefix.set_dpi(144)
            code = take_screenshots_at(prefix, work / "144", 144)
        prefix.set_dpi(96)
        return code


def start_beside_server(prefix, work: Path, cleanup: ExitStack):
    """A server and an agent on it that has shown its icon; both are stopped with `cleanup`."""
    server = FakeServer(work / "server")
    cleanup.callback(server.stop)
    agent = Agent(prefix, work / "agent", server.address)
    cleanup.callback(agent.stop)
    agent.start()
    agent.wait_window()
    tray = Tray(prefix)
    tray.icon_present()
    return tray, server, agent


def take_screenshots(prefix, work: Path) -> int:
    display = prefix.display
    with ExitStack() as cleanup:
        tray, server, agent = start_beside_server(prefix, work, cleanup)

        # Each click asks anew, but the state is the one the poller relayed already: the click
        # changes nothing, and no notification covers the menu.
        popup = tray.popup(WM_LBUTTONDOWN, *CURSOR)
        shoot(display, "status-menu-locked", popup["rect"], include_tray=True)
        tray.d("dismiss", 30000)
        server.answer(PERMISSION, "TRUE")
        tray.wait_tip(RELEASED_TIP)
        shoot(display, "notice-released", tray.d("wait-balloon", 30000)["rect"], include_tray=True)
        tray.d("wait-balloon-gone", 60000)
        popup = tray.popup(WM_LBUTTONDOWN, *CURSOR)
        shoot(display, "status-menu-released", popup["rect"], include_tray=True)
        tray.d("dismiss", 30000)
        # The server gone: the lock, and why, in the notification, the tip and the status menu.
        server.stop()
        tray.wait_tip(f"{LOCKED_TIP}\n서버에 연결할 수 없습니다 (refused)")
        shoot(display, "notice-unanswered", tray.d("wait-balloon", 30000)["rect"], include_tray=True)
        tray.d("wait-balloon-gone", 60000)
        shoot(display, "tray-tip", tray.d("hover-icon", 30000)["rect"], include_tray=True)
        popup = tray.popup(WM_LBUTTONDOWN, *CURSOR)  # the cursor leaves the icon: the tip goes
        shoot(display, "status-menu-cause", popup["rect"], include_tray=True)
        tray.d("dismiss", 30000)
        # Back with the server's FALSE: the word stays FALSE, so no notification comes.
        server.answer(PERMISSION, "FALSE")
        server = FakeServer(work / "server-back", address=server.address, routes=server.routes)
        cleanup.callback(server.stop)
        popup = tray.popup(WM_RBUTTONDOWN, *CURSOR)
        shoot(display, "command-menu", popup["rect"], include_tray=True)
        tray.d("dismiss", 30000)

        tray.choose(32772)
        tray.dialog(SETTINGS)
        # A typical address rather than this run's loopback one; cancelled below, so never used.
        tray.set_text(SETTINGS, SETTINGS_EDIT, "192.168.0.10")
        shoot(display, "settings-dialog", tray.dialog(SETTINGS)["rect"])
        tray.d("click", SETTINGS, 2)
        tray.gone(SETTINGS)

        tray.choose(32793)
        tray.dialog(MESSAGE)
        tray.d("click", MESSAGE, 1)
        shoot(display, "warning-empty-message", tray.d("message-box", SEND_FAILED, 60000)["rect"])
        tray.d("click", SEND_FAILED, 1)
        tray.gone(SEND_FAILED)
        tray.set_text(MESSAGE, MESSAGE_EDIT, "3층 회의실 PC에서 USB 사용을 요청합니다.")
        shoot(display, "message-dialog", tray.dialog(MESSAGE)["rect"])
        server.answer(MESSAGE_POST, "FALSE")
        tray.d("click", MESSAGE, 1)
        shoot(display, "warning-send-failed", tray.d("message-box", SEND_FAILED, 60000)["rect"])
        tray.d("click", SEND_FAILED, 1)
        tray.gone(SEND_FAILED)
        tray.d("click", MESSAGE, 2)
        tray.gone(MESSAGE)

        duplicate = Agent(prefix, work / "second", server.address)
        cleanup.callback(duplicate.stop)
        duplicate.start()
        shoot(display, "warning-duplicate-run", tray.d("message-box", DUPLICATE_CAPTION, 60000)["rect"])
        tray.d("click", DUPLICATE_CAPTION, 1)
        duplicate.wait_exit(60)
        agent.close(60)
        return 0


def take_screenshots_at(prefix, work: Path, dpi: int) -> int:
    """The menus and dialogs at another DPI: laid out as at 96 dpi, in larger type."""
    display = prefix.display
    with ExitStack() as cleanup:
        tray, _server, agent = start_beside_server(prefix, work, cleanup)
        popup = tray.popup(WM_LBUTTONDOWN, *CURSOR)
        shoot(display, f"status-menu-{dpi}", popup["rect"], include_tray=True)
        tray.d("dismiss", 30000)
        popup = tray.popup(WM_RBUTTONDOWN, *CURSOR)
        shoot(display, f"command-menu-{dpi}", popup["rect"], include_tray=True)
        tray.d("dismiss", 30000)
        tray.choose(32772)
        tray.set_text(SETTINGS, SETTINGS_EDIT, "192.168.0.10")
        shoot(display, f"settings-dialog-{dpi}", tray.dialog(SETTINGS)["rect"])
        tray.d("click", SETTINGS, 2)
        tray.gone(SETTINGS)
        tray.choose(32793)
        tray.set_text(MESSAGE, MESSAGE_EDIT, "3층 회의실 PC에서 USB 사용을 요청합니다.")
        shoot(display, f"message-dialog-{dpi}", tray.dialog(MESSAGE)["rect"])
        tray.d("click", MESSAGE, 2)
        tray.gone(MESSAGE)
        agent.close(60)
        return 0


if __name__ == "__main__":
    sys.exit(main())
