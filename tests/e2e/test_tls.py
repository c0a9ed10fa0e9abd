"""The link to an "https://" address: an answer counts only from a server whose certificate names
it and chains to a root of the machine's own Root store; any other certificate is no answer, as
an unreachable server is. The certificates are made here by openssl; rootstore.exe puts the CAs
into the prefix's stores, as certutil does on Windows, and takes them out again at the end.

Every address without "https://" is covered, unchanged, by the other modules. Today's wire over
plain HTTP gives "FALSE" for an "https://" address too, so each refusal here comes beside the
trusted "TRUE" it interrupts."""
from __future__ import annotations

import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from harness import STANDARD_ROUTES, FakeServer, ThrowAwayPki, log_event, next_loopback_address
from test_server_link import PERMISSION, REGISTER, expected_headers, peek, wire_headers
from traykit import LOCKED, SETTINGS, SETTINGS_EDIT, Tray, popup_texts
from winenv import end_process, wait_for

IDOK, IDCANCEL = 1, 2
GRANTED = STANDARD_ROUTES | {PERMISSION: {"body": "TRUE"}}
EXPIRED = ("200101000000Z", "200201000000Z")
# A poll every 10 s, a request's deadline of 30 s, and a loaded machine's stalls.
ONE_POLL = 60
# From a server's first answer to the pipe's word on it: one exchange and one pipe write (2 s).
ONE_ANSWER = 15
TLS_LIBRARIES = ("crypt32.dll", "winhttp.dll")


def rootstore(prefix, verb: str, store: str, certificate):
    result = prefix.run(["wine", prefix.tool("rootstore"), verb, store, prefix.windows_path(certificate)])
    assert result.stdout.split()[:1] in ([b"added"], [b"removed"]), result.stdout


@pytest.fixture(scope="module")
def pki(prefix, tmp_path_factory):
    """CAs that the machine trusts, that only the user trusts (each with an intermediate CA), and
    that nobody trusts."""
    pki = ThrowAwayPki(tmp_path_factory.mktemp("pki"))
    placed = [("machine", pki.ca("Machine")), ("user", pki.ca("User"))]
    pki.ca("Stranger")
    # What a server sends through an intermediate CA is its own certificate and that CA's; the
    # client finds the root in its own stores, or not.
    pki.ca("MachineIntermediate", "Machine")
    pki.ca("UserIntermediate", "User")
    for store, certificate in placed:
        rootstore(prefix, "add", store, certificate)
    yield pki
    for store, certificate in placed:
        rootstore(prefix, "remove", store, certificate)


class Apache:
    """Debian's Apache httpd with mod_ssl and its stock keep-alive (an idle connection is closed
    after 5 s), serving each script's answer as a file; its access log gives the requests."""

    def __init__(self, folder: Path, address: str, chain_and_key, routes: dict):
        # Its workers run as nobody, who cannot enter the test's private folders.
        self.root = Path(tempfile.mkdtemp(prefix="tembrix-apache-"))
        self.root.chmod(0o755)
        for path, response in routes.items():
            (self.root / path.lstrip("/")).parent.mkdir(parents=True, exist_ok=True)
            (self.root / path.lstrip("/")).write_text(response["body"])
        self.log = self.root / "access.log"
        chain, key = chain_and_key
        (self.root / "httpd.conf").write_text(f"""ServerRoot {self.root}
ServerName {address}
PidFile {self.root}/httpd.pid
Listen {address}:443
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule ssl_module /usr/lib/apache2/modules/mod_ssl.so
LoadModule socache_shmcb_module /usr/lib/apache2/modules/mod_socache_shmcb.so
User nobody
Group nogroup
ErrorLog {folder}/apache-error.log
LogFormat "%{{%s}}t.%{{msec_frac}}t %{{remote}}p %U" requests
CustomLog {self.log} requests
DocumentRoot {self.root}
<Directory {self.root}>
  Require all granted
</Directory>
SSLEngine on
SSLCertificateFile {chain}
SSLCertificateKeyFile {key}
SSLSessionCache shmcb:{self.root}/ssl_scache(512000)
""")
        self.process = subprocess.Popen(["/usr/sbin/apache2", "-f", str(self.root / "httpd.conf"), "-DFOREGROUND"],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=open(folder / "apache-error.log", "ab"))
        wait_for(lambda: (self.root / "httpd.pid").exists() or self.process.poll() is not None, 20,
                 what="Apache's start")
        if self.process.poll() is not None:
            raise RuntimeError("Apache did not start: " + (folder / "apache-error.log").read_text())

    def requests(self, path: str | None = None) -> list[dict]:
        lines = self.log.read_text().splitlines(keepends=True) if self.log.exists() else []
        entries = [dict(zip(("time", "port", "path"), line.split())) for line in lines if line.endswith("\n")]
        return [{**e, "time": float(e["time"])} for e in entries if path is None or e["path"] == path]

    def wait_requests(self, path: str | None, count: int = 1, timeout: float = 60) -> list[dict]:
        return wait_for(lambda: (lambda r: r if len(r) >= count else None)(self.requests(path)),
                        timeout, step=0.1, what=f"{count} request(s) for {path}")

    def stop(self):
        end_process(self.process)
        shutil.rmtree(self.root, ignore_errors=True)


@pytest.fixture
def tls_servers(tmp_path):
    """Starts HTTPS servers with a given chain (the scriptable server, or Apache); each replaces
    the one before it on its address."""
    running: dict = {}

    def serve(address: str, chain_and_key, routes: dict = GRANTED, apache: bool = False):
        if address in running:
            running.pop(address).stop()
        folder = tmp_path / f"server-{chain_and_key[0].stem}"
        running[address] = (Apache(folder.parent, address, chain_and_key, routes) if apache else
                            FakeServer(folder, address=address, routes=routes, tls=chain_and_key))
        return running[address]

    yield serve
    for server in running.values():
        server.stop()


def connections(server: FakeServer) -> int:
    return sum(1 for e in server.entries() if e.get("event") == "connect")


def last_cause(agent, cause: str) -> dict:
    """The agent's latest state line, once its cause begins with `cause`."""
    def latest():
        lines = [log_event(line)[3] for line in agent.log_lines() if log_event(line)[2] == "state"]
        return lines[-1] if lines and lines[-1]["cause"].startswith(cause) else None
    return wait_for(latest, ONE_POLL, what=f"a state line with cause {cause}")


def loaded_libraries(agent) -> set[str]:
    return {name for name in TLS_LIBRARIES if name in agent.stderr().lower()}


def judged_within_one_answer(prefix, server, word: str) -> float:
    """Seconds from `server`'s first permission request to `word` in the pipe."""
    asked = server.wait_requests(PERMISSION, 1, timeout=ONE_POLL)[0]["time"]
    assert peek(prefix, ONE_ANSWER, word)["found"], word
    return time.time() - asked


def test_only_a_certificate_the_machine_trusts_for_the_server_name_is_answered(prefix, agents, pki, tls_servers):
    address = next_loopback_address()
    trusted = pki.server("trusted", address, "Machine")
    server = tls_servers(address, trusted)
    agent = agents(f"https://{address}").start(winedebug="+loaddll")
    agent.wait_window()
    assert peek(prefix, ONE_POLL, "TRUE")["found"]
    assert loaded_libraries(agent) == set(TLS_LIBRARIES)

    # Polls keep their connection, and with it the TLS session.
    before = len(server.wait_requests(PERMISSION, 1))
    opened = connections(server)
    server.wait_requests(PERMISSION, before + 10, timeout=10 * 10 + ONE_POLL)
    made = connections(server) - opened
    print(f"TLS connections made during 10 polls: {made}")
    assert made <= 1, made
    # The same request as over a plain link, header for header.
    for request in server.requests():
        assert wire_headers(request) == expected_headers(address, bytes.fromhex(request["body_hex"])), request

    # Each answer is judged by the certificate of its own connection: a server that takes the
    # trusted one's place is refused, and the trusted one is believed again when it is back.
    faults = {
        "a CA the machine does not trust": pki.server("stranger", address, "Stranger"),
        "a self-signed certificate": pki.server("self-signed", address, None),
        "another server's name": pki.server("other-name", "127.0.0.254", "Machine"),
        "an expired certificate": pki.server("expired", address, "Machine", EXPIRED),
        # The TLS layer accepts it: the impostor's "TRUE" arrives, and only the agent's own check
        # refuses it.
        "a root only the user trusts": pki.server("user-root", address, "User"),
    }
    for fault, chain in faults.items():
        impostor = tls_servers(address, chain)
        if fault == "a root only the user trusts":
            print(f"impostor refused {judged_within_one_answer(prefix, impostor, 'FALSE'):.1f} s after its answer")
            said = last_cause(agent, "user-root")
            # What the user reads to the helpdesk, below the lock.
            assert popup_texts(Tray(prefix).status()) == [LOCKED, "서버의 인증서를 신뢰할 수 없습니다 (user-root)"]
        else:
            assert peek(prefix, ONE_POLL, "FALSE")["found"], fault
            said = last_cause(agent, "tls-")
        print(f"{fault}: {said}")
        assert agent.running(), fault
        mended = tls_servers(address, trusted)
        print(f"trusted again {judged_within_one_answer(prefix, mended, 'TRUE'):.1f} s after its answer ({fault})")
    assert agent.close() == 0

    # The other way round, with an agent of its own: a user-root certificate first is no server
    # at all, and the trusted one in its place is believed at its first answer.
    alone = next_loopback_address()
    tls_servers(alone, pki.server("user-root-first", alone, "User"))
    agent = agents(f"https://{alone}").start()
    # At start it is no server at all: the settings dialog opens, then the registration form.
    assert prefix.driver("wait-dialog", SETTINGS, 60000, timeout=90).get("hwnd")
    prefix.driver("click", SETTINGS, IDCANCEL)
    urls = wait_for(prefix.recorded_urls, 60, what="registration form handed to the browser")
    assert urls[0].startswith(f"https://{alone}/Tembrix/register_form.php?n="), urls
    assert peek(prefix, ONE_POLL, "FALSE")["found"]
    mended = tls_servers(alone, pki.server("trusted-after", alone, "Machine"))
    print(f"trusted after a user root {judged_within_one_answer(prefix, mended, 'TRUE'):.1f} s after its answer")
    assert agent.running() and agent.close() == 0


def test_a_plain_address_never_loads_what_tls_needs(agents, server, prefix):
    server.answer(PERMISSION, "TRUE")
    agent = agents(server.address).start(winedebug="+loaddll")
    agent.wait_window()
    assert peek(prefix, ONE_POLL, "TRUE")["found"]
    assert agent.close() == 0
    assert "wininet.dll" in agent.stderr().lower()  # the trace is there, and names what is loaded
    assert loaded_libraries(agent) == set()


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


def test_a_chain_through_an_intermediate_ca_from_apache_is_judged_by_each_connection(prefix, agents, pki, tls_servers):
    """Apache closes a kept connection after 5 s idle: every poll is a new connection, with the
    certificate the server has at that moment."""
    address = next_loopback_address()
    machine = pki.server("apache-machine", address, "MachineIntermediate")
    server = tls_servers(address, machine, apache=True)
    agent = agents(f"https://{address}").start()
    agent.wait_window()
    assert peek(prefix, ONE_POLL, "TRUE")["found"]
    polls = server.wait_requests(PERMISSION, 4, timeout=4 * ONE_POLL)
    print(f"Apache: {len({p['port'] for p in polls})} connections for {len(polls)} polls")

    impostor = tls_servers(address, pki.server("apache-user", address, "UserIntermediate"), apache=True)
    print(f"Apache impostor refused {judged_within_one_answer(prefix, impostor, 'FALSE'):.1f} s after its answer")
    mended = tls_servers(address, machine, apache=True)
    print(f"Apache trusted again {judged_within_one_answer(prefix, mended, 'TRUE'):.1f} s after its answer")
    assert agent.close() == 0
