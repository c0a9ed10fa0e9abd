#!/usr/bin/env python3
"""`make bench`: runs bench_lockstate.exe under Wine against a local management server (the
scriptable test server on a loopback address of its own) and prints its figures.

usage: bench_lockstate.py [CYCLES] [PAUSE_MS] [RECONNECT_EVERY]"""
from __future__ import annotations

import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from harness import FakeServer, next_loopback_address  # noqa: E402
from winenv import ROOT, wine_session  # noqa: E402


def main() -> int:
    args = sys.argv[1:] or ["10000", "1", "500"]
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
            print(f"bench: {len(server.requests('/Tembrix/permission_load.php'))} permission queries served, "
                  f"{failure_lines} failure lines, exit code {code}")
            return code
        finally:
            server.stop()


if __name__ == "__main__":
    sys.exit(main())
