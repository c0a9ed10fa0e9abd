"""The management server as the agent and the administrator meet it: the request table's exact
answers, code page 949 form text, rejected requests that change nothing, concurrency, and the
command line acting on a running server."""
from __future__ import annotations

import concurrent.futures
import sqlite3
import subprocess
import sys
import threading

import pytest

from conftest import AgentConnection
from mgmtserver.launch import PROGRAM

GRANTED = "00-1A-2B-3C-4D-5E"      # demo: registered as 회계팀-PC01, USB permitted
LOCKED = "00-1A-2B-3C-4D-5F"       # demo: registered as 인사팀-PC02, USB locked
UNKNOWN = "12-34-56-78-9A-BC"

CONNECT = "/Tembrix/connect_check.php"
REGISTER_CHECK = "Tembrix/register_check.php"   # the agent holds this one without its '/'
PERMISSION = "/Tembrix/permission_load.php"
MESSAGE = "/Tembrix/message_post.php"
NODE_NAME = "/Tembrix/get_node_name.php"


def m(address: str) -> bytes:
    return b"m=" + address.encode()


def snapshot(mgmt) -> list[str]:
    db = sqlite3.connect(mgmt.db)
    try:
        return list(db.iterdump())
    finally:
        db.close()


def test_request_table_is_answered_with_the_exact_words(agent):
    # One kept-alive connection carries every question, as the agent's client does.
    assert agent.post(CONNECT) == (200, b"CONNECTED")
    assert agent.post("/" + REGISTER_CHECK, m(GRANTED)) == (200, b"REGISTERED")
    assert agent.post(PERMISSION, m(GRANTED)) == (200, b"TRUE")
    assert agent.post(PERMISSION, m(LOCKED)) == (200, b"FALSE")
    assert agent.post(NODE_NAME, m(GRANTED)) == (200, b"n:" + "회계팀-PC01".encode("cp949"))
    assert agent.post(MESSAGE, m(GRANTED) + b"&d=hello") == (200, b"TRUE")

    # A PC the server has never heard of: every answer must read as "no" to the agent.
    status, answer = agent.post("/" + REGISTER_CHECK, m(UNKNOWN))
    assert status == 200 and answer != b"REGISTERED"
    assert agent.post(PERMISSION, m(UNKNOWN)) == (200, b"FALSE")
    status, answer = agent.post(NODE_NAME, m(UNKNOWN))
    assert status == 200 and not answer.startswith(b"n")


def test_base_path_in_front_of_the_scripts_reaches_them(agent):
    assert agent.post("/app/Tembrix/permission_load.php", m(GRANTED)) == (200, b"TRUE")
    status, page, _ = agent.get(f"/app/Tembrix/register_form.php?n=PC&m={UNKNOWN}")
    assert status == 200 and b'action="register_form.php"' in page


def test_polling_records_a_new_terminal_that_the_admin_can_then_grant(mgmt, agent):
    assert mgmt.terminal(UNKNOWN) is None
    assert agent.post(PERMISSION, m(UNKNOWN)) == (200, b"FALSE")
    seen = mgmt.terminal(UNKNOWN)
    assert seen is not None and not seen["registered"] and seen["last_seen"]

    assert mgmt.switch(UNKNOWN, True) == 200
    assert agent.post(PERMISSION, m(UNKNOWN)) == (200, b"TRUE")
    assert mgmt.terminal(UNKNOWN)["answered"] >= mgmt.terminal(UNKNOWN)["changed"]
    assert mgmt.switch(UNKNOWN, False) == 200
    assert agent.post(PERMISSION, m(UNKNOWN)) == (200, b"FALSE")


def test_message_text_is_decoded_as_code_page_949(mgmt, agent):
    text = "USB 사용 요청 & 100% = a+b"
    escaped = "".join(c if c.isalnum() and c.isascii() else "+" if c == " " else
                      "".join(f"%{b:02X}" for b in c.encode("cp949")) for c in text)
    assert agent.post(MESSAGE, m(GRANTED) + b"&d=" + escaped.encode()) == (200, b"TRUE")
    # An agent that does not escape its code-page bytes is understood too.
    assert agent.post(MESSAGE, m(GRANTED) + b"&d=" + "한글 그대로".encode("cp949")) == (200, b"TRUE")
    # The longest text the message dialog passes: 127 bytes (63 Hangul syllables and one letter).
    longest = "가" * 63 + "x"
    assert agent.post(MESSAGE, m(LOCKED) + b"&d=" + longest.encode("cp949")) == (200, b"TRUE")

    received = [(x["address"], x["text"]) for x in mgmt.state()["messages"]]
    assert received == [(LOCKED, longest), (GRANTED, "한글 그대로"), (GRANTED, text)]
    listing = mgmt.cli("messages")
    assert "회계팀-PC01: USB 사용 요청 & 100% = a+b" in listing


def test_registration_form_is_prefilled_and_registers_on_submit(mgmt, agent):
    # The browser sends the name the agent put in the address as UTF-8 escapes.
    status, page, kind = agent.get(f"/Tembrix/register_form.php?n=%EA%B0%9C%EB%B0%9C+PC&m={UNKNOWN}")
    assert status == 200 and "EUC-KR" in kind
    text = page.decode("cp949")
    assert 'name="n" value="개발 PC"' in text and f'name="m" value="{UNKNOWN}"' in text
    # A page or agent speaking code page 949 bytes is understood as well.
    _, page, _ = agent.get(f"/Tembrix/register_form.php?n=%B0%B3%B9%DF&m={UNKNOWN}")
    assert 'value="개발"' in page.decode("cp949")

    # Submitting posts the form in the page's code page.
    status, _ = agent.post("/Tembrix/register_form.php",
                           f"m={UNKNOWN}&n=".encode() + "개발팀 노트북".encode("cp949"),
                           {"Content-Type": "application/x-www-form-urlencoded"})
    assert status == 200
    assert agent.post("/" + REGISTER_CHECK, m(UNKNOWN)) == (200, b"REGISTERED")
    assert agent.post(NODE_NAME, m(UNKNOWN)) == (200, b"n:" + "개발팀 노트북".encode("cp949"))
    # Opened again without a name, the form offers the registered one.
    _, page, _ = agent.get(f"/Tembrix/register_form.php?n=&m={UNKNOWN}")
    assert 'name="n" value="개발팀 노트북"' in page.decode("cp949")


def test_admin_page_escapes_what_terminals_send(mgmt, agent):
    agent.post(MESSAGE, m(GRANTED) + b"&d=%3Cscript%3Ealert(1)%3C%2Fscript%3E")
    status, page, _ = agent.get("/admin")
    text = page.decode("cp949")
    assert status == 200
    assert "<script>" not in text and "&lt;script&gt;alert(1)&lt;/script&gt;" in text
    for address in (GRANTED, LOCKED):
        assert f'data-address="{address}"' in text
    assert "회계팀-PC01" in text


BAD_AGENT_REQUESTS = [
    ("connect check with a body", CONNECT, b"m=" + GRANTED.encode(), {}),
    ("no m", PERMISSION, b"", {}),
    ("lower-case address", PERMISSION, m(GRANTED.lower()), {}),
    ("short address", PERMISSION, m(GRANTED[:-1]), {}),
    ("short address under a base path", "/app" + PERMISSION, m(GRANTED[:-1]), {}),
    ("address with a line end", PERMISSION, m(GRANTED) + b"%0D%0A", {}),
    ("m given twice", "/" + REGISTER_CHECK, m(GRANTED) + b"&" + m(LOCKED), {}),
    ("field without '='", PERMISSION, m(GRANTED) + b"&x", {}),
    ("broken escape", MESSAGE, m(GRANTED) + b"&d=%G1", {}),
    ("cut escape", MESSAGE, m(GRANTED) + b"&d=ab%4", {}),
    ("half a Hangul syllable", MESSAGE, m(GRANTED) + b"&d=%C7", {}),
    ("not 949 at all", MESSAGE, m(GRANTED) + b"&d=%FF%FF", {}),
    ("empty message", MESSAGE, m(GRANTED) + b"&d=", {}),
    ("message of 128 bytes", MESSAGE, m(GRANTED) + b"&d=" + b"x" * 128, {}),
    ("NUL in message", MESSAGE, m(GRANTED) + b"&d=a%00b", {}),
    ("raw line end in message", MESSAGE, m(GRANTED) + b"&d=a\nb", {}),
    ("multipart body", MESSAGE, m(GRANTED) + b"&d=x", {"Content-Type": "multipart/form-data; boundary=x"}),
    ("huge body", MESSAGE, m(GRANTED) + b"&d=" + b"x" * 10000, {}),
]


@pytest.mark.parametrize("what,script,body,headers", BAD_AGENT_REQUESTS, ids=[b[0] for b in BAD_AGENT_REQUESTS])
def test_bad_agent_request_gets_400_and_changes_nothing(mgmt, what, script, body, headers):
    before = snapshot(mgmt)
    connection = AgentConnection(mgmt.address)
    try:
        status, answer = connection.post(script, body, headers)
    finally:
        connection.close()
    assert (status, answer) == (400, b"BAD REQUEST")
    assert snapshot(mgmt) == before   # not even a "last seen" time moved


BAD_BROWSER_REQUESTS = [
    ("form without m", "GET", "/Tembrix/register_form.php?n=PC", b"", {}),
    ("form with a bad escape", "GET", f"/Tembrix/register_form.php?n=%ZZ&m={UNKNOWN}", b"", {}),
    ("register with an empty name", "POST", "/Tembrix/register_form.php", f"m={UNKNOWN}&n=".encode(), {}),
    ("register a name the agent cannot use", "POST", "/Tembrix/register_form.php",
     f"m={UNKNOWN}&n=a%26b".encode(), {}),
    ("register a name of 98 bytes", "POST", "/Tembrix/register_form.php", f"m={UNKNOWN}&n={'x' * 98}".encode(), {}),
    ("switch to 2", "POST", "/admin/permission", f"m={LOCKED}&granted=2".encode(), {}),
    ("switch a bad address", "POST", "/admin/permission", b"m=nobody&granted=1", {}),
    ("switch from another site", "POST", "/admin/permission", f"m={LOCKED}&granted=1".encode(),
     {"Origin": "http://elsewhere.example"}),
]


@pytest.mark.parametrize("what,method,target,body,headers", BAD_BROWSER_REQUESTS,
                         ids=[b[0] for b in BAD_BROWSER_REQUESTS])
def test_bad_browser_request_gets_400_and_changes_nothing(mgmt, what, method, target, body, headers):
    import http.client
    before = snapshot(mgmt)
    connection = http.client.HTTPConnection(mgmt.address, 80, timeout=30)
    try:
        connection.request(method, target, body or None,
                           {"Content-Type": "application/x-www-form-urlencoded", **headers})
        status = connection.getresponse().status
    finally:
        connection.close()
    assert status == 400
    assert snapshot(mgmt) == before


def test_wrong_method_and_unknown_script_are_refused(agent):
    status, _, _ = agent.get(PERMISSION + "?m=" + GRANTED)
    assert status == 405
    assert agent.post("/Tembrix/permission_save.php", m(GRANTED))[0] == 404


def test_concurrent_agents_and_administrator(mgmt):
    """Forty agents polling and posting at once while the administrator keeps switching one of
    them from the command line: every request is answered with one of its words, and every
    message is stored exactly once."""
    flips = threading.Event()

    def administrator():
        granted = True
        while not flips.is_set():
            subprocess.run([sys.executable, str(PROGRAM), "--db", str(mgmt.db), "grant" if granted else "revoke",
                            GRANTED], check=True, capture_output=True, timeout=60)
            granted = not granted

    def one_agent(n: int) -> list[tuple[int, bytes]]:
        connection = AgentConnection(mgmt.address)
        address = f"02-00-00-00-00-{n:02X}".encode()
        try:
            return [connection.post(PERMISSION, m(GRANTED)),
                    connection.post(PERMISSION, b"m=" + address),
                    connection.post(MESSAGE, b"m=" + address + f"&d=%B8%DE%BD%C3%C1%F6+{n}".encode()),
                    connection.post("/" + REGISTER_CHECK, b"m=" + address)]
        finally:
            connection.close()

    admin = threading.Thread(target=administrator)
    admin.start()
    try:
        with concurrent.futures.ThreadPoolExecutor(40) as pool:
            answers = list(pool.map(one_agent, range(40)))
    finally:
        flips.set()
        admin.join(60)
    for polled, own, posted, registered in answers:
        assert polled in ((200, b"TRUE"), (200, b"FALSE"))
        assert own == (200, b"FALSE") and posted == (200, b"TRUE")
        assert registered[0] == 200 and registered[1] != b"REGISTERED"
    texts = sorted(x["text"] for x in mgmt.state()["messages"])
    assert texts == sorted(f"메시지 {n}" for n in range(40))
    assert len([t for t in mgmt.state()["terminals"] if t["address"].startswith("02-")]) == 40


def test_command_line_acts_on_a_running_server(mgmt, agent):
    mgmt.cli("revoke", GRANTED)
    assert agent.post(PERMISSION, m(GRANTED)) == (200, b"FALSE")
    mgmt.cli("grant", UNKNOWN.lower())
    assert agent.post(PERMISSION, m(UNKNOWN)) == (200, b"TRUE")
    mgmt.cli("register", UNKNOWN, "총무팀-PC")
    assert agent.post(NODE_NAME, m(UNKNOWN)) == (200, "n:총무팀-PC".encode("cp949"))
    lines = {line.split()[0]: line for line in mgmt.cli("list").splitlines()[1:]}
    assert lines[UNKNOWN].split()[1:3] == ["TRUE", "yes"] and lines[UNKNOWN].endswith("총무팀-PC")
    assert lines[GRANTED].split()[1] == "FALSE"

    before = snapshot(mgmt)
    for bad in (["grant", "00-1A"], ["register", UNKNOWN, "a<b"], ["register", UNKNOWN, ""]):
        result = subprocess.run([sys.executable, str(PROGRAM), "--db", str(mgmt.db), *bad],
                                capture_output=True, timeout=60)
        assert result.returncode == 2, bad
    assert snapshot(mgmt) == before
