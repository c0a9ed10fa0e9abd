"""The server's state in one SQLite file: terminals, their USB permission, and the messages
their users sent. Every call opens its own connection, so request threads, the command line and
a running server can all use one file at the same time."""
from __future__ import annotations

import sqlite3
import time
from contextlib import contextmanager
from pathlib import Path

SCHEMA = """
CREATE TABLE IF NOT EXISTS terminals (
    address    TEXT PRIMARY KEY,          -- XX-XX-XX-XX-XX-XX, as the agent sends it
    node_name  TEXT NOT NULL DEFAULT '',
    registered INTEGER NOT NULL DEFAULT 0,
    first_seen REAL,
    last_seen  REAL                       -- the last question the agent asked about itself
);
CREATE TABLE IF NOT EXISTS permissions (
    address    TEXT PRIMARY KEY REFERENCES terminals(address),
    granted    INTEGER NOT NULL,
    changed    REAL NOT NULL,
    answered   REAL                        -- when the agent was first told since the change
);
CREATE TABLE IF NOT EXISTS messages (
    id         INTEGER PRIMARY KEY AUTOINCREMENT,
    address    TEXT NOT NULL,
    text       TEXT NOT NULL,
    received   REAL NOT NULL
);
"""

DEMO_TERMINALS = [
    # address, node name, registered, granted
    ("00-1A-2B-3C-4D-5E", "회계팀-PC01", 1, 1),
    ("00-1A-2B-3C-4D-5F", "인사팀-PC02", 1, 0),
    ("0A-1B-2C-3D-4E-5F", "", 0, 0),
]


class Store:
    def __init__(self, path: Path | str):
        self.path = str(path)
        with self._connect() as db:
            db.execute("PRAGMA journal_mode=WAL")
            db.executescript(SCHEMA)

    def _connect(self) -> sqlite3.Connection:
        db = sqlite3.connect(self.path, timeout=30, isolation_level=None)
        db.row_factory = sqlite3.Row
        return db

    @contextmanager
    def _write(self):
        """One write transaction, taken at once so that concurrent writers queue instead of
        failing half-way through a read-then-write."""
        db = self._connect()
        try:
            db.execute("BEGIN IMMEDIATE")
            try:
                yield db
            except BaseException:
                db.execute("ROLLBACK")
                raise
            db.execute("COMMIT")
        finally:
            db.close()

    @staticmethod
    def _touch(db: sqlite3.Connection, address: str, now: float):
        db.execute("INSERT INTO terminals(address, first_seen, last_seen) VALUES (?, ?, ?) "
                   "ON CONFLICT(address) DO UPDATE SET last_seen = excluded.last_seen",
                   (address, now, now))

    # -- what the agent asks ------------------------------------------------------------------
    def is_registered(self, address: str) -> bool:
        with self._write() as db:
            db.execute("UPDATE terminals SET last_seen = ? WHERE address = ?", (time.time(), address))
            row = db.execute("SELECT registered FROM terminals WHERE address = ?", (address,)).fetchone()
        return bool(row and row["registered"])

    def load_permission(self, address: str) -> bool:
        """Whether USB use is permitted; the terminal is recorded as seen (and listed from then on)."""
        now = time.time()
        with self._write() as db:
            self._touch(db, address, now)
            row = db.execute("SELECT granted, answered FROM permissions WHERE address = ?", (address,)).fetchone()
            if row is not None and row["answered"] is None:
                db.execute("UPDATE permissions SET answered = ? WHERE address = ?", (now, address))
        return bool(row and row["granted"])

    def node_name(self, address: str) -> str | None:
        """The registered name, or None for a terminal that is not registered."""
        with self._write() as db:
            db.execute("UPDATE terminals SET last_seen = ? WHERE address = ?", (time.time(), address))
            row = db.execute("SELECT node_name, registered FROM terminals WHERE address = ?", (address,)).fetchone()
        return row["node_name"] if row and row["registered"] else None

    def add_message(self, address: str, text: str) -> int:
        now = time.time()
        with self._write() as db:
            self._touch(db, address, now)
            cursor = db.execute("INSERT INTO messages(address, text, received) VALUES (?, ?, ?)",
                                (address, text, now))
            return int(cursor.lastrowid)

    # -- what the administrator does ------------------------------------------------------------
    def register(self, address: str, name: str):
        now = time.time()
        with self._write() as db:
            db.execute("INSERT INTO terminals(address, node_name, registered, first_seen) VALUES (?, ?, 1, ?) "
                       "ON CONFLICT(address) DO UPDATE SET node_name = excluded.node_name, registered = 1",
                       (address, name, now))

    def set_permission(self, address: str, granted: bool):
        now = time.time()
        with self._write() as db:
            db.execute("INSERT INTO terminals(address, first_seen) VALUES (?, ?) ON CONFLICT(address) DO NOTHING",
                       (address, now))
            db.execute("INSERT INTO permissions(address, granted, changed, answered) VALUES (?, ?, ?, NULL) "
                       "ON CONFLICT(address) DO UPDATE SET granted = excluded.granted, changed = excluded.changed, "
                       "answered = NULL", (address, int(granted), now))

    def terminals(self) -> list[dict]:
        db = self._connect()
        try:
            rows = db.execute(
                "SELECT t.address, t.node_name, t.registered, t.first_seen, t.last_seen, "
                "COALESCE(p.granted, 0) AS granted, p.changed, p.answered "
                "FROM terminals t LEFT JOIN permissions p ON p.address = t.address ORDER BY t.address").fetchall()
        finally:
            db.close()
        return [dict(row) | {"registered": bool(row["registered"]), "granted": bool(row["granted"])} for row in rows]

    def terminal(self, address: str) -> dict | None:
        return next((t for t in self.terminals() if t["address"] == address), None)

    def messages(self) -> list[dict]:
        db = self._connect()
        try:
            rows = db.execute("SELECT m.id, m.address, m.text, m.received, COALESCE(t.node_name, '') AS node_name "
                              "FROM messages m LEFT JOIN terminals t ON t.address = m.address "
                              "ORDER BY m.id DESC").fetchall()
        finally:
            db.close()
        return [dict(row) for row in rows]

    def fill_demo(self):
        for address, name, registered, granted in DEMO_TERMINALS:
            if registered:
                self.register(address, name)
            self.set_permission(address, bool(granted))
