"""The agent's side of the wire, as the server reads it: form bodies, query strings, terminal
addresses and node names. Pure functions; every rejection is a BadRequest, raised before any
state is touched."""
from __future__ import annotations

import re

# The agent's texts are in the Korean ANSI code page; so are the pages this server serves.
CODEPAGE = "cp949"
HTML_CHARSET = "EUC-KR"   # browsers map this label to code page 949

ADDRESS_PATTERN = re.compile(r"[0-9A-F]{2}(?:-[0-9A-F]{2}){5}")
NODE_NAME_MAX_BYTES = 97        # the agent keeps at most 97 bytes of a node-name answer
MESSAGE_MAX_BYTES = 127         # the message dialog passes at most 127 bytes
BODY_MAX_BYTES = 4096           # the longest agent body is 17 + 127 * 3 escaped bytes and the names
UNUSABLE_NAME_CHARACTERS = "<>&'\"`%"   # the agent blanks a name holding any of these
_HEX = b"0123456789ABCDEFabcdef"


class BadRequest(ValueError):
    """The request is malformed; it gets a 400 and changes nothing."""


def _unescape(raw: bytes, what: str) -> bytes:
    """Percent escapes and '+' of one form field; raw bytes of 0x80 and up pass (an agent that
    does not escape sends its code-page bytes as they are), raw control bytes do not."""
    out = bytearray()
    i = 0
    while i < len(raw):
        c = raw[i]
        if c == 0x25:  # '%'
            pair = raw[i + 1:i + 3]
            if len(pair) != 2 or pair[0] not in _HEX or pair[1] not in _HEX:
                raise BadRequest(f"broken percent escape in {what}")
            out.append(int(pair, 16))
            i += 3
            continue
        if c < 0x20 or c == 0x7F:
            raise BadRequest(f"raw control byte in {what}")
        out.append(0x20 if c == 0x2B else c)
        i += 1
    return bytes(out)


def decode_form(body: bytes) -> dict[str, str]:
    """An application/x-www-form-urlencoded body whose bytes are code page 949 text."""
    fields: dict[str, str] = {}
    if not body:
        return fields
    if len(body) > BODY_MAX_BYTES:
        raise BadRequest("body too long")
    for part in body.split(b"&"):
        if b"=" not in part:
            raise BadRequest("form field without '='")
        raw_name, raw_value = part.split(b"=", 1)
        try:
            name = _unescape(raw_name, "a field name").decode("ascii")
            value = _unescape(raw_value, f"field {name}").decode(CODEPAGE)
        except UnicodeDecodeError as e:
            raise BadRequest(f"not code page 949 text: {e.reason}") from None
        if not name:
            raise BadRequest("empty field name")
        if name in fields:
            raise BadRequest(f"field {name} given twice")
        if "\0" in value:
            raise BadRequest(f"NUL in field {name}")
        fields[name] = value
    return fields


def decode_query(query: str) -> dict[str, str]:
    """A query string as the browser sends it: escapes of UTF-8 (an address typed or handed to the
    browser as text), or of code page 949 bytes (a page in that code page, or an agent's raw
    bytes). `query` holds the request line's bytes as latin-1 characters."""
    fields: dict[str, str] = {}
    if not query:
        return fields
    for part in query.encode("latin-1").split(b"&"):
        raw_name, _, raw_value = part.partition(b"=")
        name_bytes = _unescape(raw_name, "a parameter name")
        value_bytes = _unescape(raw_value, "a parameter")
        try:
            name = name_bytes.decode("ascii")
        except UnicodeDecodeError:
            raise BadRequest("non-ASCII parameter name") from None
        for codec in ("utf-8", CODEPAGE):
            try:
                value = value_bytes.decode(codec)
                break
            except UnicodeDecodeError:
                continue
        else:
            raise BadRequest(f"parameter {name} is neither UTF-8 nor code page 949 text")
        if name in fields:
            raise BadRequest(f"parameter {name} given twice")
        fields[name] = value
    return fields


def terminal_address(fields: dict[str, str], name: str = "m") -> str:
    """The terminal address field: six upper-case hexadecimal pairs joined by '-', as the agent
    formats it, and nothing else."""
    value = fields.get(name)
    if value is None:
        raise BadRequest(f"field {name} missing")
    if not ADDRESS_PATTERN.fullmatch(value):
        raise BadRequest(f"field {name} is not a terminal address")
    return value


def node_name(value: str) -> str:
    """A name to register a terminal under: one the agent can pre-fill its form with later."""
    value = value.strip()
    if not value:
        raise BadRequest("empty node name")
    if any(c in UNUSABLE_NAME_CHARACTERS for c in value) or any(ord(c) < 0x20 for c in value):
        raise BadRequest("the node name holds a character the agent cannot use: < > & ' \" ` % or a control")
    try:
        size = len(value.encode(CODEPAGE))
    except UnicodeEncodeError:
        raise BadRequest("the node name holds a character outside code page 949") from None
    if size > NODE_NAME_MAX_BYTES:
        raise BadRequest(f"node name longer than {NODE_NAME_MAX_BYTES} bytes")
    return value


def message_text(fields: dict[str, str]) -> str:
    value = fields.get("d")
    if value is None:
        raise BadRequest("field d missing")
    if not value:
        raise BadRequest("empty message")
    if len(value.encode(CODEPAGE)) > MESSAGE_MAX_BYTES:
        raise BadRequest(f"message longer than {MESSAGE_MAX_BYTES} bytes")
    return value


def node_name_answer(name: str) -> bytes:
    """"n:" and the name's code-page bytes: the agent takes the name from the third byte on."""
    return b"n:" + name.encode(CODEPAGE)
