"""The menus, dialogs, strings and icon that the shipped exe carries, read from its resource section
(on every machine, whether or not it can run it), and the dialogs as they really run."""
from __future__ import annotations

import re
import struct
from xml.etree import ElementTree

import pytest

from peres import (RT_DIALOG, RT_GROUP_ICON, RT_ICON, RT_MANIFEST, RT_MENU, RT_MESSAGETABLE, RT_STRING, dialog_ex,
                   icon_group, message_table, resources, standard_menu, strings)
from traykit import LOCKED, MESSAGE, SETTINGS, WM_LBUTTONDOWN, WM_RBUTTONDOWN, Tray, start_agent
from winenv import SHIPPED_EXE, wait_for

KOREAN = 1042
WM_DPICHANGED = 0x02E0
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
    # Each look of the tray icon at every size the notification area uses from 100 to 400 %, 32-bit
    # with alpha; the locked padlock keeps its 16 x 16 image with 256 colours for older shells.
    sizes = [(s, s, 32) for s in (16, 20, 24, 32, 40, 48, 64)]
    for number, old in ((146, [(16, 16, 8)]), (147, []), (148, [])):
        images = icon_group(one(carried, RT_GROUP_ICON, number))
        assert [(i["width"], i["height"], i["bits"]) for i in images] == old + sizes, number
        for image in images:
            data = one(carried, RT_ICON, image["id"])
            width, height, _planes, bits = struct.unpack_from("<iiHH", data, 4)
            assert (width, height, bits) == (image["width"], 2 * image["height"], image["bits"])  # with its mask
            if bits == 32:
                alpha = set(data[40 + 3:40 + 4 * width * width:4])
                assert {0, 255} <= alpha and len(alpha) > 2, (number, width)  # clear, solid, and smoothed edges
    # The manifest binds the shipped exe to the 32-bit common controls, whose buttons its dialogs need,
    # and asks Windows to scale its menus and dialogs for each monitor's DPI.
    [manifest] = [data for key, data in carried.items() if key[:2] == (RT_MANIFEST, 1)]
    assert manifest.count(b'processorArchitecture="x86"') == 2 and b"Common-Controls" in manifest
    settings = ElementTree.fromstring(manifest).find("{urn:schemas-microsoft-com:asm.v3}application/"
                                                     "{urn:schemas-microsoft-com:asm.v3}windowsSettings")
    assert settings.findtext("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness") == "PerMonitorV2"
    assert settings.findtext("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware") == "true/pm"
    # The event log's messages, in US English, which every Windows falls back to: one per event
    # ID, each naming the twelve insertion strings the agent always passes.
    [messages] = [data for key, data in carried.items() if key[:2] == (RT_MESSAGETABLE, 1) and key[2] == 1033]
    table = message_table(messages)
    assert sorted(table) == [1, 2, 3, 4, 5]
    assert table[1].startswith("Tembrix started.") and table[2].startswith("Tembrix stopped.")
    for text in table.values():
        assert re.findall(r"%(\d+)", text) == [str(n) for n in range(1, 13)], text


@pytest.mark.parametrize("dpi", [96, 144, 192])
def test_icon_menus_and_dialogs_as_they_run_at_each_dpi(agents, server, dpi_prefix, dpi):
    """At 100, 150 and 200 %: the tray icon at the shell's small-icon size, menus at the cursor in
    the DPI's font, and dialogs laid out from their templates in the DPI's dialog units."""
    dpi_prefix.set_dpi(dpi)
    tray = Tray(dpi_prefix)
    agent = start_agent(agents, server, tray, prefix=dpi_prefix)
    image = tray.icon()["image"]
    assert image["size"] == [16 * dpi // 96] * 2 and image["alpha"]
    # Moved to a monitor of twice the DPI and back: the drawn image of each size, the same as before.
    for moved in (2 * dpi, dpi):
        agent.post(WM_DPICHANGED, moved << 16 | moved, 0)
        wait_for(lambda: tray.icon()["image"]["size"] == [16 * moved // 96] * 2, 30, what=f"the icon at {moved} dpi")
    assert tray.icon()["image"] == image
    unit_y = 0
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
        assert 13 * dpi / 96 * 0.8 <= unit_y <= 13 * dpi / 96 * 1.2, units  # the dialog's font grows with the DPI
        assert abs(units["client"][0] - cx * unit_x / 4) <= 1 and abs(units["client"][1] - cy * unit_y / 8) <= 1
        # Each control where its template puts it, in this DPI's dialog units.
        for control, (_, _, _, _, (x, y, w, h)) in zip(live["controls"], controls):
            left, top, right, bottom = control["rect"]
            expected = (x * unit_x / 4, y * unit_y / 8, w * unit_x / 4, h * unit_y / 8)
            seen = (left - units["origin"][0], top - units["origin"][1], right - left, bottom - top)
            assert all(abs(a - b) <= 1 for a, b in zip(seen, expected)), (control["id"], seen, expected)
        # The caption's small icon is the tray icon; no large icon is set.
        assert units["icons"] == "tray,none"
        tray.d("click", caption, 2)
        tray.d("wait-dialog-gone", caption, 30000)
    # Both menus at the cursor, each item at least as tall as the dialogs' font at this DPI.
    for mouse, first in ((WM_LBUTTONDOWN, LOCKED), (WM_RBUTTONDOWN, MESSAGE)):
        popup = tray.popup(mouse, 600, 400)
        assert (popup["rect"][2], popup["rect"][1]) == (600, 400)
        assert popup["items"][0]["text"] == first
        assert all(i["rect"][3] - i["rect"][1] >= unit_y for i in popup["items"] if not i["separator"]), popup
        tray.d("dismiss", 30000)
    assert agent.close() == 0
