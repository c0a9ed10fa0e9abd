"""The management server as a child process, for `make run` and the tests: started on one
address, waited for until it listens, its request log read back, and stopped by its own pid."""
from __future__ import annotations

import json
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from pathlib import Path

PROGRAM = Path(__file__).resolve().parent


class MgmtServerProcess:
    def __init__(self, folder: Path, address: str, demo: bool = False, db: Path | None = None,
                 tls: tuple[Path, Path] | None = None):
        """`tls`: (certificate chain, key) for HTTPS on port 443."""
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.address = address
        self.scheme = "https" if tls else "http"
        self.db = Path(db) if db else self.folder / "mgmt.sqlite"
        self.log_path = self.folder / "requests.jsonl"
        self.log_path.write_text("")
        ready = self.folder / "ready"
        ready.unlink(missing_ok=True)
        argv = [sys.executable, str(PROGRAM), "--db", str(self.db), "serve", "--bind", address,
                "--log", str(self.log_path), "--ready", str(ready)] + (["--demo"] if demo else []) + \
            (["--tls", *map(str, tls)] if tls else [])
        self.stderr_path = self.folder / "stderr.txt"
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=open(self.stderr_path, "wb"))
        deadline = time.monotonic() + 20
        while not ready.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("management server did not start: " + self.stderr_path.read_text())
            time.sleep(0.05)

    @property
    def url(self) -> str:
        return f"{self.scheme}://{self.address}"

    def cli(self, *args: str) -> str:
        """One command-line action on this server's database."""
        result = subprocess.run([sys.executable, str(PROGRAM), "--db", str(self.db), *args],
                                capture_output=True, text=True, timeout=60, check=True)
        return result.stdout

    def state(self) -> dict:
        with urllib.request.urlopen(self.url + "/admin/state.json", timeout=30) as r:
            return json.loads(r.read())

    def terminal(self, address: str) -> dict | None:
        return next((t for t in self.state()["terminals"] if t["address"] == address), None)

    def switch(self, address: str, granted: bool) -> int:
        """What the admin page's switch posts."""
        body = urllib.parse.urlencode({"m": address, "granted": int(granted)}).encode()
        with urllib.request.urlopen(self.url + "/admin/permission", body, timeout=30) as r:
            return r.status

    def requests(self, path: str | None = None) -> list[dict]:
        # The server may be writing a line right now: only whole lines count.
        lines = self.log_path.read_text(encoding="utf-8").splitlines(keepends=True)
        entries = [json.loads(line) for line in lines if line.endswith("\n") and line.strip()]
        return [e for e in entries if path is None or e["path"] == path]

    def wait_requests(self, path: str, count: int = 1, timeout: float = 60, since: float = 0) -> list[dict]:
        deadline = time.monotonic() + timeout
        while True:
            found = [e for e in self.requests(path) if e["time"] >= since]
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                raise TimeoutError(f"timed out after {timeout} s waiting for {count} request(s) for {path}")
            time.sleep(0.1)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
