"""Reads the resources that a built Windows executable really carries (its .rsrc section) and
decodes the templates the agent uses: extended dialogs, standard menus, string tables, icon groups,
the event log's message table.
Nothing here runs Windows code; it reads bytes."""
from __future__ import annotations

import struct
from dataclasses import dataclass, field
from pathlib import Path

RT_ICON, RT_MENU, RT_DIALOG, RT_STRING, RT_MESSAGETABLE, RT_GROUP_ICON, RT_MANIFEST = 3, 4, 5, 6, 11, 14, 24


def resources(exe: Path) -> dict[tuple, bytes]:
    """{(type, name, language): data} from the PE file's resource directory."""
    image = Path(exe).read_bytes()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe:pe + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional_size
    for i in range(sections):
        name, _, virtual, raw_size, raw = struct.unpack_from("<8sIIII", image, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            break
    else:
        raise ValueError("no .rsrc section")

    def entries(offset):
        named, numbered = struct.unpack_from("<HH", image, raw + offset + 12)
        for k in range(named + numbered):
            ident, target = struct.unpack_from("<II", image, raw + offset + 16 + 8 * k)
            if ident & 0x80000000:
                length = struct.unpack_from("<H", image, raw + (ident & 0x7FFFFFFF))[0]
                start = raw + (ident & 0x7FFFFFFF) + 2
                ident = image[start:start + 2 * length].decode("utf-16le")
            yield ident, target

    found = {}
    for kind, t in entries(0):
        for name, n in entries(t & 0x7FFFFFFF):
            for language, leaf in entries(n & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", image, raw + leaf)
                found[(kind, name, language)] = image[raw + rva - virtual:raw + rva - virtual + size]
    return found


def _wide(data: bytes, offset: int) -> tuple[str, int]:
    end = offset
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[offset:end].decode("utf-16le"), end + 2


def _name_or_ordinal(data: bytes, offset: int):
    first = struct.unpack_from("<H", data, offset)[0]
    if first == 0:
        return None, offset + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, offset + 2)[0], offset + 4
    return _wide(data, offset)


def _align(offset: int, to: int = 4) -> int:
    return (offset + to - 1) & ~(to - 1)


@dataclass
class Control:
    id: int
    window_class: object  # 0x80 button, 0x81 edit, 0x82 static, or a class name
    text: object
    style: int
    exstyle: int
    rect: tuple
    extra: bytes


@dataclass
class Dialog:
    style: int
    exstyle: int
    rect: tuple
    menu: object
    window_class: object
    caption: str
    font: tuple  # (points, weight, italic, charset, face)
    controls: list = field(default_factory=list)


def dialog_ex(data: bytes) -> Dialog:
    version, signature, _help, exstyle, style, count, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", data, 0)
    assert (version, signature) == (1, 0xFFFF), "not an extended dialog template"
    offset = 26
    menu, offset = _name_or_ordinal(data, offset)
    window_class, offset = _name_or_ordinal(data, offset)
    caption, offset = _wide(data, offset)
    font = None
    if style & 0x40:  # DS_SETFONT
        points, weight, italic, charset = struct.unpack_from("<HHBB", data, offset)
        face, offset = _wide(data, offset + 6)
        font = (points, weight, italic, charset, face)
    dialog = Dialog(style, exstyle, (x, y, cx, cy), menu, window_class, caption, font)
    for _ in range(count):
        offset = _align(offset)
        _help, c_exstyle, c_style, cx_, cy_, cw, ch, c_id = struct.unpack_from("<IIIhhhhI", data, offset)
        offset += 24
        c_class, offset = _name_or_ordinal(data, offset)
        c_text, offset = _name_or_ordinal(data, offset)
        c_text = "" if c_text is None else c_text  # an empty text and "no text" are the same word
        extra_size = struct.unpack_from("<H", data, offset)[0]
        extra = data[offset + 2:offset + 2 + extra_size]
        offset += 2 + extra_size
        dialog.controls.append(Control(c_id, c_class, c_text, c_style, c_exstyle, (cx_, cy_, cw, ch), extra))
    return dialog


def standard_menu(data: bytes) -> list:
    """[(flags, id, text, children)] of a standard (not extended) menu template."""
    version, header = struct.unpack_from("<HH", data, 0)
    assert version == 0, "not a standard menu template"
    offset = 4 + header

    def items(offset):
        out = []
        while True:
            flags = struct.unpack_from("<H", data, offset)[0]
            offset += 2
            if flags & 0x10:  # MF_POPUP: no id
                text, offset = _wide(data, offset)
                children, offset = items(offset)
                out.append((flags, None, text, children))
            else:
                ident = struct.unpack_from("<H", data, offset)[0]
                text, offset = _wide(data, offset + 2)
                out.append((flags, ident, text, None))
            if flags & 0x80:  # MF_END
                return out, offset

    return items(offset)[0]


def strings(table: bytes, block: int) -> dict[int, str]:
    out, offset = {}, 0
    for i in range(16):
        length = struct.unpack_from("<H", table, offset)[0]
        if length:
            out[(block - 1) * 16 + i] = table[offset + 2:offset + 2 + 2 * length].decode("utf-16le")
        offset += 2 + 2 * length
    return out


def message_table(data: bytes) -> dict[int, str]:
    """{message ID: text} of a MESSAGE_RESOURCE_DATA; every entry must be UTF-16 (flag 1)."""
    out = {}
    for block in range(struct.unpack_from("<I", data, 0)[0]):
        low, high, offset = struct.unpack_from("<III", data, 4 + 12 * block)
        for ident in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, offset)
            assert flags == 1, f"message {ident} is not UTF-16"
            out[ident] = data[offset + 4:offset + length].decode("utf-16le").rstrip("\0")
            offset += length
    return out


def icon_group(data: bytes) -> list[dict]:
    _reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert kind == 1
    out = []
    for i in range(count):
        w, h, colours, _r, planes, bits, size, ident = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        out.append({"width": w or 256, "height": h or 256, "colours": colours, "bits": bits, "id": ident,
                    "size": size})
    return out
