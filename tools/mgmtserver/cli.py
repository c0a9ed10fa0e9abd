"""The command line: serve, and the administrator's actions on the same SQLite file."""
from __future__ import annotations

import argparse
import os
import signal
import sys
import time

from . import protocol
from .protocol import BadRequest
from .store import Store


def _address(text: str) -> str:
    try:
        return protocol.terminal_address({"m": text.upper()})
    except BadRequest:
        raise argparse.ArgumentTypeError(f"{text!r} is not a terminal address (XX-XX-XX-XX-XX-XX)") from None


def _name(text: str) -> str:
    try:
        return protocol.node_name(text)
    except BadRequest as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _when(stamp) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(stamp)) if stamp else "-"


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="mgmtserver", description="Tembrix management server")
    p.add_argument("--db", required=True, help="the SQLite file (made when missing)")
    sub = p.add_subparsers(dest="command", required=True)
    serve = sub.add_parser("serve", help="answer the agents and the browser over HTTP")
    serve.add_argument("--bind", default="127.0.0.1", help="a loopback address (the port is fixed by the agent)")
    serve.add_argument("--port", type=int, help="80, or 443 with --tls")
    serve.add_argument("--tls", nargs=2, metavar=("CHAIN", "KEY"), help="HTTPS with this certificate chain and key")
    serve.add_argument("--demo", action="store_true", help="fill in a few demo terminals first")
    serve.add_argument("--log", help="JSON line per request")
    serve.add_argument("--ready", help="file written with the process id once listening")
    for name, what in (("grant", "permit USB storage"), ("revoke", "lock USB storage")):
        sub.add_parser(name, help=what).add_argument("address", type=_address)
    register = sub.add_parser("register", help="register a terminal under a node name")
    register.add_argument("address", type=_address)
    register.add_argument("name", type=_name)
    sub.add_parser("list", help="terminals, registration and permission")
    sub.add_parser("messages", help="messages the users sent, newest first")
    return p


def serve(store: Store, args) -> int:
    from .web import make_server  # the command-line actions need no HTTP

    if args.demo:
        store.fill_demo()
    scheme = "https" if args.tls else "http"
    args.port = args.port or (443 if args.tls else 80)
    try:
        server = make_server(store, args.bind, args.port, args.log, args.tls)
    except OSError as e:
        print(f"mgmtserver: cannot listen on {args.bind}:{args.port}: {e.strerror}", file=sys.stderr)
        return 1
    if args.ready:
        with open(args.ready, "w") as f:
            f.write(str(os.getpid()))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(f"mgmtserver: {scheme}://{args.bind}:{args.port}/admin  (state in {store.path})", flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


def main(argv: list[str]) -> int:
    args = parser().parse_args(argv)
    store = Store(args.db)
    if args.command == "serve":
        return serve(store, args)
    if args.command in ("grant", "revoke"):
        store.set_permission(args.address, args.command == "grant")
        print(f"{args.address}: USB {'permitted' if args.command == 'grant' else 'locked'}")
    elif args.command == "register":
        store.register(args.address, args.name)
        print(f"{args.address}: registered as {args.name}")
    elif args.command == "list":
        print(f"{'address':17}  {'USB':7}  {'registered':10}  {'last question':19}  node name")
        for t in store.terminals():
            print(f"{t['address']:17}  {'TRUE' if t['granted'] else 'FALSE':7}  "
                  f"{'yes' if t['registered'] else 'no':10}  {_when(t['last_seen']):19}  {t['node_name']}")
    elif args.command == "messages":
        for m in store.messages():
            print(f"{_when(m['received'])}  {m['address']}  {m['node_name'] or '-'}: {m['text']}")
    return 0
