#!/usr/bin/env python3
"""`make run`: the agent under Wine, beside a local management server on 127.0.0.1:80.

Uses the current X display when there is one, otherwise a virtual one (and says how to look at
it). Ctrl-C ends everything it started."""
from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from harness import FakeServer  # noqa: E402
from winenv import ROOT, Agent, Display, WinePrefix  # noqa: E402

ADDRESS = "127.0.0.1"


class CurrentDisplay:
    def __init__(self, name: str):
        self.name = name

    def close(self):
        pass


def main() -> int:
    display = CurrentDisplay(os.environ["DISPLAY"]) if os.environ.get("DISPLAY") else Display()
    work = ROOT / "build" / "run"
    work.mkdir(parents=True, exist_ok=True)
    prefix = WinePrefix(ROOT / "build" / "wine" / "run", display)
    server = agent = monitor = None
    try:
        print(f"run: preparing the Wine prefix (the first time takes about 20 s) on display {display.name}")
        prefix.prepare()
        prefix.start()
        server = FakeServer(work / "server", address=ADDRESS)
        folder = work / "agent"
        shutil.rmtree(folder, ignore_errors=True)
        agent = Agent(prefix, folder, ADDRESS).start()
        # The pipe's reader, standing in for the USB-lock component; it follows agent restarts.
        monitor_path = work / "pipemon.txt"
        monitor = prefix.popen(["wine", prefix.tool("pipemon"), "--follow"], stdout=open(monitor_path, "wb"),
                               stderr=subprocess.DEVNULL)
        agent.wait_window()
        print(f"""
run: the agent runs; its settings file is {agent.settings}
     management server: http://{ADDRESS}/  (requests logged to {server.log_path})
     agent output (failure lines): {agent.stdout_path}
     lock-state pipe as its reader sees it: {monitor_path}
     display {display.name}: look at it with  import -display {display.name} -window root shot.png
     Ctrl-C ends it all.""")
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
        while agent.running():
            time.sleep(0.5)
        print(f"run: the agent ended with exit code {agent.process.returncode}")
        return 0
    except KeyboardInterrupt:
        return 0
    finally:
        if agent is not None and agent.running():
            try:
                agent.close(15)
            except Exception:  # noqa: BLE001 - the prefix's kill below ends it anyway
                pass
        if monitor is not None and monitor.poll() is None:
            monitor.terminate()
            monitor.wait(10)
        if server is not None:
            server.stop()
        prefix.kill()
        display.close()


if __name__ == "__main__":
    sys.exit(main())
