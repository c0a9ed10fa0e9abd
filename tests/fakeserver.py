#!/usr/bin/env python3
"""A scriptable management server for tests.

It listens on one address (port 80 by default), answers each script path with programmed raw
bytes, and logs every request exactly. It runs as its own process (so that it can live inside a
network namespace); the test steers it through two files:

  script (JSON, re-read for every request):
    {"routes": {"/Tembrix/permission_load.php": RESPONSE, ...}, "default": RESPONSE,
     "idle_timeout": seconds a kept-alive connection may stay idle (default 30)}
  RESPONSE: {"status": 200, "reason": "OK", "headers": [["X", "y"]],
             "body": "TRUE"  or  "body_hex": "efbbbf54525545",
             "chunks": [{"hex": "..", "pause": 0.5}, ...]   (chunked transfer instead of a body)
             "delay": seconds before answering, "hang": true (never answer),
             "hang_seconds": N (hang, then close without answering), "close": true (close at once),
             "sequence": [RESPONSE, ...] (one per request, the last one repeating),
             "until_file": path (hold the answer until that file exists, at most 60 s),
             "by_body": {"m=...": RESPONSE, ...} (the answer for a request with exactly that body;
                         other bodies get the rest of this RESPONSE),
             "hang_after": true (send the answer, then neither close nor read again: with a
             Content-Length above the body's size, a body that stops in the middle)}
    A route may also be keyed by the request target with its query ("/x.php?a=b"); a path with a
    base path in front ("/app/Tembrix/x.php") takes the route of its script's path.

  log (JSON lines, appended and flushed per request):
    {"time": t, "conn": n, "peer": "ip:port", "request_line": "...", "method": "POST",
     "target": "/Tembrix/x.php", "path": "/Tembrix/x.php", "version": "HTTP/1.1",
     "headers": [[name, value], ...], "raw_head_hex": "...", "body_hex": "...", "body": "latin-1 text"}
    A line {"event": "connect", "conn": n} is written for every accepted connection.

  --tls CHAIN KEY: HTTPS (port 443 unless --port says otherwise) with that certificate chain and
  key, PEM; each connection's handshake is made on its own thread, and one that fails is logged
  as {"event": "handshake-failed", "conn": n, "error": "..."}.

  --never-accept: the server listens but never accepts, and fills its own accept queue at start,
  so that the kernel drops every further connection attempt: a client's connect hangs as it does
  towards a host whose firewall drops packets. Nothing is logged.
"""
from __future__ import annotations

import argparse
import json
import os
import socket
import ssl
import threading
import time


class Server:
    def __init__(self, address: str, port: int, script_path: str, log_path: str,
                 tls: ssl.SSLContext | None = None):
        self.tls = tls
        self.script_path = script_path
        self.log_path = log_path
        self.log_lock = threading.Lock()
        self.counters: dict[str, int] = {}
        self.connections = 0
        self.stopping = threading.Event()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(64)

    def script(self) -> dict:
        try:
            with open(self.script_path, "rb") as f:
                return json.loads(f.read() or b"{}")
        except (OSError, ValueError):
            return {}

    def log(self, entry: dict):
        entry.setdefault("time", time.time())
        line = json.dumps(entry) + "\n"
        with self.log_lock, open(self.log_path, "a") as f:
            f.write(line)
            f.flush()

    def serve(self):
        while not self.stopping.is_set():
            try:
                conn, peer = self.sock.accept()
            except OSError:
                return
            # The head and the body go out in separate sends: without this the body waits for
            # the client's delayed acknowledgement of the head (40 ms per answer).
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.connections += 1
            number = self.connections
            self.log({"event": "connect", "conn": number, "peer": f"{peer[0]}:{peer[1]}"})
            threading.Thread(target=self.handle, args=(conn, peer, number), daemon=True).start()

    def handle(self, conn: socket.socket, peer, number: int):
        buffer = b""
        try:
            if self.tls is not None:
                conn.settimeout(30)
                try:
                    conn = self.tls.wrap_socket(conn, server_side=True)
                except (ssl.SSLError, OSError) as e:
                    self.log({"event": "handshake-failed", "conn": number, "error": str(e)})
                    return
            while True:
                conn.settimeout(float(self.script().get("idle_timeout", 30)))
                while b"\r\n\r\n" not in buffer:
                    data = conn.recv(65536)
                    if not data:
                        return
                    buffer += data
                head, buffer = buffer.split(b"\r\n\r\n", 1)
                lines = head.split(b"\r\n")
                request_line = lines[0].decode("latin-1")
                headers = []
                for raw in lines[1:]:
                    name, _, value = raw.decode("latin-1").partition(":")
                    headers.append([name.strip(), value.strip()])
                length = 0
                for name, value in headers:
                    if name.lower() == "content-length":
                        length = int(value)
                while len(buffer) < length:
                    data = conn.recv(65536)
                    if not data:
                        return
                    buffer += data
                body, buffer = buffer[:length], buffer[length:]
                parts = request_line.split(" ")
                method, target, version = (parts + ["", "", ""])[:3]
                path = target.split("?", 1)[0]
                self.log({"event": "request", "conn": number, "peer": f"{peer[0]}:{peer[1]}",
                          "request_line": request_line, "method": method, "target": target,
                          "path": path, "version": version, "headers": headers,
                          "raw_head_hex": head.hex(), "body_hex": body.hex(),
                          "body": body.decode("latin-1")})
                if not self.respond(conn, target, path, body):
                    return
        except (OSError, ValueError):
            return
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def pick(self, target: str, path: str, body: bytes = b"") -> dict:
        script = self.script()
        routes = script.get("routes", {})
        key = target if target in routes else path
        if key not in routes:
            # A base path in front of the script: "/app/Tembrix/x.php" answers as "/Tembrix/x.php".
            key = next((k for k in routes if k.startswith("/") and path.endswith(k)), key)
        response = routes.get(key, script.get("default", {"status": 404, "body": "not found"}))
        sequence = response.get("sequence")
        if sequence:
            index = self.counters.get(key, 0)
            self.counters[key] = index + 1
            response = sequence[min(index, len(sequence) - 1)]
        by_body = response.get("by_body")
        if by_body and body.decode("latin-1") in by_body:
            response = by_body[body.decode("latin-1")]
        return response

    def respond(self, conn: socket.socket, target: str, path: str, body: bytes = b"") -> bool:
        """Sends one answer; False when the connection is to be closed."""
        response = self.pick(target, path, body)
        if response.get("until_file"):
            deadline = time.monotonic() + 60
            while not os.path.exists(response["until_file"]) and time.monotonic() < deadline:
                time.sleep(0.05)
        if response.get("delay"):
            time.sleep(float(response["delay"]))
        if response.get("close"):
            return False
        if response.get("hang"):
            self.stopping.wait()
            return False
        if response.get("hang_seconds"):
            time.sleep(float(response["hang_seconds"]))
            return False
        status = int(response.get("status", 200))
        reason = response.get("reason", "OK" if status == 200 else "Status")
        head = [f"HTTP/1.1 {status} {reason}"]
        extra = [tuple(h) for h in response.get("headers", [])]
        names = {name.lower() for name, _ in extra}
        chunks = response.get("chunks")
        if chunks is not None:
            head.append("Transfer-Encoding: chunked")
        else:
            if "body_hex" in response:
                body = bytes.fromhex(response["body_hex"])
            else:
                body = response.get("body", "").encode("latin-1")
            if "content-length" not in names:
                head.append(f"Content-Length: {len(body)}")
        if "content-type" not in names:
            head.append("Content-Type: text/html")
        head += [f"{name}: {value}" for name, value in extra]
        conn.sendall(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))
        if chunks is None:
            conn.sendall(body)
        else:
            for chunk in chunks:
                data = bytes.fromhex(chunk.get("hex", "")) if "hex" in chunk else chunk.get("text", "").encode("latin-1")
                if data:
                    conn.sendall(f"{len(data):x}\r\n".encode() + data + b"\r\n")
                if chunk.get("pause"):
                    time.sleep(float(chunk["pause"]))
            conn.sendall(b"0\r\n\r\n")
        if response.get("hang_after"):
            self.stopping.wait()
            return False
        return not response.get("close_after")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bind", required=True)
    parser.add_argument("--port", type=int)
    parser.add_argument("--tls", nargs=2, metavar=("CHAIN", "KEY"), help="serve HTTPS with this chain and key")
    parser.add_argument("--script", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--ready", help="file written once the server listens")
    parser.add_argument("--never-accept", action="store_true", help="take no connection at all")
    args = parser.parse_args()
    tls = None
    if args.tls:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(*args.tls)
    server = Server(args.bind, args.port or (443 if tls else 80), args.script, args.log, tls)
    if args.never_accept:
        server.sock.listen(0)  # room for one connection, taken by one that is never accepted
        server.filler = socket.create_connection(server.sock.getsockname(), timeout=5)
    if args.ready:
        with open(args.ready, "w") as f:
            f.write(str(os.getpid()))
    if args.never_accept:
        server.stopping.wait()
    else:
        server.serve()


if __name__ == "__main__":
    main()
