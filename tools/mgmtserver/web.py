"""HTTP on port 80 (or HTTPS on 443): the agent's five scripts, the registration form the agent
opens in the browser, and the administrator's page."""
from __future__ import annotations

import html
import json
import ssl
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

from . import protocol
from .protocol import CODEPAGE, HTML_CHARSET, BadRequest
from .store import Store

PRODUCT = "/Tembrix/"
FORM_PATH = PRODUCT + "register_form.php"
ADMIN_PATHS = ("/", "/admin")


class RequestLog:
    """One JSON line per request, flushed at once, so that a test can wait on it."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def write(self, entry: dict):
        if self.path is None:
            return
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.lock, open(self.path, "a", encoding="utf-8") as f:
            f.write(line)


def _script(name: str) -> str:
    return PRODUCT + name + ".php"


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"     # the agent keeps its connection alive between questions
    server_version = "TembrixMgmt/1"
    timeout = 60                      # an idle kept-alive connection gives its thread back
    store: Store
    log: RequestLog

    # -- plumbing -------------------------------------------------------------------------------
    def log_message(self, format, *args):  # noqa: A002 - the request log replaces stderr lines
        pass

    def _send(self, status: int, body: bytes, content_type: str = "text/html", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        if self.close_connection:
            self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self._status, self._answer, self._content_type = status, body, content_type

    def _page(self, status: int, title: str, content: str):
        page = (f'<!doctype html><html lang="ko"><head><meta charset="{HTML_CHARSET}">'
                f"<title>{html.escape(title)}</title><style>{STYLE}</style></head>"
                f"<body><h1>{html.escape(title)}</h1>{content}</body></html>")
        self._send(status, page.encode(CODEPAGE, "xmlcharrefreplace"), f"text/html; charset={HTML_CHARSET}")

    def _text(self, status: int, body: bytes):
        # The agent compares the whole body with one word: nothing may follow it.
        self._send(status, body, "text/plain")

    def _body(self) -> bytes:
        if self.headers.get("Transfer-Encoding"):
            raise BadRequest("chunked request bodies are not accepted")
        length = self.headers.get("Content-Length", "0")
        if not length.isdigit():
            raise BadRequest("bad Content-Length")
        if int(length) > protocol.BODY_MAX_BYTES:
            raise BadRequest("body too long")
        body = self.rfile.read(int(length))
        if len(body) != int(length):
            raise BadRequest("body shorter than its Content-Length")
        return body

    def _form(self, body: bytes) -> dict[str, str]:
        kind = self.headers.get("Content-Type", "application/x-www-form-urlencoded")
        # The agent's client sends "application/x-www-form-urlencoded;" (a parameter list cut short).
        if kind.split(";", 1)[0].strip().lower() != "application/x-www-form-urlencoded":
            raise BadRequest(f"not a form body: {kind}")
        return protocol.decode_form(body)

    def _handle(self):
        self._status, self._answer, self._content_type, self._reason = 0, b"", "", ""
        started = time.time()
        url = urlsplit(self.path)
        body = b""
        try:
            if self.command == "POST":
                body = self._body()
            self._route(url.path, url.query, body)
        except BadRequest as e:
            self.close_connection = True   # the rest of the stream cannot be trusted
            if PRODUCT in url.path and not url.path.endswith(FORM_PATH):
                self._text(400, b"BAD REQUEST")   # an agent's script: one line, no page
            else:
                self._page(400, "잘못된 요청 (bad request)", f"<p>{html.escape(str(e))}</p>")
            self._reason = str(e)
        except Exception as e:  # noqa: BLE001 - one failed request must not take the server down
            self.close_connection = True
            self._reason = f"{type(e).__name__}: {e}"
            if not self._status:
                self._text(500, b"SERVER ERROR")   # reads as "no" to the agent
        self.log.write({"time": started, "peer": self.client_address[0], "method": self.command,
                        "target": self.path, "path": url.path, "status": self._status,
                        "body_hex": body.hex(), "reason": self._reason,
                        "answer": self._answer.decode(CODEPAGE, "replace") if self._content_type == "text/plain" else ""})

    do_GET = do_POST = do_HEAD = do_PUT = do_DELETE = _handle

    # -- routes ---------------------------------------------------------------------------------
    def _route(self, path: str, query: str, body: bytes):
        # An agent configured with a base path ("192.168.0.10/app") asks /app/Tembrix/...
        base = path.rfind(PRODUCT)
        if base > 0:
            path = path[base:]
        scripts = {
            _script("connect_check"): self._connect_check,
            _script("register_check"): self._register_check,
            _script("permission_load"): self._permission_load,
            _script("message_post"): self._message_post,
            _script("get_node_name"): self._get_node_name,
        }
        if path in scripts:
            if self.command != "POST":
                return self._send(405, b"POST only", "text/plain", [("Allow", "POST")])
            return scripts[path](body)
        if path == FORM_PATH:
            if self.command in ("GET", "HEAD"):
                return self._registration_form(protocol.decode_query(query))
            if self.command == "POST":
                return self._register(body)
        elif path in ADMIN_PATHS:
            if self.command in ("GET", "HEAD"):
                return self._admin()
        elif path == "/admin/permission":
            if self.command == "POST":
                return self._switch_permission(body)
        elif path == "/admin/state.json":
            if self.command in ("GET", "HEAD"):
                state = {"terminals": self.store.terminals(), "messages": self.store.messages()}
                return self._send(200, json.dumps(state, ensure_ascii=False).encode(), "application/json")
        else:
            return self._page(404, "없는 페이지 (not found)", "")
        return self._send(405, b"method not allowed", "text/plain")

    # The five scripts of the agent.
    def _connect_check(self, body: bytes):
        if body:
            raise BadRequest("connect_check takes an empty body")
        self._text(200, b"CONNECTED")

    def _register_check(self, body: bytes):
        address = protocol.terminal_address(self._form(body))
        self._text(200, b"REGISTERED" if self.store.is_registered(address) else b"NOT REGISTERED")

    def _permission_load(self, body: bytes):
        address = protocol.terminal_address(self._form(body))
        self._text(200, b"TRUE" if self.store.load_permission(address) else b"FALSE")

    def _message_post(self, body: bytes):
        fields = self._form(body)
        address = protocol.terminal_address(fields)
        text = protocol.message_text(fields)
        self.store.add_message(address, text)
        self._text(200, b"TRUE")

    def _get_node_name(self, body: bytes):
        address = protocol.terminal_address(self._form(body))
        name = self.store.node_name(address)
        # Anything not starting with 'n' makes the agent use the computer's name.
        self._text(200, b"UNKNOWN" if name is None else protocol.node_name_answer(name))

    # The registration form, opened by the agent in the browser.
    def _registration_form(self, query: dict[str, str]):
        address = protocol.terminal_address(query)
        name = query.get("n", "")
        known = self.store.terminal(address)
        if known and known["registered"] and not name:
            name = known["node_name"]
        e = html.escape
        note = (f"<p class=note>이 단말기는 <b>{e(known['node_name'])}</b>(으)로 이미 등록되어 있습니다. "
                "다시 등록하면 이름이 바뀝니다.</p>") if known and known["registered"] else ""
        self._page(200, "단말기 등록 (register this PC)", f"""{note}
<form method="post" action="register_form.php" accept-charset="{HTML_CHARSET}">
  <label>단말기 주소 (terminal address)
    <input name="m" value="{e(address)}" readonly></label>
  <label>단말기 이름 (node name)
    <input name="n" value="{e(name)}" maxlength="{protocol.NODE_NAME_MAX_BYTES}" required autofocus></label>
  <button type="submit">등록 (register)</button>
</form>""")

    def _register(self, body: bytes):
        fields = self._form(body)
        address = protocol.terminal_address(fields)
        name = protocol.node_name(fields.get("n", ""))
        self.store.register(address, name)
        self._page(200, "등록 완료 (registered)",
                   f"<p id=done><b>{html.escape(address)}</b> 단말기가 <b>{html.escape(name)}</b>(으)로 "
                   "등록되었습니다. 이 창을 닫아도 됩니다.</p>")

    # The administrator's page.
    def _same_origin(self):
        # A page of another site must not flip permissions through the administrator's browser.
        origin = self.headers.get("Origin")
        if origin is not None and urlsplit(origin).netloc != self.headers.get("Host", ""):
            raise BadRequest("a form of another site")

    def _switch_permission(self, body: bytes):
        self._same_origin()
        fields = self._form(body)
        address = protocol.terminal_address(fields)
        granted = fields.get("granted")
        if granted not in ("0", "1"):
            raise BadRequest("granted must be 0 or 1")
        self.store.set_permission(address, granted == "1")
        self._send(303, b"", "text/plain", [("Location", "/admin")])

    def _admin(self):
        e = html.escape
        rows = []
        for t in self.store.terminals():
            granted = t["granted"]
            switch = (f'<form method="post" action="/admin/permission">'
                      f'<input type="hidden" name="m" value="{e(t["address"])}">'
                      f'<input type="hidden" name="granted" value="{0 if granted else 1}">'
                      f'<button class="switch {"on" if granted else "off"}" role="switch" '
                      f'aria-checked="{"true" if granted else "false"}" aria-label="USB {e(t["address"])}">'
                      f'{"USB 허용" if granted else "USB 차단"}</button></form>')
            rows.append(f'<tr data-address="{e(t["address"])}"><td class=mono>{e(t["address"])}</td>'
                        f'<td>{e(t["node_name"]) or "<i>—</i>"}</td>'
                        f'<td>{"등록됨" if t["registered"] else "미등록"}</td>'
                        f"<td>{_when(t['last_seen'])}</td><td>{switch}</td></tr>")
        messages = [f"<tr><td>{_when(m['received'])}</td><td class=mono>{e(m['address'])}</td>"
                    f"<td>{e(m['node_name'])}</td><td>{e(m['text'])}</td></tr>" for m in self.store.messages()]
        self._page(200, "Tembrix 관리 (management)", f"""
<h2>단말기 (terminals)</h2>
<table id=terminals><tr><th>주소</th><th>이름</th><th>등록</th><th>최근 질의</th><th>USB 사용</th></tr>
{''.join(rows) or '<tr><td colspan=5>아직 없습니다</td></tr>'}</table>
<h2>받은 메시지 (messages)</h2>
<table id=messages><tr><th>받은 시각</th><th>주소</th><th>이름</th><th>내용</th></tr>
{''.join(messages) or '<tr><td colspan=4>아직 없습니다</td></tr>'}</table>
<p class=note>이 페이지는 새로 고칠 때 갱신됩니다 (reload to refresh).</p>""")


def _when(stamp) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(stamp)) if stamp else "—"


STYLE = """
body{font-family:"NanumGothic",sans-serif;margin:24px;color:#222}
h1{font-size:22px}h2{font-size:17px;margin-top:28px}
table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:6px 10px;text-align:left}
th{background:#f2f2f2}.mono{font-family:monospace}.note{color:#555}
form{margin:0}label{display:block;margin:10px 0}input{margin-left:8px;padding:4px}
.switch{border:0;border-radius:12px;padding:5px 14px;color:#fff;cursor:pointer}
.switch.on{background:#2e8b57}.switch.off{background:#b03030}
"""


class MgmtServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64
    tls: ssl.SSLContext | None = None

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread: a client that never finishes it
        # holds only that thread, never the accepting one.
        if self.tls is not None:
            request.settimeout(30)
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
            request.settimeout(None)
        super().finish_request(request, client_address)


def make_server(store: Store, address: str, port: int = 80, log_path=None,
                tls: tuple[str, str] | None = None) -> MgmtServer:
    """`tls`: (certificate chain, key) files, PEM, for HTTPS."""
    handler = type("BoundHandler", (Handler,), {"store": store, "log": RequestLog(log_path)})
    server = MgmtServer((address, port), handler)
    if tls:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(*tls)
    return server
