#!/usr/bin/env python3
"""`make bench`: runs bench_lockstate.exe under Wine against a local management server (the
scriptable test server on a loopback address of its own) and prints its figures; then times the
real agent's exit after WM_CLOSE while its poller reads a trickling answer and the pipe's reader
has stopped reading; then the hand-over of the pipe from one agent to another that waits beside
it, from the end of the holder's pipe to the next message a reader gets; then how soon the tray's
icon shows a change of the word; then the log's lines per hour at steady state; then what a poll
costs over https:// and http://, the agent's link beside plain WinINet and WinHTTP clients
(bench_link.exe).

usage: bench_lockstate.py [CYCLES] [PAUSE_MS] [RECONNECT_EVERY]"""
from __future__ import annotations

import random
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))

from harness import TRICKLE, FakeServer, ThrowAwayPki, next_loopback_address  # noqa: E402
from traykit import LOCKED_TIP, RELEASED_TIP, Tray, TrayWatch  # noqa: E402
from winenv import ROOT, WM_CLOSE, Agent, end_process, says_what_runs, wait_for, wine_session  # noqa: E402

PERMISSION = "/Tembrix/permission_load.php"
CONNECT = "/Tembrix/connect_check.php"
HANDOVER_ROUNDS = 5


def exit_time(prefix, work: Path) -> float:
    """Seconds from WM_CLOSE to the agent's exit, with a poll inside a trickling answer and a
    reader that took one message and then stopped reading."""
    server = FakeServer(work / "exit-server", address=next_loopback_address(),
                        routes={PERMISSION: {"sequence": [{"body": "TRUE"}, {"body": "TRUE"}, TRICKLE]}})
    reader = prefix.popen(["wine", prefix.tool("pipemon"), "--pause-after-first", "600000"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    agent = Agent(prefix, work / "exit-agent", server.address)
    try:
        agent.start()
        agent.wait_window()
        server.wait_requests(PERMISSION, 3, timeout=60)
        agent.post(WM_CLOSE)
        posted = time.monotonic()
        agent.wait_exit(60)
        return time.monotonic() - posted
    finally:
        agent.stop()
        end_process(reader)
        server.stop()


def pipe_lines(path: Path) -> list[tuple[float, str]]:
    """pipemon's complete lines as (UTC time, what follows the stamp)."""
    lines = []
    for line in path.read_bytes().decode("ascii", "replace").splitlines(keepends=True):
        if line.endswith("\n"):
            stamp, rest = line.rstrip("\r\n").split(" ", 1)
            when = datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc).timestamp()
            lines.append((when, rest))
    return lines


def handover_time(prefix, work: Path, how: str) -> tuple[float, float]:
    """Seconds from the end of the holder's pipe (the reader's "ended") to the reader's next
    connection and to its next message, which the agent waiting beside it sends. The holder ends
    by WM_CLOSE ("close") or is killed ("kill")."""
    servers = [FakeServer(work / f"handover-server{i}", address=next_loopback_address(),
                          routes={PERMISSION: {"body": body}, CONNECT: {"body": "CONNECTED"}})
               for i, body in enumerate(("FALSE", "TRUE"))]
    holder = Agent(prefix, work / "handover-holder", servers[0].address)
    waiting = Agent(prefix, work / "handover-waiting", servers[1].address, exe_name="Tembrix2.exe")
    out = work / "handover-pipemon.txt"
    with open(out, "wb") as f:
        reader = prefix.popen(["wine", prefix.tool("pipemon"), "--follow"], stdout=f, stderr=subprocess.DEVNULL)
    try:
        holder.start()
        window = holder.wait_window()
        waiting.start()
        servers[1].wait_requests(CONNECT, timeout=60)  # its start-up has made its first attempt
        wait_for(lambda: any(rest.endswith("FALSE\\0") for _, rest in pipe_lines(out)), 30, what="the holder's message")
        # The end comes at any point of either agent's cycle, not always at the same one.
        time.sleep(random.uniform(0, 2))
        if how == "kill":
            holder.process.kill()
        else:
            prefix.driver("post", window["hwnd"], WM_CLOSE, 0, 0)
        holder.wait_exit(60)
        lines = wait_for(lambda: (lambda l: l if any(r.endswith("TRUE\\0") for _, r in l) else None)(pipe_lines(out)),
                         30, what="the next holder's message")
        ended = next(t for t, rest in lines if rest.startswith("# ended"))
        connected = next(t for t, rest in lines if t >= ended and rest == "# connected")
        message = next(t for t, rest in lines if rest.endswith("TRUE\\0"))
        return connected - ended, message - ended
    finally:
        for agent in (holder, waiting):
            agent.stop()
        end_process(reader)
        for server in servers:
            server.stop()


LINK_POLLS = 300


def resident_kb(pid: int) -> int:
    """Resident anonymous memory of a Wine process, Linux's side included."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("RssAnon:"):
            return int(line.split()[1])
    return 0


def link_costs(prefix, work: Path):
    """Per poll: TLS handshakes (new connections), CPU time and private memory growth, for the
    agent's link and plain clients, against a server that keeps connections and one that closes
    each after its answer (as one whose keep-alive is shorter than the poll interval does)."""
    pki = ThrowAwayPki(work / "pki")
    root = pki.ca("Machine")
    prefix.run(["wine", prefix.tool("rootstore"), "add", "machine", prefix.windows_path(root)])
    try:
        for scheme, closes in (("https://", False), ("https://", True), ("", False)):
            address = next_loopback_address()
            answer = {"body": "TRUE", "close_after": closes}
            server = FakeServer(work / f"link-{address}", address=address, routes={PERMISSION: answer},
                                tls=pki.server(f"link-{address}", address, "Machine") if scheme else None)
            try:
                for mode in ("agent", "wininet", "winhttp"):
                    process = prefix.popen(["wine", prefix.tool("bench_link"), mode, scheme + address, str(LINK_POLLS)],
                                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                    connects, resident = 0, 0
                    for raw in process.stdout:
                        line = raw.decode("ascii", "replace").rstrip()
                        count = sum(1 for e in server.entries() if e.get("event") == "connect")
                        if line.startswith("bench_link warmed up"):
                            connects, resident = count, resident_kb(process.pid)
                            continue
                        made = (count - connects) * 10 / LINK_POLLS
                        now = resident_kb(process.pid)
                        kind = "closes each connection" if closes else "keeps connections"
                        print(f"{line}; resident {resident} -> {now} KB "
                              f"({(now - resident) * 100 / LINK_POLLS:+.0f} KB per 100 polls); server {kind}: "
                              f"{made:.1f} new connections per 10 polls", flush=True)
                        process.stdin.close()
                    process.wait()
            finally:
                server.stop()
    finally:
        prefix.run(["wine", prefix.tool("rootstore"), "remove", "machine", prefix.windows_path(root)])


STEADY_SECONDS = 60


def log_lines_per_hour(prefix, work: Path):
    """The log's lines at steady state: an agent whose server keeps giving the same answer, and
    one whose server is gone, each watched for a minute after its state line."""
    for kind in ("answering", "failing"):
        server = FakeServer(work / f"steady-{kind}", address=next_loopback_address(),
                            routes={PERMISSION: {"body": "TRUE"}, CONNECT: {"body": "CONNECTED"}})
        agent = Agent(prefix, work / f"steady-{kind}-agent", server.address)
        try:
            agent.start()
            agent.wait_window()
            agent.wait_log("state", 1)
            if kind == "failing":
                server.stop()
                agent.wait_log("state", 2, timeout=60)
            before = len(agent.log_lines())
            time.sleep(STEADY_SECONDS)
            lines = len(agent.log_lines()) - before
            print(f"log at steady state, server {kind}: {lines} lines in {STEADY_SECONDS} s "
                  f"({lines * 3600 / STEADY_SECONDS:.0f} per hour; a failure that goes on adds one line an hour)",
                  flush=True)
        finally:
            agent.stop()
            server.stop()


TRAY_ROUNDS = 6


def tray_latency(prefix, work: Path):
    """How soon the shell's icon shows a change of the word: from the poll that brought it to the
    moment the icon's tip names the new state, for changes either way."""
    server = FakeServer(work / "tray-server", address=next_loopback_address())
    tray = Tray(prefix)
    with TrayWatch(prefix, work / "tray-watch") as watch:
        agent = Agent(prefix, work / "tray-agent", server.address)
        try:
            agent.start()
            agent.wait_window()
            tray.wait_tip(LOCKED_TIP)
            for n in range(TRAY_ROUNDS):
                server.answer(PERMISSION, "TRUE" if n % 2 == 0 else "FALSE")
                tray.wait_tip(RELEASED_TIP if n % 2 == 0 else LOCKED_TIP)
            agent.close()
            seen = watch.result()
        finally:
            agent.stop()
            server.stop()
    polls = [r["time"] for r in server.requests(PERMISSION)]
    events = [e for e in seen["events"] if "tip" in e]
    changes = [e for before, e in zip(events, events[1:]) if e["tip"] != before["tip"]]
    delays = [c["t"] / 1000 - max(p for p in polls if p <= c["t"] / 1000) for c in changes]
    print(f"tray icon after a poll that changed the word, {len(delays)} changes: "
          f"{', '.join(f'{d:.3f}' for d in delays)} s (max {max(delays):.3f} s, target about 1 s; "
          f"the watch looks every 25 ms)", flush=True)


def main() -> int:
    args = sys.argv[1:] or ["10000", "1", "500"]
    print(says_what_runs("bench: runs the tools built beside"), flush=True)
    work = ROOT / "build" / "bench"
    with wine_session(ROOT / "build" / "wine" / "bench") as prefix:
        server = FakeServer(work / "server", address=next_loopback_address(),
                            routes={"/Tembrix/permission_load.php": {"body": "TRUE"}})
        try:
            process = prefix.popen(["wine", prefix.tool("bench_lockstate"), server.address, *args],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            failure_lines = 0
            for raw in process.stdout:
                line = raw.decode("ascii", "replace").rstrip()
                if line.startswith("fail to "):
                    failure_lines += 1  # the reader's reconnects: writes with no reader in between
                else:
                    print(line, flush=True)
            code = process.wait()
            print(f"bench: {len(server.requests(PERMISSION))} permission queries served, "
                  f"{failure_lines} failure lines, exit code {code}")
        finally:
            server.stop()
        print(f"exit after WM_CLOSE (trickling answer, reader not reading): {exit_time(prefix, work):.3f} s "
              f"(target 0.5 s)", flush=True)
        for how in ("close", "kill"):
            rounds = [handover_time(prefix, work, how) for _ in range(HANDOVER_ROUNDS)]
            print(f"hand-over after the holder's {'WM_CLOSE' if how == 'close' else 'kill'}, {len(rounds)} rounds: "
                  f"reader connected again after {', '.join(f'{c:.3f}' for c, _ in rounds)} s; next message after "
                  f"{', '.join(f'{m:.3f}' for _, m in rounds)} s (max {max(m for _, m in rounds):.3f} s, "
                  f"target one cycle, 2 s)", flush=True)
        tray_latency(prefix, work)
        log_lines_per_hour(prefix, work)
        link_costs(prefix, work)
        return code


if __name__ == "__main__":
    sys.exit(main())
