"""Runs browse.mjs (Debian's Chromium, headless, through playwright-core) and returns its answer."""
from __future__ import annotations

import json
import shutil
import subprocess
from pathlib import Path

HERE = Path(__file__).resolve().parent
CHROMIUM = "/usr/bin/chromium"


def missing() -> str | None:
    """What is not installed yet, or None."""
    if not Path(CHROMIUM).exists():
        return "Debian's chromium (tools/install-deps.sh installs it)"
    if shutil.which("node") is None:
        return "node"
    if not (HERE / "node_modules" / "playwright-core").is_dir():
        return "playwright-core (make browser-deps installs it)"
    return None


def browse(action: str, *args: str, timeout: float = 120) -> dict:
    result = subprocess.run(["node", str(HERE / "browse.mjs"), action, *args], capture_output=True,
                            text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    lines = [line for line in result.stdout.splitlines() if line.startswith("{")]
    answer = json.loads(lines[-1]) if lines else {"error": result.stderr[-2000:]}
    if result.returncode != 0 or "error" in answer:
        raise RuntimeError(f"browser {action} {args}: {answer.get('error')}")
    return answer
