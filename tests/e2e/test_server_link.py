"""What the real agent sends to the management server, and how it reads the answers.

The requests are observed in the scriptable server's log; the permission the agent derives from
an answer is read where the USB-lock component reads it, from the lock-state pipe (pipemon.exe).
"""
from __future__ import annotations

import re
import time
import urllib.parse

import pytest

from harness import TRICKLE, next_loopback_address
from traykit import LOCKED, WM_LBUTTONDOWN, Tray, popup_texts
from winenv import WM_COMMAND, wait_for

CONNECT = "/Tembrix/connect_check.php"
REGISTER = "/Tembrix/register_check.php"
PERMISSION = "/Tembrix/permission_load.php"
MESSAGE = "/Tembrix/message_post.php"
NODE_NAME = "/Tembrix/get_node_name.php"

IDM_REGISTER = 32776
IDM_SEND_MESSAGE = 32793
MESSAGE_CAPTION = "메시지 전송"
SETTINGS_CAPTION = "환경 설정"
IDC_MESSAGE_TEXT = 1051
IDOK, IDCANCEL = 1, 2
WM_NULL = 0

TERMINAL_ADDRESS = re.compile(r"[0-9A-F]{2}(-[0-9A-F]{2}){5}")
CONTENT_TYPE_LINE = re.compile(rb"\r\nContent-Type: application/x-www-form-urlencoded; ?(\r\n|$)")


PIPEMON_LINE = re.compile(r"^\S+ (\d+) (.*)$")


def peek(prefix, timeout: float = 30, wanted: str | None = None) -> dict:
    """Reads the lock-state pipe until `wanted` (or any first message) arrives."""
    args = ["--exit-after", str(int(timeout * 1000))] + (["--until", wanted] if wanted else ["--count", "1"])
    result = prefix.run(["wine", prefix.tool("pipemon"), *args], timeout=timeout + 60, check=False)
    messages = []
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        match = PIPEMON_LINE.match(line)
        if match:
            messages.append(match.group(2).removesuffix("\\0"))
    found = result.returncode == 0 and bool(messages) and (wanted is None or messages[-1] == wanted)
    return {"messages": messages, "found": found}


def wire_headers(entry: dict) -> dict:
    return {name.lower(): value for name, value in entry["headers"]}


def expected_headers(address: str, body: bytes) -> dict:
    """Every header of every request, as Wine's WinINet writes them: over https (WinHTTP) too."""
    return {"host": address, "content-length": str(len(body)), "user-agent": "CalderwynHTTPRequest",
            "cache-control": "no-cache", "content-type": "application/x-www-form-urlencoded;",
            "connection": "Keep-Alive"}


def first_pipe_message(prefix) -> str:
    answer = peek(prefix)
    assert answer.get("found"), answer
    return answer["messages"][0]


def terminal_address(server) -> str:
    body = server.wait_requests(PERMISSION)[0]["body"]
    assert body.startswith("m=") and TERMINAL_ADDRESS.fullmatch(body[2:]), body
    return body[2:]


def computer_name(prefix) -> str:
    result = prefix.run(["wine", "cmd", "/c", "echo %COMPUTERNAME%"])
    return result.stdout.decode("cp949").strip()


def wait_new_url(prefix, count: int, timeout: float = 60) -> str:
    return wait_for(lambda: (lambda u: u[count] if len(u) > count else None)(prefix.recorded_urls()),
                    timeout, step=0.1, what=f"address #{count + 1} handed to the browser")


def send_message(prefix, agent, server, text: str) -> dict:
    before = len(server.requests(MESSAGE))
    agent.post(WM_COMMAND, IDM_SEND_MESSAGE, 0)
    assert prefix.driver("wait-dialog", MESSAGE_CAPTION, 30000).get("hwnd")
    assert prefix.driver("set-text", MESSAGE_CAPTION, IDC_MESSAGE_TEXT, text).get("set")
    prefix.driver("click", MESSAGE_CAPTION, IDOK)
    request = server.wait_requests(MESSAGE, before + 1)[before]
    # The server said TRUE: the dialog closes by itself.
    assert prefix.driver("wait-dialog-gone", MESSAGE_CAPTION, 30000).get("gone")
    return request


# -- the exact requests -------------------------------------------------------------------------

@pytest.mark.parametrize("form, base", [
    ("{a}", "/"),
    ("{a}/", "/"),
    ("{a}/app", "/app/"),
    ("http://{a}/app/", "/app/"),
])
def test_each_query_sends_its_exact_request(agents, server, prefix, form, base):
    host_address = form.format(a=server.address)
    agent = agents(host_address).start()
    agent.wait_window()
    address = terminal_address(server)
    server.wait_requests(CONNECT)
    server.wait_requests(REGISTER, 2)

    send_message(prefix, agent, server, "hello")
    agent.post(WM_COMMAND, IDM_REGISTER, 0)
    url = wait_new_url(prefix, 0)
    server.wait_requests(NODE_NAME)
    assert agent.close() == 0

    expected_bodies = {CONNECT: b"", PERMISSION: f"m={address}".encode(),
                       MESSAGE: f"m={address}&d=hello".encode(), NODE_NAME: f"m={address}".encode()}
    requests = server.requests()
    assert requests
    for entry in requests:
        path = entry["path"]
        script = "/Tembrix/" + path.rsplit("/", 1)[-1]
        # The object name is the base path in front of the script, whichever form the
        # request path had in the program ("Tembrix/x.php" or "/Tembrix/x.php").
        assert entry["request_line"] == f"POST {base}Tembrix/{script[9:]} HTTP/1.1", entry
        assert CONTENT_TYPE_LINE.search(bytes.fromhex(entry["raw_head_hex"])), entry["headers"]
        body = bytes.fromhex(entry["body_hex"])
        assert wire_headers(entry) == expected_headers(server.address, body), entry["headers"]
        if script == REGISTER:
            assert body.startswith(b"m=") and TERMINAL_ADDRESS.fullmatch(body[2:].decode()), body
        else:
            assert body == expected_bodies[script], (script, body)
    # The address check at start-up names this PC by the address it then uses everywhere.
    assert server.requests(REGISTER)[-1]["body"] == f"m={address}"
    # The form address is built from the stored host address itself, base path and all; a stored
    # "http://" is its own.
    scheme = "" if host_address.startswith("http://") else "http://"
    assert url == f"{scheme}{host_address}/Tembrix/register_form.php?n=TEST-PC&m={address}"


# -- how answers are read -----------------------------------------------------------------------

@pytest.mark.parametrize("body, status, expected", [
    (b"TRUE", 200, "TRUE"),
    (b"\xef\xbb\xbfTRUE", 200, "TRUE"),   # UTF-8 byte-order mark
    (b"\xfe\xffTRUE", 200, "TRUE"),       # FE FF mark
    (b"TRUE", 404, "TRUE"),               # the status is not examined
    (b"TRUE", 500, "TRUE"),
    (b"\xff\xfeTRUE", 200, "FALSE"),      # FF FE alone is no mark
    (b"TRUE\r\n", 200, "FALSE"),
    (b"true", 200, "FALSE"),
    (b" TRUE", 200, "FALSE"),
    (b"FALSE", 200, "FALSE"),
], ids=["plain", "utf8-mark", "fe-ff-mark", "404", "500", "ff-fe", "line-end", "lower-case",
        "leading-blank", "false"])
def test_permission_answer_reaches_the_pipe(agents, server, prefix, body, status, expected):
    server.answer(PERMISSION, body, status=status)
    agent = agents(server.address).start()
    agent.wait_window()
    server.wait_requests(PERMISSION)
    assert first_pipe_message(prefix) == expected
    assert agent.close() == 0


def test_no_listener_refuses_at_once(agents, prefix):
    # An address of this run where nothing listens: every connection is refused.
    start = time.monotonic()
    agent = agents(next_loopback_address()).start()
    assert prefix.driver("wait-dialog", SETTINGS_CAPTION, 60000).get("hwnd")
    took = time.monotonic() - start
    print(f"start-up with a refused server reached the settings dialog after {took:.1f} s")
    # Address choice, first permission and connection check all failed without waiting for
    # a time-out (one time-out alone would be 30 s).
    assert took < 20
    assert first_pipe_message(prefix) == "FALSE"
    prefix.driver("click", SETTINGS_CAPTION, IDCANCEL)
    agent.wait_window()
    assert agent.close() == 0


def test_server_that_takes_no_connection_costs_seconds_not_minutes(isolated_pc):
    # Every connection attempt hangs, as towards a server switched off behind a firewall that
    # drops packets: each request gives up after the connect bound instead of TCP's minutes.
    pc = isolated_pc(["02:00:00:00:00:01"], never_accept=True)
    start = time.monotonic()
    agent = pc.agent().start()
    assert first_pipe_message(pc.prefix) == "FALSE"
    piped = time.monotonic() - start
    assert pc.prefix.driver("wait-dialog", SETTINGS_CAPTION, 90000).get("hwnd")
    dialog = time.monotonic() - start
    print(f"connection attempts dropped: FALSE in the pipe {piped:.1f} s after start, "
          f"settings dialog after {dialog:.1f} s")
    # Address check and first permission query, then the connection check: three connect bounds.
    assert dialog < 60
    pc.prefix.driver("click", SETTINGS_CAPTION, IDCANCEL)
    agent.wait_window()
    assert agent.close() == 0


def test_lost_server_withdraws_permission_at_the_next_poll(agents, server, prefix):
    server.answer(PERMISSION, "TRUE")
    agent = agents(server.address).start()
    agent.wait_window()
    assert first_pipe_message(prefix) == "TRUE"
    server.stop()
    stopped = time.monotonic()
    answer = peek(prefix, 60, "FALSE")
    took = time.monotonic() - stopped
    print(f"permission withdrawn {took:.1f} s after the server went away")
    assert answer["found"], answer
    # One poll interval (10 s) and one publish interval (2 s), not a request time-out on top.
    assert took < 25
    assert agent.running()
    assert agent.close() == 0


def test_silent_server_refuses_after_the_time_out_and_the_agent_keeps_running(agents, server, prefix):
    # Start-up's own request is granted; the poller's first request is taken and never
    # answered; the poll after it is granted again.
    server.answer(PERMISSION, sequence=[{"body": "TRUE"}, {"hang": True}, {"body": "TRUE"}])
    agent = agents(server.address).start()
    agent.wait_window()
    assert first_pipe_message(prefix) == "TRUE"
    hung = server.wait_requests(PERMISSION, 2)[1]

    # While the poller waits, the window still handles messages.
    assert "result" in agent.prefix.driver("send", "TEMBRIX", WM_NULL, 0, 0, timeout=30)

    answer = peek(prefix, 90, "FALSE")
    assert answer["found"], answer
    waited = time.time() - hung["time"]
    print(f"silent server: permission refused {waited:.1f} s after the unanswered request")
    assert 25 < waited < 45  # the 30 s request time-out, plus up to one publish interval

    # The poller lives on: its next request is made and its grant published.
    server.wait_requests(PERMISSION, 3, timeout=30)
    assert peek(prefix, 30, "TRUE")["found"]
    assert agent.running()
    assert agent.close() == 0


def test_trickling_answer_fails_at_the_deadline_and_gives_the_tray_back(agents, server, prefix):
    # Start-up's and the first poll's answers grant; from then on each answer is 100 bytes sent
    # one every 2 s, which would hold a request for over three minutes.
    server.answer(PERMISSION, sequence=[{"body": "TRUE"}, {"body": "TRUE"}, TRICKLE])
    agent = agents(server.address).start()
    agent.wait_window()
    slow = server.wait_requests(PERMISSION, 3, timeout=60)[2]
    tray = Tray(prefix)
    tray.d("tray-notify", WM_LBUTTONDOWN, 600, 400)  # its own request trickles as well
    clicked = time.monotonic()

    answer = peek(prefix, 90, "FALSE")
    withdrawn = time.time() - slow["time"]
    assert answer["found"], answer
    assert popup_texts(tray.d("wait-popup", 90000)) == [LOCKED, "서버가 응답하지 않습니다 (deadline)"]
    returned = time.monotonic() - clicked
    tray.d("dismiss", 30000)
    print(f"trickling server: FALSE in the pipe {withdrawn:.1f} s after the slow poll began; "
          f"the left click's menu after {returned:.1f} s")
    # One deadline and one publish interval, not the trickle's 200 s.
    assert withdrawn < 60 and returned < 60
    assert agent.close() == 0


def test_answer_cut_short_by_the_time_out_grants_nothing(agents, server, prefix):
    # The poller's first answer announces 10 bytes, sends "TRUE" and then nothing more: what
    # arrived before the time-out is no answer.
    cut_short = {"body": "TRUE", "headers": [["Content-Length", "10"]], "hang_after": True}
    server.answer(PERMISSION, sequence=[{"body": "TRUE"}, cut_short, {"body": "TRUE"}])
    agent = agents(server.address).start()
    agent.wait_window()
    assert first_pipe_message(prefix) == "TRUE"
    server.wait_requests(PERMISSION, 2)
    answer = peek(prefix, 90, "FALSE")
    assert answer["found"], answer
    assert agent.close() == 0


def test_answer_cut_short_by_a_closed_connection_grants_nothing(agents, server, prefix):
    # Announced as 10 bytes, "TRUE" sent, then the connection closes: the body ends early, and
    # what arrived is not what the server meant to say.
    closed_early = {"body": "TRUE", "headers": [["Content-Length", "10"]], "close_after": True}
    server.answer(PERMISSION, sequence=[closed_early, closed_early, {"body": "TRUE"}])
    agent = agents(server.address).start()
    agent.wait_window()
    server.wait_requests(PERMISSION, 2)  # start-up's and the poller's first: both cut short
    assert first_pipe_message(prefix) == "FALSE"
    assert peek(prefix, 30, "TRUE")["found"]  # the next poll's whole answer grants
    assert agent.close() == 0


# -- node names and the registration form -------------------------------------------------------

def test_node_name_answers_fill_the_registration_address(agents, server, prefix):
    agent = agents(server.address).start()
    agent.wait_window()
    address = terminal_address(server)
    name = computer_name(prefix)
    assert name
    cases = [
        ("n:PC-01", "PC-01"),
        ("n=Lab 3", "Lab%203"),
        ("n", ""),
        ("n:", ""),
        ("x:PC-01", name),          # any other first letter: the computer's name
        *((f"n:ab{c}cd", "") for c in "<>&'\"`%;"),  # each of these makes the name unusable
        ("n:PC#2+3?x", "PC%232%2B3%3Fx"),  # characters that would change the address
    ]
    for count, (answer, n) in enumerate(cases):
        server.answer(NODE_NAME, answer)
        before = len(server.requests(NODE_NAME))
        agent.post(WM_COMMAND, IDM_REGISTER, 0)
        url = wait_new_url(prefix, count)
        assert url == f"http://{server.address}/Tembrix/register_form.php?n={n}&m={address}", answer
        asked = server.requests(NODE_NAME)
        assert len(asked) == before + 1 and asked[-1]["body"] == f"m={address}"
    assert agent.close() == 0


def test_unregistered_pc_uses_the_computer_name_without_asking(agents, server, prefix):
    server.answer(REGISTER, "NOT REGISTERED")
    agent = agents(server.address).start()
    # Not registered: start-up hands the form to the browser by itself.
    url = wait_new_url(prefix, 0)
    agent.wait_window()
    address = terminal_address(server)
    assert url == (f"http://{server.address}/Tembrix/register_form.php"
                   f"?n={computer_name(prefix)}&m={address}")
    assert server.requests(NODE_NAME) == []
    assert agent.close() == 0


# -- message bodies -----------------------------------------------------------------------------

def test_message_bodies_reach_a_form_parser_unchanged(agents, server, prefix):
    agent = agents(server.address).start()
    agent.wait_window()
    address = terminal_address(server)
    texts = ["a&b", "1+1=2", "50% off", "안녕하세요 관리자님", "a&b+c%d 한글=?#;"]
    for text in texts:
        entry = send_message(prefix, agent, server, text)
        body = bytes.fromhex(entry["body_hex"])
        fields = urllib.parse.parse_qs(body.decode("ascii"), keep_blank_values=True, strict_parsing=True,
                                       encoding="cp949", errors="strict")
        assert fields == {"m": [address], "d": [text]}, body
    assert agent.close() == 0


# -- keep-alive ---------------------------------------------------------------------------------

def test_polls_reuse_one_connection(agents, server):
    agent = agents(server.address).start()
    agent.wait_window()
    # Start-up's requests and the first poll may overlap on two connections; from then on the
    # poller is alone, every 10 s.
    polls = server.wait_requests(PERMISSION, 12, timeout=200)[2:12]
    connections = {entry["conn"] for entry in polls}
    connects = [e for e in server.entries() if e.get("event") == "connect"]
    print(f"{len(polls)} polls over connection(s) {sorted(connections)}; {len(connects)} connection(s) in all")
    assert len(connections) == 1, connections
    assert agent.close() == 0
