"""Tembrix management server: the agent's scripts, the registration form and an admin page over
HTTP on port 80, with its state in one SQLite file; and the same actions from the command line.

  python3 tools/mgmtserver --db state.sqlite serve --bind 127.0.0.1 [--demo] [--log requests.jsonl]
  python3 tools/mgmtserver --db state.sqlite grant 00-1A-2B-3C-4D-5E
  python3 tools/mgmtserver --db state.sqlite revoke 00-1A-2B-3C-4D-5E
  python3 tools/mgmtserver --db state.sqlite register 00-1A-2B-3C-4D-5E 회계팀-PC01
  python3 tools/mgmtserver --db state.sqlite list
  python3 tools/mgmtserver --db state.sqlite messages
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from mgmtserver.cli import main  # noqa: E402

sys.exit(main(sys.argv[1:]))
