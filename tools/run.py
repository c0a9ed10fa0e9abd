#!/usr/bin/env python3
"""`make run`: the whole system on one machine. A local management server with a demo database,
the agent under Wine pointed at it, and a reader of the lock-state pipe; then it says what to do
next and reports what happens. Ctrl-C ends everything it started.

Uses the current X display when there is one, otherwise a virtual one (and says how to look at
it). `--address` picks another loopback address when 127.0.0.1:80 is taken. `--tls` puts the
server behind HTTPS on port 443 with a throw-away CA made at start, which the run prefix's
machine Root store trusts for as long as the run lasts, and gives the agent an "https://" address."""
from __future__ import annotations

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

TOOLS = Path(__file__).resolve().parent
sys.path.insert(0, str(TOOLS.parent / "tests"))
sys.path.insert(0, str(TOOLS))

from mgmtserver.launch import MgmtServerProcess  # noqa: E402
from harness import ThrowAwayPki  # noqa: E402
from winenv import ROOT, Agent, Display, WinePrefix, says_what_runs  # noqa: E402

PIPE = r"\\.\pipe\Tembrix"
PERMISSION = "/Tembrix/permission_load.php"


class CurrentDisplay:
    def __init__(self, name: str):
        self.name = name

    def close(self):
        pass


def say(text: str):
    print(f"run: {text}", flush=True)


def start_pipe_monitor(prefix: WinePrefix) -> subprocess.Popen:
    """The pipe monitor in the agent's prefix: a Windows reader, as the USB-lock component is."""
    return prefix.popen(["wine", prefix.tool("pipemon"), "--follow"], stdout=subprocess.PIPE,
                        stderr=subprocess.DEVNULL)


def watch_pipe(monitor: subprocess.Popen):
    """Reports each change of the lock state the reader sees."""
    last, pending = None, b""
    while True:
        data = monitor.stdout.read1(4096) if hasattr(monitor.stdout, "read1") else monitor.stdout.read(1)
        if not data:
            say("the pipe reader ended")
            return
        pending = (pending + data.replace(b"\0", b" "))[-64:]
        words = re.findall(rb"TRUE|FALSE", pending)
        if words:
            pending = pending[pending.rfind(words[-1]) + len(words[-1]):]
            if words[-1] != last:
                last = words[-1]
                say(f"pipe {PIPE}: {last.decode()}" + ("   (USB storage permitted)" if last == b"TRUE" else
                                                       "   (USB storage locked)"))


def watch_server(server: MgmtServerProcess, stop: threading.Event):
    """Reports what the server was asked, leaving out the agent's unchanged polls."""
    offset, last_answer = 0, {}
    while not stop.wait(0.3):
        with open(server.log_path, encoding="utf-8") as f:
            f.seek(offset)
            lines = f.readlines()
            offset = f.tell()
        for line in lines:
            if not line.endswith("\n"):
                offset -= len(line.encode("utf-8"))
                break
            e = json.loads(line)
            body = bytes.fromhex(e["body_hex"]).decode("latin-1")
            key = (e["path"], body)
            if e["path"] in ("/admin", "/", "/admin/state.json") or last_answer.get(key) == e["answer"] and e["answer"]:
                continue
            last_answer[key] = e["answer"]
            answer = f" -> {e['answer']}" if e["answer"] else f" -> {e['status']}"
            say(f"server: {e['method']} {e['path']} {body[:60]}{answer}")


def watch_log(log: Path, stop: threading.Event):
    """Prints each line the agent adds to its log, from where the file stood at the start (after a
    rotation, the new file from its beginning), until `stop`, which it reads once more."""
    offset = log.stat().st_size if log.is_file() else 0
    while True:
        last = stop.wait(0.3)
        size = log.stat().st_size if log.is_file() else 0
        if size < offset:
            offset = 0
        if size > offset:
            with open(log, "rb") as f:
                f.seek(offset)
                data = f.read(size - offset)
            whole = data[:data.rfind(b"\r\n") + 2] if b"\r\n" in data else b""
            offset += len(whole)
            for line in whole.decode("utf-8", "replace").split("\r\n"):
                if line:
                    say(f"log: {line.lstrip(chr(0xFEFF))}")
        if last:
            return


def watch_browser(prefix: WinePrefix, stop: threading.Event):
    """The agent hands addresses to the prefix's browser, which only records them here."""
    seen = 0
    while not stop.wait(0.5):
        urls = prefix.recorded_urls()
        for url in urls[seen:]:
            say(f"the agent opened in the browser:\n       {url}\n     open it in yours to register this PC")
        seen = len(urls)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--address", default="127.0.0.1", help="loopback address of the server (port 80)")
    parser.add_argument("--tls", action="store_true", help="HTTPS on port 443 with a throw-away CA")
    args = parser.parse_args()
    say(says_what_runs("starts"))

    display = CurrentDisplay(os.environ["DISPLAY"]) if os.environ.get("DISPLAY") else Display()
    work = ROOT / "build" / "run"
    work.mkdir(parents=True, exist_ok=True)
    prefix = WinePrefix(ROOT / "build" / "wine" / "run", display)
    server = agent = monitor = ca = log_watcher = None
    stop, log_stop = threading.Event(), threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        (work / "server" / "mgmt.sqlite").unlink(missing_ok=True)
        for stale in (work / "server").glob("mgmt.sqlite-*"):
            stale.unlink()
        chain = None
        if args.tls:
            pki = ThrowAwayPki(work / "pki")
            ca = pki.ca("RunCA")
            chain = pki.server("server", args.address, "RunCA")
        server = MgmtServerProcess(work / "server", args.address, demo=True, tls=chain)
        say(f"management server on {server.url}/ with a demo database ({server.db})")
        say(f"preparing the Wine prefix (the first time takes about 20 s) on display {display.name}")
        prefix.prepare()
        prefix.start()
        if ca is not None:
            prefix.run(["wine", prefix.tool("rootstore"), "add", "machine", prefix.windows_path(ca)])
            say(f"the prefix's machine Root store trusts the run's CA {os.path.relpath(ca, ROOT)}"
                " (your browser does not: import it there, or accept its warning)")
        prefix.clear_recorded_urls()
        threading.Thread(target=watch_server, args=(server, stop), daemon=True).start()
        threading.Thread(target=watch_browser, args=(prefix, stop), daemon=True).start()
        host = f"https://{args.address}" if args.tls else args.address
        log = prefix.log_file()
        say(f"the agent's log: {os.path.relpath(log, ROOT)} (its new lines follow, as \"log: …\")")
        log_watcher = threading.Thread(target=watch_log, args=(log, log_stop), daemon=True)
        log_watcher.start()
        agent = Agent(prefix, work / "agent", host).start()   # writes its tmbxconfig.ini
        agent.wait_window()
        monitor = start_pipe_monitor(prefix)
        threading.Thread(target=watch_pipe, args=(monitor,), daemon=True).start()
        address = bytes.fromhex(server.wait_requests(PERMISSION, 1, 60)[0]["body_hex"]).decode()[2:]
        cli = f"python3 tools/mgmtserver --db {os.path.relpath(server.db, ROOT)}"
        print(f"""
run: the agent runs as terminal {address}; its settings file is {os.path.relpath(agent.settings, ROOT)}
     admin page:          {server.url}/admin   (switch USB use, read messages)
     grant USB use:       {cli} grant {address}
     lock it again:       {cli} revoke {address}
     terminals, messages: {cli} list    /    {cli} messages
     within 12 s of a switch the pipe line below changes; a left click on the tray icon shows it
     display {display.name}: look at it with  import -display {display.name} -window root shot.png
     Ctrl-C ends it all.
""", flush=True)
        while agent.running():
            time.sleep(0.5)
        say(f"the agent ended with exit code {agent.process.returncode}")
        return 0
    except KeyboardInterrupt:
        return 0
    except (RuntimeError, TimeoutError) as e:
        say(f"stopped: {e}".rstrip())
        return 1
    finally:
        stop.set()
        if agent is not None and agent.running():
            try:
                agent.close(15)
            except Exception:  # noqa: BLE001 - the prefix's kill below ends it anyway
                pass
        log_stop.set()
        if log_watcher is not None:
            log_watcher.join(5)  # the agent's last lines, its stop line among them
        if monitor is not None and monitor.poll() is None:
            monitor.terminate()
            monitor.wait(15)
        if server is not None:
            server.stop()
        if ca is not None and prefix.started:
            prefix.run(["wine", prefix.tool("rootstore"), "remove", "machine", prefix.windows_path(ca)], check=False)
        prefix.kill()
        display.close()
        say("everything it started has ended")


if __name__ == "__main__":
    sys.exit(main())
