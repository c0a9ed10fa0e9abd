"""The tray icon and its two menus, the command table and the end of the tray window, on the real
agent: posted notifications (with the cursor placed first) and real clicks on the icon."""
from __future__ import annotations

import time

from traykit import (LOCKED, LOCKED_TIP, MESSAGE, PERMISSION, RELEASED, RELEASED_TIP, SETTINGS, WM_LBUTTONDBLCLK,
                     WM_LBUTTONDOWN, WM_LBUTTONUP, WM_MBUTTONDBLCLK, WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MOUSEMOVE,
                     WM_RBUTTONDBLCLK, WM_RBUTTONDOWN, WM_RBUTTONUP, Tray, TrayWatch, popup_items, popup_texts,
                     start_agent)
from winenv import WM_CLOSE, WM_COMMAND, wait_for

COMMAND_MENU = [(32793, "메시지 전송"), (0, None), (32772, "환경 설정"), (32776, "단말기 등록")]


def test_icon_is_registered_with_the_window_callback_and_tip(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    icons = tray.icon_present()["icons"]
    assert len(icons) == 1
    icon = icons[0]
    assert icon["record_read"], "winex11's icon record could not be read: is this Wine 8?"
    assert (icon["owner"], icon["id"], icon["callback"], icon["tip"]) == \
        (agent.window["hwnd"], 0, 1026, LOCKED_TIP)
    # A real click on the icon travels through the shell to the window's callback message.
    tray.d("icon-click", "right")
    assert popup_items(tray.d("wait-popup", 60000)) == COMMAND_MENU
    tray.d("dismiss", 30000)
    tray.d("icon-click", "left")
    assert popup_texts(tray.d("wait-popup", 60000)) == [LOCKED]
    tray.d("dismiss", 30000)
    assert agent.close() == 0


def test_status_menu_shows_the_answer_of_a_fresh_query_grayed(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    # Each click's label follows the answer programmed just before it: the click asks the server
    # itself rather than showing what the poller last saw.
    # Below the state, grayed too, why it is not the server's own word.
    reset = [(32795, "서버가 응답하지 않습니다 (reset)", True, False)]
    for answer, response, label, why in (("TRUE", {"body": "TRUE"}, RELEASED, []),
                                         ("FALSE", {"body": "FALSE"}, LOCKED, []),
                                         ("TRUE", {"body": "TRUE"}, RELEASED, []),
                                         ("unreachable", {"close": True}, LOCKED, reset),
                                         ("BOM TRUE", {"body_hex": "efbbbf54525545"}, RELEASED, []),
                                         ("true", {"body": "true"}, LOCKED, [])):
        server.answer(PERMISSION, **response)
        asked = len(server.requests(PERMISSION))
        popup = tray.status(640, 480)
        assert len(server.requests(PERMISSION)) > asked, f"no query behind the click ({answer})"
        assert [(i["id"], i["text"], i["grayed"], i["separator"]) for i in popup["items"]] == \
            [(32794, label, True, False), *why], answer
        # The popup's right edge at the cursor's x, its top at the cursor's y.
        assert (popup["rect"][2], popup["rect"][1]) == (640, 480)
    assert agent.close() == 0


def test_command_menu_lists_four_entries_right_aligned_at_the_cursor(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    for x, y in ((600, 400), (300, 200)):
        popup = tray.popup(WM_RBUTTONDOWN, x, y)
        assert popup_items(popup) == COMMAND_MENU
        assert not any(i["grayed"] for i in popup["items"] if not i["separator"])
        assert (popup["rect"][2], popup["rect"][1]) == (x, y)
        tray.d("dismiss", 30000)
    assert agent.close() == 0


def registration_barrier(tray: Tray, prefix):
    """Posts the registration command and waits until the browser got its address: every
    notification posted before it has been handled by then (a window's posted messages are handled
    in order, a menu's own loop included)."""
    urls = len(prefix.recorded_urls())
    tray.d("post", "TEMBRIX", WM_COMMAND, 32776, 0)
    wait_for(lambda: len(prefix.recorded_urls()) > urls, 60, what="registration form handed to the browser")


def after_a_poll(server) -> tuple[float, int]:
    """Waits for the poller's next question; for the following 10 s only the UI asks."""
    asked = len(server.requests(PERMISSION))
    server.wait_requests(PERMISSION, asked + 1, timeout=30)
    return time.monotonic(), asked + 1


def test_only_the_button_down_notifications_act(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    for ignored in (WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONUP, WM_RBUTTONDBLCLK, WM_MOUSEMOVE, WM_MBUTTONDOWN,
                    WM_MBUTTONUP, WM_MBUTTONDBLCLK, 0, 0x0400 + 2):
        tray.d("tray-notify", ignored, 500, 300)
        registration_barrier(tray, prefix)
        assert "error" in prefix.driver("wait-popup", 0), f"mouse message {ignored:#x} opened a menu"
    # A double click: its first press opens the menu, with one question to the server; the rest
    # of it does nothing (a second menu would have asked again).
    start, asked = after_a_poll(server)
    for mouse in (WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP):
        tray.d("tray-notify", mouse, 500, 300)
    registration_barrier(tray, prefix)
    assert popup_texts(tray.d("wait-popup", 60000)) == [LOCKED]
    tray.d("dismiss", 30000)
    assert "error" in prefix.driver("wait-popup", 0)
    assert len(server.requests(PERMISSION)) == asked + 1
    assert time.monotonic() - start < 9, "too slow to tell the poller's questions from the clicks'"
    assert popup_texts(tray.popup(WM_RBUTTONDOWN, 500, 300))[0] == "메시지 전송"
    tray.d("dismiss", 30000)
    assert agent.close() == 0


def test_commands_outside_the_table_do_nothing_and_yield_zero(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    ignored = [32773, 32775, *range(32777, 32793), 32794, 32771, 32795, 0, 1, 2, 65535,
               # the high word is not part of the identifier
               (1 << 16) | 32773, (0xFFFF << 16) | 32794]
    answer = tray.d("send-many", "TEMBRIX", WM_COMMAND, 0, *ignored)
    assert answer["results"] == [0] * len(ignored)
    assert tray.dialogs() == []
    assert prefix.recorded_urls() == []
    assert not server.requests("/Tembrix/message_post.php")
    # The handled ones, for contrast: the registration form goes to the browser; the high word
    # does not hide the identifier.
    tray.d("post", "TEMBRIX", WM_COMMAND, 32776, 0)
    wait_for(prefix.recorded_urls, 60, what="registration form handed to the browser")
    tray.d("post", "TEMBRIX", WM_COMMAND, (1 << 16) | 32772, 0)
    tray.dialog(SETTINGS)
    tray.d("click", SETTINGS, 2)
    tray.gone(SETTINGS)
    assert agent.running()
    assert agent.close() == 0


def test_command_32774_and_wm_close_end_with_code_0_and_remove_the_icon(agents, server, prefix):
    tray = Tray(prefix)
    for ending in ("command", "close", "close with dialogs open"):
        agent = start_agent(agents, server, tray)
        if ending == "close with dialogs open":
            tray.choose(32772)
            tray.dialog(SETTINGS)
            tray.choose(32793)
            tray.dialog(MESSAGE)
        if ending == "command":
            agent.post(WM_COMMAND, 32774, 0)
        else:
            agent.post(WM_CLOSE)
        assert agent.wait_exit(60) == 0, ending
        tray.icon_present(False, 10000)
        assert tray.dialogs() == []
        assert f"HostAddress={server.address}\r\n" in agent.settings_text()


def test_a_restarted_shell_gets_the_icon_again(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    # The state of the moment, not the one the icon was first added with.
    server.answer(PERMISSION, "TRUE")
    released = tray.wait_tip(RELEASED_TIP)
    for announce in ("broadcast-registered", "post-registered"):
        tray.d("tray-forget")  # what the restarted shell knows of the icon: nothing
        tray.icon_present(False, 10000)
        if announce == "broadcast-registered":
            tray.d(announce, "TaskbarCreated")  # as the shell does it
        else:
            tray.d(announce, "TEMBRIX", "TaskbarCreated", 0, 0)
        icon = tray.icon_present(True, 30000)["icons"]
        assert [(i["owner"], i["id"], i["callback"], i["tip"], i["image"]) for i in icon] == \
            [(agent.window["hwnd"], 0, 1026, RELEASED_TIP, released["image"])]
    # The icon that came back works.
    tray.d("icon-click", "right")
    assert popup_texts(tray.d("wait-popup", 60000))[0] == "메시지 전송"
    tray.d("dismiss", 30000)
    assert agent.close() == 0
    tray.icon_present(False, 10000)


def test_start_up_shows_settings_then_registration_then_the_icon(agents, server, prefix):
    tray = Tray(prefix)
    server.answer("/Tembrix/connect_check.php", "NOT CONNECTED")
    server.answer("/Tembrix/register_check.php", "NOT REGISTERED")
    agent = agents(server.address).start()
    tray.dialog(SETTINGS)
    # The settings dialog is up inside the window's creation: no icon yet, nor the registration
    # check of the window (the adapter choice before it asked its own) or the form.
    tray.icon_present(False, 0)
    asked = len(server.requests("/Tembrix/register_check.php"))
    assert prefix.recorded_urls() == []
    tray.d("click", SETTINGS, 1)
    tray.gone(SETTINGS)
    icon = tray.icon_present()
    # The icon came only after the registration check had been answered.
    assert len(server.requests("/Tembrix/register_check.php")) > asked
    assert len(icon["icons"]) == 1
    urls = wait_for(prefix.recorded_urls, 60, what="registration form handed to the browser")
    assert len(urls) == 1 and server.address in urls[0]
    assert agent.running()
    assert agent.close() == 0


def test_the_icon_its_tip_and_a_notice_follow_each_change_of_the_word(agents, server, prefix, tmp_path):
    """The poller's answers and a left click's each change the shell's icon and tip; a notice
    comes at each change of the pipe's word and at no other time: none for the first word, none
    while the word stays FALSE and only its cause changes."""
    tray = Tray(prefix)
    unanswered_tip = f"{LOCKED_TIP}\n서버가 응답하지 않습니다 (reset)"
    with TrayWatch(prefix, tmp_path) as watch:
        agent = start_agent(agents, server, tray)
        after_a_poll(server)
        locked = tray.wait_tip(LOCKED_TIP)
        assert (locked["info_title"], locked["info_text"]) == ("", ""), "a notice for the first word"
        # The shell's copy of each look: 32-bit with alpha, at the small-icon size of 96 dpi.
        assert locked["image"]["size"] == [16, 16] and locked["image"]["alpha"]
        can, cannot = "USB 저장장치를 사용할 수 있습니다.", "USB 저장장치를 사용할 수 없습니다."
        images = {}
        for response, tip, notice in (({"body": "TRUE"}, RELEASED_TIP, (RELEASED, can)),
                                      ({"body": "FALSE"}, LOCKED_TIP, (LOCKED, cannot)),
                                      ({"body": "TRUE"}, RELEASED_TIP, (RELEASED, can)),
                                      ({"close": True}, unanswered_tip, (LOCKED, "서버가 응답하지 않습니다 (reset)")),
                                      ({"body": "FALSE"}, LOCKED_TIP, None)):
            server.answer(PERMISSION, **response)
            icon = tray.wait_tip(tip)
            # The same state, the same image, whenever it comes back.
            assert images.setdefault(tip, icon["image"]) == icon["image"], tip
            if notice:
                assert (icon["info_title"], icon["info_text"]) == notice
                tray.wait_balloon(notice[1])
        assert len({i["hash"] for i in images.values()}) == 3
        assert images[LOCKED_TIP] == locked["image"]
        # A left click's answer changes the icon before its menu shows, between two polls.
        start, _ = after_a_poll(server)
        server.answer(PERMISSION, "TRUE")
        assert popup_texts(tray.status()) == [RELEASED]
        assert tray.icon()["tip"] == RELEASED_TIP
        assert time.monotonic() - start < 9, "too slow to tell the click's answer from the poller's"
        tray.wait_balloon(can)
        # The notice's flags: the state's own icon, no sound, and the user's quiet time respected.
        NIIF_USER, NIIF_NOSOUND, NIIF_RESPECT_QUIET_TIME = 0x4, 0x10, 0x80
        assert tray.icon()["info_flags"] == NIIF_USER | NIIF_NOSOUND | NIIF_RESPECT_QUIET_TIME
        assert agent.close() == 0
        seen = watch.result()
    tips = [e["tip"] for e in seen["events"] if "tip" in e]
    assert [t for i, t in enumerate(tips) if i == 0 or t != tips[i - 1]] == \
        [LOCKED_TIP, RELEASED_TIP, LOCKED_TIP, RELEASED_TIP, unanswered_tip, LOCKED_TIP, RELEASED_TIP]
    assert [(b["tooltip"]["title"], b["tooltip"]["text"]) for b in seen["balloons"]] == \
        [(RELEASED, can), (LOCKED, cannot), (RELEASED, can), (LOCKED, "서버가 응답하지 않습니다 (reset)"),
         (RELEASED, can)]
