"""The settings dialog and the message dialog on the real agent: what is stored, what is sent, the
warning boxes, and how the two dialogs live beside each other and the tray menus."""
from __future__ import annotations

import time
import urllib.parse

import pytest

from harness import FakeServer, log_event
from traykit import (EMPTY_TEXT, ES_READONLY, FAILED_TEXT, FRAME, LOCKED, MANAGED_TEXT, MESSAGE, MESSAGE_EDIT,
                     MESSAGE_POST, PERMISSION, RELEASED, SAVE_FAILED, SAVE_FAILED_TEXT, SEND_FAILED, SETTINGS,
                     SETTINGS_EDIT, VK_ESCAPE, VK_RETURN, WM_RBUTTONDOWN, Tray, popup_texts, start_agent)


@pytest.fixture
def second_server(tmp_path):
    s = FakeServer(tmp_path / "second")
    s.answer(PERMISSION, "TRUE")
    yield s
    s.stop()


def form_field(request: dict, name: str) -> bytes:
    """A field of a form body as a form parser reads it back: the bytes that were meant."""
    fields = dict(part.split(b"=", 1) for part in bytes.fromhex(request["body_hex"]).split(b"&"))
    return urllib.parse.unquote_to_bytes(fields[name.encode()].replace(b"+", b" "))


def confirm_settings(tray: Tray, entry: str, how: str = "click", typed: bool = False):
    tray.choose(32772)
    tray.dialog(SETTINGS)
    if typed:
        tray.type_text(SETTINGS, SETTINGS_EDIT, entry)
    else:
        tray.set_text(SETTINGS, SETTINGS_EDIT, entry)
    if how == "enter":
        tray.d("key", SETTINGS, VK_RETURN)  # the default button is the confirmation
    else:
        tray.d("click", SETTINGS, 1)
    tray.gone(SETTINGS)


def stored(agent) -> str:
    lines = [line for line in agent.settings_text().splitlines() if line.startswith("HostAddress=")]
    assert len(lines) == 1, agent.settings_text()
    return lines[0][len("HostAddress="):]


def test_settings_entry_is_stored_with_only_a_lower_case_http_prefix_dropped(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    a = server.address
    forty = a + "/" + "p" * (39 - len(a))
    thirty = a + "/" + "q" * (29 - len(a))
    for entry, expected, how in ((f"http://{a}", a, "click"),
                                 (forty, forty, "enter"),
                                 ("http://" + thirty, thirty, "click"),
                                 (f"http://{a}/base", f"{a}/base", "click")):
        confirm_settings(tray, entry, how, typed=len(entry) > 31)
        assert stored(agent) == expected, entry

    # An empty entry is stored and used: the link has no host, so no query reaches any server.
    confirm_settings(tray, "")
    assert stored(agent) == ""
    asked = len(server.requests())
    assert popup_texts(tray.status()) == [LOCKED, "서버에 연결할 수 없습니다 (error-87)"]
    assert len(server.requests()) == asked
    confirm_settings(tray, a)
    assert agent.close() == 0
    assert stored(agent) == a


def test_capital_or_https_prefixes_are_stored_as_typed(isolated_pc):
    # The host part of an "HTTP://" entry ("HTTP:") is looked up as a name by the next request:
    # inside a namespace of its own that lookup cannot leave the machine. An "https://" entry is
    # a TLS link to port 443 of the same host, where nothing listens.
    pc = isolated_pc(["02:00:00:00:00:02"])
    tray = Tray(pc.prefix)
    a = pc.server.address
    agent = pc.agent().start()
    agent.window = agent.wait_window()
    tray.icon_present()
    for entry, cause in ((f"HTTP://{a}", "unresolved"), (f"https://{a}", "refused")):
        confirm_settings(tray, entry)
        assert stored(agent) == entry
        asked = len(pc.server.requests())
        # The link's host is not this server.
        assert popup_texts(tray.status()) == [LOCKED, f"서버에 연결할 수 없습니다 ({cause})"]
        assert len(pc.server.requests()) == asked
    assert agent.close() == 0
    assert stored(agent) == f"https://{a}"


def test_a_confirmed_address_serves_the_next_query_even_unchanged(agents, server, second_server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    confirm_settings(tray, second_server.address)
    assert stored(agent) == second_server.address
    assert popup_texts(tray.status()) == [RELEASED]
    assert second_server.requests(PERMISSION)
    # Confirming the same address again still writes the file.
    agent.settings.unlink()
    confirm_settings(tray, second_server.address)
    assert stored(agent) == second_server.address
    assert agent.close() == 0


def test_cancel_escape_and_the_close_box_change_nothing(agents, server, second_server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    before = (agent.settings.read_bytes(), agent.settings.stat().st_mtime_ns)
    for way in ("cancel", "escape", "close box"):
        tray.choose(32772)
        tray.dialog(SETTINGS)
        tray.set_text(SETTINGS, SETTINGS_EDIT, second_server.address)
        if way == "cancel":
            tray.d("click", SETTINGS, 2)
        elif way == "escape":
            tray.d("key", SETTINGS, VK_ESCAPE)
        else:
            tray.d("close", SETTINGS)
        tray.gone(SETTINGS)
        assert (agent.settings.read_bytes(), agent.settings.stat().st_mtime_ns) == before, way
        # The old link still serves: the first server's answer, and none asked of the second.
        asked = len(server.requests(PERMISSION))
        assert popup_texts(tray.status()) == [LOCKED], way
        assert len(server.requests(PERMISSION)) > asked
        assert not second_server.requests(), way
    # The dialog shows the address in use when it opens again.
    tray.choose(32772)
    assert tray.text(SETTINGS, SETTINGS_EDIT) == server.address
    tray.d("click", SETTINGS, 2)
    tray.gone(SETTINGS)
    assert agent.close() == 0


def test_an_address_the_user_may_not_write_is_shown_and_never_changed(agents, user_prefix, server, second_server):
    # The agent and the driver run as an unprivileged user, from a folder that user may only read.
    tray = Tray(user_prefix)
    agent = start_agent(agents, server, tray, prefix=user_prefix)
    agent.settings.chmod(0o644)  # root's file: an administrator's, which the user reads only
    before = (agent.settings.read_bytes(), agent.settings.stat().st_mtime_ns)

    def next_queries_go_to_the_first_server(why: str):
        asked = len(server.requests(PERMISSION))
        assert popup_texts(tray.status()) == [LOCKED], why
        assert len(server.requests(PERMISSION)) > asked, why
        assert not second_server.requests(), why
        assert (agent.settings.read_bytes(), agent.settings.stat().st_mtime_ns) == before, why

    for how in ("enter", "click"):
        tray.choose(32772)
        controls = {c["id"]: c for c in tray.dialog(SETTINGS)["controls"]}
        assert controls[SETTINGS_EDIT]["text"] == server.address
        assert controls[SETTINGS_EDIT]["style"] & ES_READONLY
        assert controls[FRAME]["text"] == MANAGED_TEXT
        # More than typing into the read-only edit could do: the confirmation still changes nothing.
        tray.set_text(SETTINGS, SETTINGS_EDIT, second_server.address)
        if how == "enter":
            tray.d("key", SETTINGS, VK_RETURN)
        else:
            tray.d("click", SETTINGS, 1)
        tray.gone(SETTINGS)
        next_queries_go_to_the_first_server(how)

    # The user may write the file again when the dialog opens, and no more when it is confirmed:
    # the address cannot be saved, so it is not used.
    agent.settings.chmod(0o666)
    tray.choose(32772)
    tray.dialog(SETTINGS)
    agent.settings.chmod(0o644)
    tray.set_text(SETTINGS, SETTINGS_EDIT, second_server.address)
    tray.d("click", SETTINGS, 1)
    box = tray.d("message-box", SAVE_FAILED, 60000)
    assert (box["text"], box["icon"]) == (SAVE_FAILED_TEXT, "warning")
    tray.d("click", SAVE_FAILED, 1)
    tray.gone(SAVE_FAILED)
    assert tray.text(SETTINGS, SETTINGS_EDIT) == second_server.address  # still open, to retry or cancel
    tray.d("click", SETTINGS, 2)
    tray.gone(SETTINGS)
    next_queries_go_to_the_first_server("unsaved")
    assert agent.close() == 0
    assert (agent.settings.read_bytes(), agent.settings.stat().st_mtime_ns) == before
    # The log says what was refused and what could not be saved.
    said = [(level, fields) for _, level, event, fields in map(log_event, agent.log_lines()) if event == "settings"]
    refused = {"result": "managed", "source": "file", "address": server.address, "entry": second_server.address}
    assert said[:2] == [("WARN", refused)] * 2
    assert said[2][0] == "WARN" and {k: said[2][1].get(k) for k in ("result", "old", "new", "error")} == \
        {"result": "save-failed", "old": server.address, "new": second_server.address, "error": "5"}
    assert len(said) == 3


def test_message_warnings_keep_the_dialog_and_its_text(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    tray.choose(32793)
    tray.dialog(MESSAGE)

    tray.d("click", MESSAGE, 1)
    box = tray.d("message-box", SEND_FAILED, 60000)
    assert (box["caption"], box["text"], box["icon"]) == (SEND_FAILED, EMPTY_TEXT, "warning")
    assert [(c["id"], c["text"]) for c in box["controls"] if c["class"] == "Button"] == [(1, "확인")]
    assert box["pid"] == agent.window["pid"]
    tray.d("click", SEND_FAILED, 1)
    tray.gone(SEND_FAILED)
    assert not server.requests(MESSAGE_POST)
    assert len(tray.dialogs(MESSAGE)) == 1

    server.answer(MESSAGE_POST, "FALSE")
    text = "재시도 hello"
    tray.set_text(MESSAGE, MESSAGE_EDIT, text)
    tray.d("click", MESSAGE, 1)
    box = tray.d("message-box", SEND_FAILED, 60000)
    assert (box["text"], box["icon"]) == (FAILED_TEXT, "warning")
    tray.d("click", SEND_FAILED, 1)
    tray.gone(SEND_FAILED)
    assert tray.text(MESSAGE, MESSAGE_EDIT) == text
    sent = server.requests(MESSAGE_POST)
    assert len(sent) == 1
    # Sent as entered, in the ANSI code page: what a form parser reads back is those bytes.
    assert form_field(sent[0], "d") == text.encode("cp949")

    # Retrying once the server confirms ends the dialog.
    server.answer(MESSAGE_POST, "TRUE")
    tray.d("click", MESSAGE, 1)
    tray.gone(MESSAGE)
    assert len(server.requests(MESSAGE_POST)) == 2
    assert tray.dialogs() == []
    assert agent.close() == 0


def test_the_ui_driver_keeps_its_bound_while_the_agent_waits_for_the_server(agents, server, prefix):
    # Sending holds the dialog's thread until the server answers or the request's 30 s deadline
    # passes. The driver's commands still end within their own bounds, and say what they saw.
    server.answer(MESSAGE_POST, hang=True)
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    tray.choose(32793)
    tray.dialog(MESSAGE)
    tray.set_text(MESSAGE, MESSAGE_EDIT, "hello")
    tray.d("click", MESSAGE, 1)
    server.wait_requests(MESSAGE_POST)

    started = time.monotonic()
    assert prefix.driver("wait-dialog", MESSAGE, 3000)["caption"] == MESSAGE
    found = time.monotonic() - started
    assert prefix.driver("set-text", MESSAGE, MESSAGE_EDIT, "x") == {"error": "no answer from the window"}
    refused = time.monotonic() - started - found
    print(f"while the agent waits: wait-dialog (3 s bound) {found:.1f} s, set-text (10 s bound) {refused:.1f} s")
    assert found < 10 and refused < 20

    # Once the request has failed, the dialog holds what it held: the refused text never lands.
    box = tray.d("message-box", SEND_FAILED, 60000)
    assert box["text"] == FAILED_TEXT
    tray.d("click", SEND_FAILED, 1)
    tray.gone(SEND_FAILED)
    assert tray.text(MESSAGE, MESSAGE_EDIT) == "hello"
    assert agent.close() == 0


def test_a_long_message_is_sent_as_its_first_127_bytes(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    text = "".join(chr(ord("a") + i % 26) for i in range(200))
    tray.choose(32793)
    tray.dialog(MESSAGE)
    tray.type_text(MESSAGE, MESSAGE_EDIT, text)  # the edit itself takes all 200
    tray.d("click", MESSAGE, 1)
    tray.gone(MESSAGE)
    assert form_field(server.requests(MESSAGE_POST)[0], "d") == text[:127].encode()
    assert agent.close() == 0


def test_both_dialogs_open_at_once_and_an_open_one_comes_to_the_front(agents, server, second_server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    tray.choose(32793)
    tray.wait_foreground(MESSAGE)
    tray.choose(32772)
    tray.wait_foreground(SETTINGS)
    for again, caption in ((32793, MESSAGE), (32772, SETTINGS), (32793, MESSAGE)):
        tray.choose(again)
        tray.wait_foreground(caption)
        # A menu opened after the command was handled: a second copy would be up by now.
        tray.popup(WM_RBUTTONDOWN)
        tray.d("dismiss", 30000)
        assert sorted(d["caption"] for d in tray.dialogs()) == sorted([MESSAGE, SETTINGS])

    # Confirming the settings while the message dialog waits replaces the link it sends with.
    tray.set_text(SETTINGS, SETTINGS_EDIT, second_server.address)
    tray.d("click", SETTINGS, 1)
    tray.gone(SETTINGS)
    assert [d["caption"] for d in tray.dialogs()] == [MESSAGE]
    tray.set_text(MESSAGE, MESSAGE_EDIT, "hi")
    tray.d("click", MESSAGE, 1)
    tray.gone(MESSAGE)
    assert [form_field(r, "d") for r in second_server.requests(MESSAGE_POST)] == [b"hi"]
    assert not server.requests(MESSAGE_POST)

    # Each dialog's end leaves the other one's slot alone: both open again.
    tray.choose(32793)
    tray.dialog(MESSAGE)
    tray.choose(32772)
    tray.dialog(SETTINGS)
    # The message dialog, ended while the settings dialog runs inside its loop, lingers hidden
    # until that loop returns; choosing it again all the same shows a message dialog.
    tray.d("click", MESSAGE, 2)
    tray.gone(MESSAGE)
    tray.choose(32793)
    tray.wait_foreground(MESSAGE)
    for caption in (MESSAGE, SETTINGS):
        tray.d("click", caption, 2)
        tray.gone(caption)
    assert agent.close() == 0
