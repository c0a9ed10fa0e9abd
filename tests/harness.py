"""What end-to-end tests share: the scriptable server's handle, loopback addresses, and waiting."""
from __future__ import annotations

import itertools
import json
import os
import random
import re
import subprocess
import urllib.parse
import sys
import time
from pathlib import Path

from winenv import end_process, wait_for

FAKESERVER = Path(__file__).resolve().parent / "fakeserver.py"
_addresses = itertools.count(2)
# Test runs that overlap (two developers' worktrees, say) each get their own range.
_range = random.Random(os.getpid()).randrange(64, 128)

STANDARD_ROUTES = {
    "/Tembrix/connect_check.php": {"body": "CONNECTED"},
    "/Tembrix/register_check.php": {"body": "REGISTERED"},
    "/Tembrix/permission_load.php": {"body": "FALSE"},
    "/Tembrix/message_post.php": {"body": "TRUE"},
    "/Tembrix/get_node_name.php": {"body": "n:TEST-PC"},
}
# A permission answer of 100 bytes sent one every 2 s: minutes for what a server says at once.
TRICKLE = {"chunks": [{"text": c, "pause": 2} for c in "TRUE" + "." * 96]}


def next_loopback_address() -> str:
    """A loopback address of its own for each server of this test run (port 80 is fixed)."""
    n = next(_addresses)
    return f"127.{_range}.{n // 250}.{n % 250 + 1}"


class FakeServer:
    """The scriptable management server, run as its own process (inside `netns` when given); over
    HTTPS on port 443 with `tls` = (chain file, key file); on `port` when given."""

    def __init__(self, folder: Path, address: str | None = None, netns: str | None = None,
                 routes: dict | None = None, never_accept: bool = False, tls: tuple[Path, Path] | None = None,
                 port: int | None = None):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.address = address or next_loopback_address()
        self.script_path = self.folder / "server-script.json"
        self.log_path = self.folder / "server-log.jsonl"
        self.ready_path = self.folder / "server-ready"
        self.routes = dict(STANDARD_ROUTES if routes is None else routes)
        self.default = {"status": 404, "body": "not found"}
        self.extra: dict = {}
        self._write()
        self.log_path.write_text("")
        argv = [sys.executable, str(FAKESERVER), "--bind", self.address, "--script", str(self.script_path),
                "--log", str(self.log_path), "--ready", str(self.ready_path)]
        if never_accept:
            argv.append("--never-accept")
        if tls:
            argv += ["--tls", *map(str, tls)]
        if port:
            argv += ["--port", str(port)]
        if netns:
            argv = ["ip", "netns", "exec", netns] + argv
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=open(self.folder / "server-stderr.txt", "wb"))
        wait_for(lambda: self.ready_path.exists() or self.process.poll() is not None, 20, what="server start")
        if self.process.poll() is not None:
            raise RuntimeError("fake server failed: " + (self.folder / "server-stderr.txt").read_text())

    def _write(self):
        script = {"routes": self.routes, "default": self.default, **self.extra}
        tmp = self.script_path.with_suffix(".tmp")
        tmp.write_text(json.dumps(script))
        tmp.replace(self.script_path)  # the server never reads half a script

    def answer(self, path: str, body: str | bytes | None = None, **response):
        """Programs the answer of one script path: a text, raw bytes, or any RESPONSE keys."""
        if isinstance(body, bytes):
            response["body_hex"] = body.hex()
        elif body is not None:
            response["body"] = body
        self.routes[path] = response
        self._write()

    def configure(self, **extra):
        self.extra.update(extra)
        self._write()

    def entries(self) -> list[dict]:
        # The server may be writing a line right now: only whole lines count.
        lines = self.log_path.read_text().splitlines(keepends=True)
        return [json.loads(line) for line in lines if line.endswith("\n") and line.strip()]

    def requests(self, path: str | None = None) -> list[dict]:
        return [e for e in self.entries()
                if e.get("event") == "request" and (path is None or e["path"].endswith(path))]

    def wait_requests(self, path: str | None, count: int = 1, timeout: float = 60) -> list[dict]:
        return wait_for(lambda: (lambda r: r if len(r) >= count else None)(self.requests(path)),
                        timeout, step=0.1, what=f"{count} request(s) for {path}")

    def stop(self):
        end_process(self.process)


# `<time> <LEVEL> <event>` and key=value fields: a value bare, or quoted and then perhaps cut ("...").
LOG_LINE = re.compile(r'(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d) (INFO|WARN|ERROR) ([A-Za-z0-9._-]+)'
                      r'((?: [A-Za-z0-9._-]+=(?:"[^"]*"(?:\.\.\.)?|[!#-~]+))*)( \.\.\.)?')
LOG_FIELD = re.compile(r' ([A-Za-z0-9._-]+)=(?:"([^"]*)"(\.\.\.)?|([!#-~]+))')


def log_event(line: str) -> tuple[str, str, str, dict[str, str]]:
    """(time, level, event, fields) of one log line, each value percent-decoded as UTF-8; a cut
    value keeps its "..." mark after it. Fails on anything that is not one well-formed line."""
    match = LOG_LINE.fullmatch(line)
    assert match, f"not a log line: {line!r}"
    fields = {}
    for key, quoted, cut, bare in LOG_FIELD.findall(match.group(4)):
        assert key not in fields, f"{key} twice in {line!r}"
        fields[key] = urllib.parse.unquote(quoted or bare, errors="strict") + (cut or "")
    return match.group(1), match.group(2), match.group(3), fields


def header(entry: dict, name: str) -> str | None:
    for key, value in entry["headers"]:
        if key.lower() == name.lower():
            return value
    return None


def elapsed(start: float) -> float:
    return time.monotonic() - start


class ThrowAwayPki:
    """Throw-away certificates made by openssl in one folder: CAs, and server certificates they
    issue. A server's address is its CN, with no alternative names: Wine matches an IP address
    only there."""

    def __init__(self, folder: Path):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)

    def _openssl(self, *args: str):
        subprocess.run(["openssl", *args], cwd=self.folder, check=True, capture_output=True)

    def ca(self, name: str, issuer: str | None = None) -> Path:
        """A CA's certificate (PEM): a root, or an intermediate CA that the CA `issuer` issued. Its
        key and its issuing records stay beside it."""
        if issuer is None:
            self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
                          f"{name}.crt", "-days", "2", "-subj", f"/CN=Tembrix Test {name}",
                          "-addext", "basicConstraints=critical,CA:TRUE",
                          "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        else:
            self._openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
                          f"{name}.csr", "-subj", f"/CN=Tembrix Test {name}")
            self._openssl("ca", "-batch", "-config", f"{issuer}.conf", "-extensions", "intermediate", "-in",
                          f"{name}.csr", "-out", f"{name}.crt", "-notext", "-days", "2")
        (self.folder / f"{name}.db").write_text("")
        (self.folder / f"{name}.conf").write_text(
            f"[ca]\ndefault_ca = issuer\n[issuer]\ndatabase = {name}.db\nnew_certs_dir = .\ncertificate = {name}.crt\n"
            f"private_key = {name}.key\nrand_serial = yes\ndefault_md = sha256\npolicy = any\n"
            "unique_subject = no\ncopy_extensions = none\nx509_extensions = server\n"
            "[any]\ncommonName = supplied\n"
            "[server]\nbasicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\n"
            "keyUsage = critical,digitalSignature,keyEncipherment\n"
            "[intermediate]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n")
        return self.folder / f"{name}.crt"

    def server(self, name: str, common_name: str, ca: str | None,
               dates: tuple[str, str] = ("", "")) -> tuple[Path, Path]:
        """(chain, key) of a server certificate for `common_name`, issued by the CA named `ca`
        (its chain then holds that CA too, as a server sends it, but not the root above an
        intermediate CA), or self-signed when None.
        `dates` (openssl's YYMMDDHHMMSSZ) make one that is not valid now."""
        key, crt = f"{name}.key", f"{name}.crt"
        if ca is None:
            self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", crt,
                          "-days", "2", "-subj", f"/CN={common_name}", "-addext", "extendedKeyUsage=serverAuth")
            return self.folder / crt, self.folder / key
        self._openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", f"{name}.csr",
                      "-subj", f"/CN={common_name}")
        start, end = dates
        self._openssl("ca", "-batch", "-config", f"{ca}.conf", "-in", f"{name}.csr", "-out", crt, "-notext",
                      *(["-startdate", start, "-enddate", end] if start else ["-days", "2"]))
        chain = self.folder / f"{name}-chain.pem"
        chain.write_bytes((self.folder / crt).read_bytes() + (self.folder / f"{ca}.crt").read_bytes())
        return chain, self.folder / key
