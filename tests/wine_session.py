#!/usr/bin/env python3
"""Runs one command (ctest, a benchmark) inside a private Xvfb display and a prepared Wine prefix
with a persistent wineserver, then ends both.   usage: wine_session.py [--prefix DIR] -- command..."""
from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from winenv import ROOT, wine_session  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", default=str(ROOT / "build" / "wine" / "session"))
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    with wine_session(Path(args.prefix)) as prefix:
        return subprocess.run(command, env=prefix.env).returncode


if __name__ == "__main__":
    sys.exit(main())
