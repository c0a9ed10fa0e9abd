"""Which adapter address names the PC: the real agent on adapters of our own making, inside a
network namespace of its own, against the scriptable server in the same namespace."""
from __future__ import annotations

import pytest

from netns_fixtures import isolated_pc, netns_prefix  # noqa: F401  (fixtures)

A = "0A-1B-2C-3D-4E-5F"
B = "00-1A-2B-3C-4D-5E"
Z = "00-00-00-00-00-00"
LETTERS = {"A": A, "B": B, "Z": Z}

REGISTER = "/Tembrix/register_check.php"
PERMISSION = "/Tembrix/permission_load.php"


def adapters_of(names: str) -> list[str | None]:
    """Interfaces for the letters: a bridge with that address, or a tun device for Z."""
    return [None if c == "Z" else LETTERS[c] for c in names]


def registration_routes(accepted: list[str]) -> dict:
    from harness import STANDARD_ROUTES
    routes = dict(STANDARD_ROUTES)
    routes[REGISTER] = {"body": "UNREGISTERED",
                        "by_body": {f"m={text}": {"body": "REGISTERED"} for text in accepted}}
    return routes


def start_up_offers(server) -> tuple[list[str], list[str]]:
    """The addresses offered to register_check before the first permission query (the choice at
    start-up), and the m= of every permission query so far."""
    offered, permissions = [], []
    for entry in server.requests():
        if entry["path"].endswith(PERMISSION):
            permissions.append(entry["body"])
        elif entry["path"].endswith(REGISTER) and not permissions:
            offered.append(entry["body"])
    return offered, permissions


def run_until_polled(pc, permission_queries: int = 2) -> tuple[list[str], list[str]]:
    """Starts the agent, lets it choose and ask for its permission (the start-up's question and
    the poller's first), ends it, and returns what start_up_offers saw."""
    agent = pc.agent().start()
    pc.server.wait_requests(PERMISSION, permission_queries, timeout=90)
    agent.wait_window()
    assert agent.close() == 0
    return start_up_offers(pc.server)


# Adapters in list order, what the server accepts, the candidates offered in order, the choice.
ROWS = [
    ("A", "", "A", "A"),
    ("Z", "", "Z", "Z"),
    ("AB", "", "AB", "A"),
    ("AB", "B", "AB", "B"),
    ("AB", "AB", "A", "A"),
    ("ZA", "A", "A", "A"),
    ("ZAB", "AB", "B", "B"),
    ("ZAB", "A", "BA", "A"),
    ("ZAB", "", "BAB", "A"),
    ("BZA", "", "BAA", "B"),
    ("AZ", "", "AZ", "A"),
    ("AZ", "Z", "AZ", "Z"),
    ("ZZ", "", "ZZ", "Z"),
]


@pytest.mark.parametrize("adapters,accepts,offered,chosen", ROWS,
                         ids=[f"{r[0]}-accepts-{r[1] or 'none'}" for r in ROWS])
def test_candidates_and_choice_on_real_adapters(isolated_pc, adapters, accepts, offered, chosen):
    pc = isolated_pc(adapters_of(adapters), routes=registration_routes([LETTERS[c] for c in accepts]))
    got_offered, permissions = run_until_polled(pc)
    assert got_offered == [f"m={LETTERS[c]}" for c in offered]
    assert permissions and set(permissions) == {f"m={LETTERS[chosen]}"}
