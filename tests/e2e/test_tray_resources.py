"""The menus, dialogs, strings and icon that the shipped exe carries, read from its resource section
(on every machine, whether or not it can run it), and the dialogs as they really run."""
from __future__ import annotations

import re
import struct

import pytest

from peres import (RT_DIALOG, RT_GROUP_ICON, RT_ICON, RT_MANIFEST, RT_MENU, RT_MESSAGETABLE, RT_STRING, dialog_ex,
                   icon_group, message_table, resources, standard_menu, strings)
from traykit import MESSAGE, SETTINGS, Tray, start_agent
from winenv import SHIPPED_EXE

KOREAN = 1042
WS_CHILD_VISIBLE = 0x40000000 | 0x10000000
WS_TABSTOP, WS_GROUP, WS_BORDER = 0x00010000, 0x00020000, 0x00800000
BUTTON, EDIT, STATIC = 0x80, 0x81, 0x82
# WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT | DS_FIXEDSYS
DIALOG_STYLE = 0x80000000 | 0x00C00000 | 0x00080000 | 0x80 | 0x800 | 0x40 | 0x08

# id, class, text, further style, (x, y, cx, cy); in template order, which is the tab order
SETTINGS_CONTROLS = [
    (1, BUTTON, "확인", 0x1 | WS_TABSTOP, (122, 47, 50, 14)),
    (2, BUTTON, "취소", 0x0 | WS_TABSTOP, (174, 47, 50, 14)),
    (1036, STATIC, "서버 호스트 주소", 0x0 | WS_GROUP, (16, 25, 65, 8)),
    (1015, BUTTON, "서버", 0x7, (9, 8, 214, 38)),
    (1016, EDIT, "", 0x0 | 0x80 | WS_BORDER | WS_TABSTOP, (85, 22, 129, 15)),
]
MESSAGE_CONTROLS = [
    (1, BUTTON, "전송", 0x1 | WS_TABSTOP, (122, 39, 50, 14)),
    (2, BUTTON, "취소", 0x0 | WS_TABSTOP, (174, 39, 50, 14)),
    (1015, BUTTON, "메시지", 0x7, (9, 8, 214, 29)),
    (1051, EDIT, "", 0x0 | 0x80 | WS_BORDER | WS_TABSTOP, (15, 17, 199, 15)),
]
DIALOGS = {149: (SETTINGS, (0, 0, 233, 70), SETTINGS_CONTROLS), 150: (MESSAGE, (0, 0, 233, 61), MESSAGE_CONTROLS)}


@pytest.fixture(scope="module")
def carried():
    return resources(SHIPPED_EXE)


def one(carried, kind, name):
    found = {key: data for key, data in carried.items() if key[:2] == (kind, name)}
    assert list(found) == [(kind, name, KOREAN)], f"resource {kind}/{name} in languages {list(found)}"
    return found[(kind, name, KOREAN)]


@pytest.mark.parametrize("number", [149, 150])
def test_dialog_templates_are_exact(carried, number):
    caption, rect, controls = DIALOGS[number]
    dialog = dialog_ex(one(carried, RT_DIALOG, number))
    assert (dialog.caption, dialog.rect, dialog.style, dialog.exstyle) == (caption, rect, DIALOG_STYLE, 0)
    assert (dialog.menu, dialog.window_class) == (None, None)
    assert dialog.font == (8, 400, 0, 1, "MS Shell Dlg")
    seen = [(c.id, c.window_class, c.text, c.style, c.rect) for c in dialog.controls]
    assert seen == [(i, k, t, WS_CHILD_VISIBLE | s, r) for i, k, t, s, r in controls]
    assert all(c.exstyle == 0 and c.extra == b"" for c in dialog.controls)


def test_menus_are_standard_templates_with_the_fixed_items(carried):
    MF_GRAYED, MF_POPUP, MF_END = 0x1, 0x10, 0x80
    command = standard_menu(one(carried, RT_MENU, 129))
    assert [(f, t) for f, _, t, _ in command] == [(MF_POPUP | MF_END, "시스템 트레이")]
    assert command[0][3] == [(0, 32793, "메시지 전송", None), (0, 0, "", None),  # the separator
                             (0, 32772, "환경 설정", None), (MF_END, 32776, "단말기 등록", None)]
    status = standard_menu(one(carried, RT_MENU, 130))
    assert [(f, t) for f, _, t, _ in status] == [(MF_POPUP | MF_END, "시스템 트레이")]
    assert status[0][3] == [(MF_GRAYED | MF_END, 32794, "USB Lock...", None)]


def test_strings_icon_and_the_event_log_messages(carried):
    table = strings(one(carried, RT_STRING, 103 // 16 + 1), 103 // 16 + 1)
    assert (table.get(103), table.get(109)) == ("Tembrix", "TEMBRIX")
    images = icon_group(one(carried, RT_GROUP_ICON, 146))
    assert [(i["width"], i["height"], i["bits"]) for i in images] == [(16, 16, 8)]
    header = one(carried, RT_ICON, images[0]["id"])
    width, height, _planes, bits = struct.unpack_from("<iiHH", header, 4)
    assert (width, height, bits) == (16, 32, 8)  # height covers the image and its mask
    # The manifest binds the shipped exe to the 32-bit common controls, whose buttons its dialogs need.
    [manifest] = [data for key, data in carried.items() if key[:2] == (RT_MANIFEST, 1)]
    assert manifest.count(b'processorArchitecture="x86"') == 2 and b"Common-Controls" in manifest
    # The event log's messages, in US English, which every Windows falls back to: one per event
    # ID, each naming the twelve insertion strings the agent always passes.
    [messages] = [data for key, data in carried.items() if key[:2] == (RT_MESSAGETABLE, 1) and key[2] == 1033]
    table = message_table(messages)
    assert sorted(table) == [1, 2, 3, 4, 5]
    assert table[1].startswith("Tembrix started.") and table[2].startswith("Tembrix stopped.")
    for text in table.values():
        assert re.findall(r"%(\d+)", text) == [str(n) for n in range(1, 13)], text


def test_running_dialogs_keep_the_template_order_ids_and_size(agents, server, prefix):
    tray = Tray(prefix)
    agent = start_agent(agents, server, tray)
    for number, command in ((149, 32772), (150, 32793)):
        caption, (_, _, cx, cy), controls = DIALOGS[number]
        tray.choose(command)
        live = tray.dialog(caption)
        assert live["pid"] == agent.window["pid"]
        assert live["style"] & DIALOG_STYLE == DIALOG_STYLE
        kinds = {BUTTON: "Button", EDIT: "Edit", STATIC: "Static"}
        # Children in Z order: the order the keyboard's Tab follows.
        assert [(c["id"], c["class"], c["text"]) for c in live["controls"]] == \
            [(i, kinds[k], server.address if i == 1016 else t) for i, k, t, _, _ in controls]
        tab_stops = [c["id"] for c in live["controls"] if c["style"] & WS_TABSTOP]
        assert tab_stops == [i for i, _, _, s, _ in controls if s & WS_TABSTOP]
        units = tray.d("dialog-units", caption)
        unit_x, unit_y = units["unit"]
        assert abs(units["client"][0] - cx * unit_x / 4) <= 1 and abs(units["client"][1] - cy * unit_y / 8) <= 1
        # The caption's small icon is the tray icon; no large icon is set.
        assert units["icons"] == "tray,none"
        tray.d("click", caption, 2)
        tray.d("wait-dialog-gone", caption, 30000)
    assert agent.close() == 0
