"""Which adapter address names the PC: the real agent on adapters of our own making, inside a
network namespace of its own, against the scriptable server in the same namespace."""
from __future__ import annotations

import time

import pytest

from winenv import wait_for

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


def numbered(i: int) -> str:
    return f"02-00-00-00-00-{i:02X}"


# Lists that do not fit the fixed 10,368-byte buffer under Wine (640 bytes an adapter and 40 an
# IPv4 address): 20 adapters need 12,840 bytes; 16 need 10,400 once the namespace holds four
# IPv4 addresses. Position 0 is all-zero, so its stand-in, the last adapter, is only right
# when the list was read whole.
@pytest.mark.parametrize("count,more_addresses,accepted", [
    (20, 0, 17), (20, 0, None), (16, 3, 14),
], ids=["20-adapters-one-registered", "20-adapters-none-registered", "16-adapters-4-addresses"])
def test_lists_longer_than_the_fixed_buffer_are_read_whole(isolated_pc, count, more_addresses, accepted):
    adapters = [None] + [numbered(i) for i in range(1, count)]
    routes = registration_routes([] if accepted is None else [numbered(accepted)])
    pc = isolated_pc(adapters, routes=routes, more_addresses=more_addresses)
    offered, permissions = run_until_polled(pc)
    last = count - 1
    stop = last if accepted is None else accepted
    assert offered == [f"m={numbered(last)}"] + [f"m={numbered(i)}" for i in range(1, stop + 1)]
    chosen = numbered(1) if accepted is None else numbered(accepted)
    assert set(permissions) == {f"m={chosen}"}
    times = [e["time"] for e in pc.server.requests() if e["path"].endswith((REGISTER, PERMISSION))]
    print(f"{count} adapters: {len(offered)} candidates offered in {times[len(offered)] - times[0]:.2f} s")


# No adapter with a hardware address: only lo (Wine then reports no adapters at all), or only
# tun devices. The server's answers cannot change the choice.
@pytest.mark.parametrize("adapters,offered", [([], []), ([None, None, None], [Z, Z, Z])],
                         ids=["only-lo", "only-tun-devices"])
def test_no_hardware_address_gives_the_all_zero_text(isolated_pc, adapters, offered):
    pc = isolated_pc(adapters, routes=registration_routes([A, B]))
    got_offered, permissions = run_until_polled(pc)
    assert got_offered == [f"m={text}" for text in offered]
    assert set(permissions) == {f"m={Z}"}


SETTINGS_CAPTION = "환경 설정"


def test_capital_http_prefix_names_a_host_that_is_never_reached(isolated_pc):
    # "HTTP://" is not the recognised prefix: the host becomes "HTTP:", looked up as a name.
    # Inside its own namespace neither the lookup nor any connection can leave the machine,
    # and the server on 127.0.0.1 there must see nothing at all.
    pc = isolated_pc([A], routes=registration_routes([A]))
    host = f"HTTP://{pc.server.address}"
    agent = pc.agent(host).start()
    started = time.monotonic()
    dialog = pc.prefix.driver("wait-dialog", SETTINGS_CAPTION, 60000, timeout=90)
    assert dialog.get("hwnd"), dialog
    print(f"settings dialog {time.monotonic() - started:.2f} s after start")
    assert agent.running()
    pc.prefix.driver("click", SETTINGS_CAPTION, 2)  # cancel
    agent.wait_window()
    # Not registered either (no answer): the form goes to the browser, for the fallback address.
    urls = wait_for(pc.prefix.recorded_urls, 60, what="registration form handed to the browser")
    assert urls[0].startswith(f"http://{host}/Tembrix/register_form.php?n=")
    assert urls[0].endswith(f"&m={A}")
    assert agent.running()
    assert agent.close() == 0
    assert pc.server.entries() == []
    assert f"HostAddress={host}\r\n" in agent.settings_text()


def test_every_step_reads_the_list_anew(isolated_pc, tmp_path):
    # An adapter appears while the first candidate is with the server (Wine lists a late one
    # at the end). Each count and each candidate must see it: A, Z becomes A, Z, B, so the
    # all-zero adapter's stand-in is now B and B is offered on its own place too.
    release = tmp_path / "release-first-check"
    routes = registration_routes([])
    routes[REGISTER] = {"sequence": [{"body": "UNREGISTERED", "until_file": str(release)},
                                     {"body": "UNREGISTERED"}]}
    pc = isolated_pc(adapters_of("AZ"), routes=routes)
    agent = pc.agent().start()
    pc.server.wait_requests(REGISTER, 1, timeout=60)
    pc.ns.add_bridge("late", B)
    release.write_text("")
    pc.server.wait_requests(PERMISSION, 2, timeout=90)
    agent.wait_window()
    assert agent.close() == 0
    offered, permissions = start_up_offers(pc.server)
    assert offered == [f"m={A}", f"m={B}", f"m={B}"]
    assert set(permissions) == {f"m={A}"}
