"""The link to an "https://" address: an answer counts only from a server whose certificate names
it and chains to a root of the machine's own Root store; any other certificate is no answer, as
an unreachable server is. The certificates are made here by openssl; rootstore.exe puts the CAs
into the prefix's stores, as certutil does on Windows, and takes them out again at the end.

Every address without "https://" is covered, unchanged, by the other modules. Today's wire over
plain HTTP gives "FALSE" for an "https://" address too, so each refusal here comes beside the
trusted "TRUE" it interrupts."""
from __future__ import annotations

import pytest

from harness import STANDARD_ROUTES, FakeServer, ThrowAwayPki, next_loopback_address
from test_server_link import PERMISSION, REGISTER, peek
from traykit import SETTINGS, SETTINGS_EDIT
from winenv import wait_for

IDOK, IDCANCEL = 1, 2
GRANTED = STANDARD_ROUTES | {PERMISSION: {"body": "TRUE"}}
EXPIRED = ("200101000000Z", "200201000000Z")
# A poll every 10 s, a request's deadline of 30 s, and a loaded machine's stalls.
ONE_POLL = 60


def rootstore(prefix, verb: str, store: str, certificate):
    result = prefix.run(["wine", prefix.tool("rootstore"), verb, store, prefix.windows_path(certificate)])
    assert result.stdout.split()[:1] in ([b"added"], [b"removed"]), result.stdout


@pytest.fixture(scope="module")
def pki(prefix, tmp_path_factory):
    """CAs that the machine trusts, that only the user trusts, and that nobody trusts."""
    pki = ThrowAwayPki(tmp_path_factory.mktemp("pki"))
    placed = [("machine", pki.ca("Machine")), ("user", pki.ca("User"))]
    pki.ca("Stranger")
    for store, certificate in placed:
        rootstore(prefix, "add", store, certificate)
    yield pki
    for store, certificate in placed:
        rootstore(prefix, "remove", store, certificate)


@pytest.fixture
def tls_servers(tmp_path):
    """Starts HTTPS servers with a given chain; each replaces the one before it on its address."""
    running: dict[str, FakeServer] = {}

    def serve(address: str, chain_and_key, routes: dict = GRANTED) -> FakeServer:
        if address in running:
            running.pop(address).stop()
        running[address] = FakeServer(tmp_path / f"server-{chain_and_key[0].stem}", address=address,
                                      routes=routes, tls=chain_and_key)
        return running[address]

    yield serve
    for server in running.values():
        server.stop()


def connections(server: FakeServer) -> int:
    return sum(1 for e in server.entries() if e.get("event") == "connect")


def test_only_a_certificate_the_machine_trusts_for_the_server_name_is_answered(prefix, agents, pki, tls_servers):
    address = next_loopback_address()
    trusted = pki.server("trusted", address, "Machine")
    server = tls_servers(address, trusted)
    agent = agents(f"https://{address}").start()
    agent.wait_window()
    assert peek(prefix, ONE_POLL, "TRUE")["found"]

    # Polls keep their connection, and with it the TLS session.
    before = len(server.wait_requests(PERMISSION, 1))
    opened = connections(server)
    server.wait_requests(PERMISSION, before + 10, timeout=10 * 10 + ONE_POLL)
    made = connections(server) - opened
    print(f"TLS connections made during 10 polls: {made}")
    assert made <= 1, made

    faults = {
        "a CA the machine does not trust": pki.server("stranger", address, "Stranger"),
        "a self-signed certificate": pki.server("self-signed", address, None),
        "another server's name": pki.server("other-name", "127.0.0.254", "Machine"),
        "an expired certificate": pki.server("expired", address, "Machine", EXPIRED),
    }
    for fault, chain in faults.items():
        tls_servers(address, chain)
        assert peek(prefix, ONE_POLL, "FALSE")["found"], fault
        assert agent.running(), fault
        tls_servers(address, trusted)
        assert peek(prefix, ONE_POLL, "TRUE")["found"], f"no TRUE again after {fault}"
    assert agent.close() == 0

    # WinINet takes a root that only the user trusts: the server's "TRUE" arrives, and only the
    # agent's own check can refuse it. Wine's WinINet reports the first chain it verified for an
    # address for as long as the process lives, so this is an agent, and an address, of its own.
    alone = next_loopback_address()
    answering = tls_servers(alone, pki.server("user-root", alone, "User"))
    agent = agents(f"https://{alone}").start()
    # At start it is no server at all: the settings dialog opens, then the registration form.
    assert prefix.driver("wait-dialog", SETTINGS, 60000, timeout=90).get("hwnd")
    prefix.driver("click", SETTINGS, IDCANCEL)
    urls = wait_for(prefix.recorded_urls, 60, what="registration form handed to the browser")
    assert urls[0].startswith(f"https://{alone}/Tembrix/register_form.php?n="), urls
    answering.wait_requests(PERMISSION, 2, timeout=2 * ONE_POLL)
    assert peek(prefix, ONE_POLL, "FALSE")["found"]
    assert agent.running() and agent.close() == 0


def test_an_untrusted_server_at_start_opens_the_settings_dialog_and_an_https_address_entered_there_is_used(
        prefix, agents, pki, tls_servers):
    untrusted, good = next_loopback_address(), next_loopback_address()
    tls_servers(untrusted, pki.server("untrusted-at-start", untrusted, "Stranger"))
    second = tls_servers(good, pki.server("entered", good, "Machine"), GRANTED | {REGISTER: {"body": "NO"}})
    agent = agents(f"https://{untrusted}").start()
    assert prefix.driver("wait-dialog", SETTINGS, 60000, timeout=90).get("hwnd")

    entered = f"https://{good}/app"
    assert prefix.driver("set-text", SETTINGS, SETTINGS_EDIT, entered).get("set")
    prefix.driver("click", SETTINGS, IDOK)
    assert prefix.driver("wait-dialog-gone", SETTINGS, 60000, timeout=90).get("gone")
    assert f"HostAddress={entered}\r\n" in agent.settings_text()
    request = second.wait_requests(PERMISSION, 1, timeout=ONE_POLL)[0]
    assert request["target"] == "/app/Tembrix/permission_load.php"
    assert peek(prefix, ONE_POLL, "TRUE")["found"]
    # Not registered there: the form comes from the same server, over TLS as well.
    urls = wait_for(prefix.recorded_urls, 60, what="registration form handed to the browser")
    assert urls[0].startswith(f"{entered}/Tembrix/register_form.php?n="), urls
    assert agent.close() == 0
