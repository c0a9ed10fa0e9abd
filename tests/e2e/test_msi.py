"""The MSI package: what `make dist` produces (signed with a throw-away certificate), and a silent
install, upgrade and removal under Wine with the installed agent polling the server it was given,
on 32-bit Windows and once on 64-bit Windows (WoW64). Where this machine cannot run 32-bit code,
every case installs on 64-bit Windows, and a case that starts the installed agent first puts the
x86-64 twin where the package put the shipped exe.

The installs change the prefix, so these tests have prefixes of their own. One is recreated when an
earlier run was interrupted with something still installed."""
from __future__ import annotations

import hashlib
import os
import re
import shutil
import struct
import subprocess
import zipfile
from pathlib import Path
from xml.etree import ElementTree

import pytest

from winenv import (AGENT_EXE, E2E_PREFIX_DIR, NOTES, ROOT, SHAPE, SHAPE_WHY, WM_CLOSE, WM_COMMAND, WinePrefix,
                    wait_for, windows_for)

BUILD = ROOT / "build" / "win32"
DIST = ROOT / "dist"
MAKE_DIST = ROOT / "packaging" / "make_dist.py"
OBJDUMP = "i686-w64-mingw32-objdump"
POLICY_FILES = ("policy/Tembrix.admx", "policy/en-US/Tembrix.adml", "policy/ko-KR/Tembrix.adml")
POLICY_NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}

RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
# Where 64-bit Windows keeps a 32-bit program's Run entry, as the 64-bit view of the registry
# names it.
WOW64_RUN_KEY = r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Tembrix"
ERROR_INSTALL_FAILURE = 1603
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "advapi32.dll", "wininet.dll",
               "iphlpapi.dll", "psapi.dll", "ws2_32.dll", "msvcrt.dll"}
SETTINGS_CAPTION = "환경 설정"
IDM_SETTINGS, IDC_HOST_ADDRESS, IDOK = 32772, 1016, 1


def project_version() -> str:
    for line in (BUILD / "CMakeCache.txt").read_text().splitlines():
        if line.startswith("CMAKE_PROJECT_VERSION:"):
            return line.split("=", 1)[1]
    raise AssertionError("no project version in the CMake cache")


def bumped(version: str, by: int = 1) -> str:
    major, minor, patch = version.split(".")
    return f"{major}.{minor}.{int(patch) + by}"


def msi_table(msi: Path, table: str) -> list[dict]:
    """Rows of one table, as column name -> text."""
    text = subprocess.run(["msiinfo", "export", str(msi), table], check=True, capture_output=True,
                          text=True).stdout
    lines = text.split("\r\n") if "\r\n" in text else text.splitlines()
    names = lines[0].split("\t")
    return [dict(zip(names, line.split("\t"))) for line in lines[3:] if line]


def msi_property(msi: Path, name: str) -> str:
    return next(r["Value"] for r in msi_table(msi, "Property") if r["Property"] == name)


def packed_guid(guid: str) -> str:
    """A GUID as the installer's registry keys spell it (each group, then each byte, reversed)."""
    g = guid.strip("{}").replace("-", "").upper()
    head = g[7::-1] + g[11:7:-1] + g[15:11:-1]
    return head + "".join(g[i + 1] + g[i] for i in range(16, 32, 2))


def exe_file_version(exe: Path) -> str:
    """FILEVERSION of the exe's VERSIONINFO (the VS_FIXEDFILEINFO after its signature)."""
    data = exe.read_bytes()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    assert at >= 0, "no VERSIONINFO in the exe"
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def section_names(pe: Path) -> str:
    return subprocess.run([OBJDUMP, "-h", str(pe)], check=True, capture_output=True, text=True).stdout


def signature_verified(path: Path, ca: Path) -> bool:
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(path)],
                            capture_output=True, text=True)
    return result.returncode == 0 and "Signature verification: ok" in result.stdout


def unsigned_env() -> dict:
    return {k: v for k, v in os.environ.items() if not k.startswith("TEMBRIX_SIGN_")}


@pytest.fixture(scope="module")
def signing_key(tmp_path_factory) -> dict[str, Path | str]:
    """A throw-away CA and a code-signing certificate it issued, packed with its key and a
    password as PKCS#12."""
    folder = tmp_path_factory.mktemp("pki")

    def certificate(name: str, *extra: str):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
                        "-out", f"{name}.crt", "-days", "2", "-subj", f"/CN=Tembrix Test {name}", *extra],
                       cwd=folder, check=True, capture_output=True)

    certificate("CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    certificate("Signer", "-CA", "CA.crt", "-CAkey", "CA.key", "-addext", "basicConstraints=CA:FALSE",
                "-addext", "extendedKeyUsage=codeSigning")
    password = "test password"
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", "Signer.key", "-in", "Signer.crt",
                    "-out", "signer.pfx", "-passout", f"pass:{password}"], cwd=folder, check=True)
    return {"ca": folder / "CA.crt", "pfx": folder / "signer.pfx", "password": password}


@pytest.fixture(scope="module")
def dist(signing_key) -> dict[str, Path]:
    """The real `make dist` output of the current build, signed with the throw-away certificate."""
    env = unsigned_env() | {"TEMBRIX_SIGN_PFX": str(signing_key["pfx"]),
                            "TEMBRIX_SIGN_PASSWORD": signing_key["password"]}
    subprocess.run(["cmake", "--build", "--preset", "win32", "--target", "dist"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL, env=env)
    version = project_version()
    return {"version": version, "exe": DIST / "Tembrix.exe", "debug": DIST / "Tembrix.exe.debug",
            "msi": DIST / f"Tembrix-{version}.msi", "zip": DIST / f"Tembrix-{version}.zip",
            "sums": DIST / "SHA256SUMS"} | {name: DIST / name for name in POLICY_FILES}


def unsigned_dist(version: str, out: Path) -> subprocess.CompletedProcess:
    """make_dist.py on the current build, with no certificate named."""
    return subprocess.run(["/usr/bin/python3", str(MAKE_DIST), "--exe", str(BUILD / "Tembrix.exe"),
                           "--version", version, "--out", str(out)],
                          check=True, capture_output=True, text=True, env=unsigned_env())


def package_as(dist: dict, by: int, out: Path) -> Path:
    """The same build packaged as a later version: what an upgrade installs."""
    version = bumped(dist["version"], by)
    unsigned_dist(version, out)
    return out / f"Tembrix-{version}.msi"


@pytest.fixture(scope="module")
def newer_msi(dist, tmp_path_factory) -> Path:
    return package_as(dist, 1, tmp_path_factory.mktemp("newer"))


@pytest.fixture(scope="module")
def newest_msi(dist, tmp_path_factory) -> Path:
    return package_as(dist, 2, tmp_path_factory.mktemp("newest"))


class Machine:
    """The prefix seen as a managed PC: msiexec, the registry, the install folder, the agent."""

    # A 64-bit prefix runs Wine's commands, msiexec among them, with the 64-bit loader. The
    # registry is read as the 32-bit agent and its installer see it, unless a test says otherwise.
    PROGRAM_FILES = {"win32": "Program Files", "win64": "Program Files (x86)"}
    VIEWS = {"win32": [], "win64": ["/reg:32"]}
    LOG = "msiexec.log"  # in C:\, the last msiexec run's verbose log

    def __init__(self, prefix: WinePrefix):
        self.prefix = prefix
        self.folder = prefix.path / "drive_c" / self.PROGRAM_FILES[prefix.arch] / "Tembrix"
        self.view = self.VIEWS[prefix.arch]
        self.run_command = f'"C:\\{self.PROGRAM_FILES[prefix.arch]}\\Tembrix\\Tembrix.exe"'
        self.dirty = prefix.path.with_name(prefix.path.name + ".installed")
        self.installed: set[Path] = set()

    def msiexec(self, *args: str) -> int:
        self.dirty.write_text("msi tests ran here\n")
        argv = ["wine", "msiexec", *args, "/l*v", f"C:\\{self.LOG}"]
        return self.prefix.run(argv, timeout=300, check=False).returncode

    def logged_property(self, name: str) -> str | None:
        """A property's final value as the last run's log lists it; None when it was not set."""
        log = (self.prefix.path / "drive_c" / self.LOG).read_bytes().decode("cp949", "replace")
        values = re.findall(rf"^Property\([CS]\): {name} = (.*?)\r?$", log, re.MULTILINE)
        return values[-1] if values else None

    def install(self, msi: Path, *properties: str) -> int:
        self.installed.add(msi)
        return self.msiexec("/i", self.prefix.windows_path(msi), "/qn", *properties)

    def uninstall(self, msi: Path) -> int:
        return self.msiexec("/x", self.prefix.windows_path(msi), "/qn")

    def reg_value(self, key: str, name: str, *options: str) -> str | None:
        typed = self.reg_typed_value(key, name, *options)
        return typed and typed[1]

    def reg_typed_value(self, key: str, name: str, *options: str) -> tuple[str, str] | None:
        """(REG_… type, value as `reg query` prints it), or None."""
        result = self.prefix.run(["wine", "reg", "query", key, "/v", name, *(options or self.view)], check=False)
        if result.returncode != 0:
            return None
        for line in result.stdout.decode("cp949", "replace").splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0] == name and parts[1].startswith("REG_"):
                return parts[1], parts[2].strip()
        return None

    def event_source(self) -> tuple | None:
        """The Application event log's registration of the source Tembrix, None when absent."""
        if not self.reg_key_exists(EVENT_SOURCE_KEY):
            return None
        return (self.reg_typed_value(EVENT_SOURCE_KEY, "EventMessageFile"),
                self.reg_typed_value(EVENT_SOURCE_KEY, "TypesSupported"))

    def reg_key_exists(self, key: str) -> bool:
        return self.prefix.run(["wine", "reg", "query", key, *self.view], check=False).returncode == 0

    def installer_traces(self, msi: Path) -> list[str]:
        """What the installer keeps about the product: component and upgrade-code registrations,
        cached packages. Empty once it is removed."""
        installer = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Installer"
        keys = [rf"{installer}\UserData\S-1-5-18\Components\{packed_guid(r['ComponentId'])}"
                for r in msi_table(msi, "Component")]
        upgrade = packed_guid(msi_property(msi, "UpgradeCode"))
        keys += [rf"{installer}\UpgradeCodes\{upgrade}", rf"HKCR\Installer\UpgradeCodes\{upgrade}"]
        traces = [k for k in keys if self.reg_key_exists(k)]
        cache = self.prefix.path / "drive_c" / "windows" / "Installer"
        return traces + [p.name for p in cache.glob("*.msi")]

    def registered_version(self, msi: Path) -> str | None:
        """DisplayVersion of the product in Add/Remove Programs, None when not registered."""
        key = UNINSTALL_KEY + "\\" + msi_property(msi, "ProductCode")
        return self.reg_value(key, "DisplayVersion")

    def settings(self) -> bytes:
        return (self.folder / "tmbxconfig.ini").read_bytes()

    def log_on(self):
        """A new session: Wine's start-up runs the machine's Run entries, as a Windows logon does.
        Where the shipped exe cannot run, the twin takes its place first."""
        installed = self.folder / "Tembrix.exe"
        if SHAPE == "win64" and installed.exists() and installed.read_bytes() != AGENT_EXE.read_bytes():
            shutil.copy2(AGENT_EXE, installed)
            NOTES.add(f"MSI cases started {AGENT_EXE.relative_to(ROOT)} from the installed path, through the "
                      f"Run value's own command line, in place of the installed 32-bit exe ({SHAPE_WHY})")
        self.prefix.kill()
        self.prefix.start()

    def agent_pids(self) -> list[int]:
        """Unix ids of the installed agent's processes in this prefix (read from /proc only)."""
        pids = []
        for proc in Path("/proc").iterdir():
            try:
                if (b"Tembrix.exe" in (proc / "cmdline").read_bytes() and
                        f"WINEPREFIX={self.prefix.path}".encode() in (proc / "environ").read_bytes().split(b"\0")):
                    pids.append(int(proc.name))
            except (OSError, ValueError):
                continue
        return pids

    def wait_agent(self):
        answer = self.prefix.driver("wait-window", "TEMBRIX", 60000, timeout=90)
        assert "error" not in answer, answer
        assert self.agent_pids(), "the running agent is not seen in /proc"

    def close_agent(self):
        self.prefix.driver("post", "TEMBRIX", WM_CLOSE, 0, 0)
        wait_for(lambda: not self.agent_pids(), 60, step=0.1, what="the agent to exit")

    def set_address_in_settings_dialog(self, address: str):
        """What a user does: menu command "환경 설정", a new address, OK."""
        self.prefix.driver("post", "TEMBRIX", WM_COMMAND, IDM_SETTINGS, 0)
        assert "hwnd" in self.prefix.driver("wait-dialog", SETTINGS_CAPTION, 60000, timeout=90)
        assert self.prefix.driver("set-text", SETTINGS_CAPTION, IDC_HOST_ADDRESS, address).get("set")
        self.prefix.driver("click", SETTINGS_CAPTION, IDOK)
        assert self.prefix.driver("wait-dialog-gone", SETTINGS_CAPTION, 60000, timeout=90).get("gone")

    def remove_everything(self):
        for msi in self.installed:
            if msi.exists():
                self.uninstall(msi)
        if self.agent_pids():  # left running by a failed test; no Run entry starts it again
            self.log_on()


@pytest.fixture(scope="module", params=["win32"])
def msi_prefix(request, display, dist):
    """A prefix of the package's own: 32-bit Windows, or 64-bit for a test that asks for "win64"
    and wherever 32-bit code cannot run."""
    arch = windows_for(request.param)
    prefix = WinePrefix(Path(f"{E2E_PREFIX_DIR}-msi{'' if arch == 'win32' else '-win64'}"), display, arch=arch)
    machine = Machine(prefix)
    if machine.dirty.exists() and prefix.path.exists():
        shutil.rmtree(prefix.path)  # an earlier run stopped with the product installed
    prefix.prepare()
    prefix.start()
    yield prefix
    clean = not machine.folder.exists()
    prefix.kill()
    if clean:
        machine.dirty.unlink(missing_ok=True)


@pytest.fixture
def machine(msi_prefix):
    """The prefix as a managed PC; whatever a test installed is removed after it, even on failure."""
    m = Machine(msi_prefix)
    yield m
    m.remove_everything()



def test_dist_is_one_signed_release_build_with_checked_sums(dist, signing_key, tmp_path):
    version = dist["version"]
    for name in ("exe", "debug", "msi", "zip", "sums"):
        assert dist[name].is_file(), dist[name]
    # One version everywhere: the project, the MSI, and the exe's own VERSIONINFO.
    assert msi_property(dist["msi"], "ProductVersion") == version
    assert exe_file_version(dist["exe"]) == version + ".0"
    assert exe_file_version(BUILD / "Tembrix.exe") == version + ".0"
    # The shipped exe has no debug sections; they are kept beside it, and the exe names that file.
    assert ".debug_" not in section_names(dist["exe"]) and ".gnu_debuglink" in section_names(dist["exe"])
    assert ".debug_info" in section_names(dist["debug"])
    # What the PCs run: a 32-bit GUI program that needs nothing but Windows' own DLLs, and not
    # even those of TLS until an address asks for it (crypt32, winhttp).
    headers = subprocess.run([OBJDUMP, "-p", str(dist["exe"])], check=True, capture_output=True, text=True).stdout
    assert "file format pei-i386" in headers and re.search(r"^Subsystem\s+00000002", headers, re.MULTILINE)
    assert {n.lower() for n in re.findall(r"DLL Name: (\S+)", headers)} <= SYSTEM_DLLS
    with zipfile.ZipFile(dist["zip"]) as z:
        assert z.namelist() == ["Tembrix.exe", *POLICY_FILES]
        for name in z.namelist():
            assert z.read(name) == (DIST / name).read_bytes(), name
    sums = dict(reversed(line.split("  ", 1)) for line in dist["sums"].read_text().splitlines())
    assert set(sums) == {"Tembrix.exe", "Tembrix.exe.debug", dist["msi"].name, dist["zip"].name, *POLICY_FILES}
    for name, digest in sums.items():
        assert hashlib.sha256((DIST / name).read_bytes()).hexdigest() == digest, name
    # The MSI carries the exe as shipped (signed), not a stale copy; all three signatures hold.
    subprocess.run(["msiextract", "-C", str(tmp_path), str(dist["msi"])], check=True, capture_output=True)
    [exe] = tmp_path.rglob("Tembrix.exe")
    assert exe.read_bytes() == dist["exe"].read_bytes()
    for signed in (dist["exe"], dist["msi"], exe):
        assert signature_verified(signed, signing_key["ca"]), signed

    # Without a certificate: nothing signed, and one line says so.
    unsigned = unsigned_dist(version, tmp_path / "unsigned")
    assert len(unsigned.stderr.splitlines()) == 1 and "not signed" in unsigned.stderr, unsigned.stderr
    for name in ("Tembrix.exe", dist["msi"].name):
        assert not signature_verified(tmp_path / "unsigned" / name, signing_key["ca"]), name


def test_policy_templates_are_whole_in_both_languages_and_name_what_the_agent_reads(dist):
    admx_text = dist["policy/Tembrix.admx"].read_text(encoding="utf-8")
    admx = ElementTree.fromstring(admx_text)  # well-formed, or this raises
    assert admx.tag == "{%s}policyDefinitions" % POLICY_NS["p"]
    [policy] = admx.findall("p:policies/p:policy", POLICY_NS)
    [text] = policy.findall("p:elements/p:text", POLICY_NS)
    assert policy.get("class") == "Machine"
    # The agent refuses a longer address whole; an empty one would fail closed.
    assert (text.get("maxLength"), text.get("required")) == ("255", "true")
    # The agent's reads take both names from its header. Its shipped bytes would not do for the
    # value's name, which the settings file's key also spells; they do show the header's key is
    # what the release reads (an unused constant would not be in the exe).
    header = (ROOT / "app" / "machine_policy.h").read_text()
    agent_key, agent_value = (re.search(rf'\b{name}\[\] = "([^"]*)"', header).group(1).replace("\\\\", "\\")
                              for name in ("PolicyKeyPath", "PolicyValueName"))
    assert agent_key.encode() + b"\0" in dist["exe"].read_bytes()
    # Registry names are compared as Windows does, without regard to case.
    assert text.get("key", policy.get("key")).casefold() == agent_key.casefold()
    assert text.get("valueName").casefold() == agent_value.casefold()
    assert text.get("expandable", "false") == "false"  # REG_SZ: the agent refuses any other type
    # Other namespaces' names (windows:SUPPORTED_…) need their `using`.
    prefixes = {u.get("prefix") for u in admx.findall("p:policyNamespaces/p:using", POLICY_NS)}
    assert {ref.split(":")[0] for ref in re.findall(r'ref="(\w+):', admx_text)} <= prefixes

    used = re.findall(r"\$\((string|presentation)\.(\w+)\)", admx_text)
    minimum = tuple(map(int, admx.find("p:resources", POLICY_NS).get("minRequiredRevision").split(".")))
    for name in ("policy/en-US/Tembrix.adml", "policy/ko-KR/Tembrix.adml"):
        adml = ElementTree.parse(dist[name]).getroot()
        assert adml.tag == "{%s}policyDefinitionResources" % POLICY_NS["p"], name
        # An older language file than the ADMX asks for is refused by the policy editors.
        assert tuple(map(int, adml.get("revision").split("."))) >= minimum, name
        defined = {"string": {s.get("id"): s.text for s in adml.iterfind(".//p:stringTable/p:string", POLICY_NS)},
                   "presentation": {p.get("id"): p for p in adml.iterfind(".//p:presentationTable/p:presentation",
                                                                            POLICY_NS)}}
        for kind, ident in used:
            assert ident in defined[kind] and (kind != "string" or defined[kind][ident].strip()), (name, kind, ident)
        presentation = defined["presentation"][re.search(r"\.(\w+)\)", policy.get("presentation")).group(1)]
        assert [box.get("refId") for box in presentation.iterfind("p:textBox", POLICY_NS)] == [text.get("id")], name


def users_access(sddl: str) -> int:
    """The access that an SDDL text grants built-in Users; SYSTEM and Administrators keep full control."""
    assert "(A;;FA;;;SY)" in sddl and "(A;;FA;;;BA)" in sddl, sddl
    return int(re.search(r"\(A;;(0x[0-9a-f]+);;;BU\)", sddl).group(1), 16)


def test_users_may_write_the_settings_file_unless_the_address_is_locked(dist):
    # Wine does not enforce file permissions, so this is checked in the package itself.
    files = {r["File"]: r["FileName"].split("|")[-1] for r in msi_table(dist["msi"], "File")}
    rows = msi_table(dist["msi"], "MsiLockPermissionsEx")
    assert {(files.get(r["LockObject"]), r["Table"]) for r in rows} == {("tmbxconfig.ini", "File")}
    # One row for each choice; the installer applies the one whose condition holds.
    by_choice = {r["Condition"]: users_access(r["SDDLText"]) for r in rows}
    writable, locked = by_choice['NOT (LOCKHOSTADDRESS = "1")'], by_choice['LOCKHOSTADDRESS = "1"']
    FILE_READ_DATA, FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_WRITE_EA, FILE_WRITE_ATTRIBUTES = 0x1, 0x2, 0x4, 0x10, 0x100
    DELETE, WRITE_DAC, WRITE_OWNER = 0x10000, 0x40000, 0x80000
    assert writable & FILE_READ_DATA and writable & FILE_WRITE_DATA and locked & FILE_READ_DATA
    assert not locked & (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES)
    assert not (writable | locked) & (DELETE | WRITE_DAC | WRITE_OWNER)
    # The choice must reach the elevated part of a managed install.
    assert "LOCKHOSTADDRESS" in msi_property(dist["msi"], "SecureCustomProperties").split(";")


def test_install_run_upgrade_keeping_settings_and_remove(machine, dist, newer_msi, newest_msi, servers):
    first, second = servers(), servers()
    old, new = dist["msi"], newer_msi

    assert machine.install(old, f"HOSTADDRESS={first.address}") == 0
    assert sorted(p.name for p in machine.folder.iterdir()) == ["Tembrix.exe", "tmbxconfig.ini"]
    assert (machine.folder / "Tembrix.exe").read_bytes() == dist["exe"].read_bytes()
    assert machine.settings() == f"[Configuration]\r\nHostAddress={first.address}\r\n".encode()
    assert machine.registered_version(old) == dist["version"]
    assert machine.reg_value(RUN_KEY, "Tembrix") == machine.run_command
    # The event source names the installed exe, which carries the message table.
    source = (("REG_EXPAND_SZ", machine.run_command.strip('"')), ("REG_DWORD", "0x7"))
    assert machine.event_source() == source

    # At logon the agent starts by itself and asks the server it was installed with; its user
    # then points it at another server through the settings dialog, which rewrites the file.
    machine.log_on()
    first.wait_requests("/Tembrix/permission_load.php", 1, timeout=90)
    machine.wait_agent()
    machine.set_address_in_settings_dialog(second.address)
    changed = f"[Configuration]\r\nHostAddress={second.address}\r\n".encode()
    assert machine.settings() == changed
    second.wait_requests("/Tembrix/permission_load.php", 1, timeout=60)
    machine.close_agent()
    asked_first = len(first.requests())

    assert machine.install(new) == 0
    assert machine.settings() == changed
    assert machine.registered_version(old) is None, "the old product is still registered"
    assert machine.registered_version(new) == bumped(dist["version"])
    assert sorted(p.name for p in machine.folder.iterdir()) == ["Tembrix.exe", "tmbxconfig.ini"]
    assert machine.reg_value(RUN_KEY, "Tembrix") == machine.run_command
    asked_second = len(second.requests("/Tembrix/permission_load.php"))
    machine.log_on()
    second.wait_requests("/Tembrix/permission_load.php", asked_second + 1, timeout=90)
    machine.wait_agent()
    machine.close_agent()
    assert len(first.requests()) == asked_first, "the upgraded agent asked the old server"

    # The upgraded product is still found by its upgrade code: an older package is refused, and
    # the next one replaces it in turn.
    assert machine.install(old) in (ERROR_INSTALL_FAILURE, ERROR_INSTALL_FAILURE & 0xFF)
    assert machine.registered_version(new) == bumped(dist["version"])
    assert machine.settings() == changed
    assert machine.install(newest_msi) == 0
    assert machine.event_source() == source
    assert machine.registered_version(new) is None, "a second upgrade left the first one registered"
    assert machine.registered_version(newest_msi) == bumped(dist["version"], 2)
    assert machine.settings() == changed

    assert machine.installer_traces(newest_msi), "the installer's own records were not found"
    assert machine.uninstall(newest_msi) == 0
    assert not machine.folder.exists()
    assert machine.reg_value(RUN_KEY, "Tembrix") is None
    assert machine.event_source() is None
    for msi in (old, new, newest_msi):
        assert machine.registered_version(msi) is None, msi.name
    assert machine.installer_traces(newest_msi) == []


def test_without_address_the_default_then_an_upgrade_with_one_writes_it_and_the_lock_stays(
        machine, dist, newer_msi, newest_msi, servers, tmp_path):
    server = servers()
    assert machine.install(dist["msi"], "LOCKHOSTADDRESS=1") == 0
    assert machine.settings() == b"[Configuration]\r\nHostAddress=0.0.0.0\r\n"
    assert machine.reg_value(RUN_KEY, "Tembrix") == machine.run_command

    # The same version built again has a product code of its own: it replaces, never doubles.
    # Upgrades that do not give the lock again read it back from where the first install stored it.
    rebuilt = package_as(dist, 0, tmp_path)
    assert msi_property(rebuilt, "ProductCode") != msi_property(dist["msi"], "ProductCode")
    assert machine.install(rebuilt) == 0
    assert machine.logged_property("LOCKHOSTADDRESS") == "1"
    assert machine.registered_version(dist["msi"]) is None, "two products of one version installed"
    assert machine.registered_version(rebuilt) == dist["version"]

    # An address given at an upgrade is the administrator's new choice: it replaces the old one,
    # locked or not (the installer writes the file as SYSTEM), whole up to the longest one.
    longest = f"{server.address}/" + "p" * (254 - len(server.address))
    assert machine.install(newer_msi, f"HOSTADDRESS={longest}") == 0
    assert machine.logged_property("LOCKHOSTADDRESS") == "1"
    assert machine.settings() == f"[Configuration]\r\nHostAddress={longest}\r\n".encode()
    # A lock choice given again wins over the stored one.
    assert machine.install(newest_msi, "LOCKHOSTADDRESS=0") == 0
    assert machine.logged_property("LOCKHOSTADDRESS") == "0"

    assert machine.uninstall(newest_msi) == 0
    assert not machine.folder.exists()
    assert machine.reg_value(RUN_KEY, "Tembrix") is None


@pytest.mark.parametrize("msi_prefix", ["win64"], indirect=True)
def test_under_wow64_the_agent_installs_where_64_bit_windows_keeps_32_bit_programs_and_relays(
        machine, dist, servers):
    server = servers()
    server.answer("/Tembrix/permission_load.php", "TRUE")
    assert machine.install(dist["msi"], f"HOSTADDRESS={server.address}") == 0
    drive_c = machine.prefix.path / "drive_c"
    assert (drive_c / "Program Files (x86)" / "Tembrix" / "Tembrix.exe").read_bytes() == dist["exe"].read_bytes()
    assert not (drive_c / "Program Files" / "Tembrix").exists()
    # Read in the 64-bit view of the registry, where the 32-bit view is a key of its own.
    command = r'"C:\Program Files (x86)\Tembrix\Tembrix.exe"'
    assert machine.reg_value(WOW64_RUN_KEY, "Tembrix", "/reg:64") == command
    assert machine.reg_value(RUN_KEY, "Tembrix", "/reg:64") is None

    # At logon the entry starts the agent, which hands the server's answer on through the pipe.
    machine.log_on()
    machine.wait_agent()
    pipe = machine.prefix.run(["wine", machine.prefix.tool("pipemon"), "--until", "TRUE", "--exit-after", "60000"],
                              timeout=120, check=False)
    assert pipe.returncode == 0 and b" 5 TRUE\\0" in pipe.stdout, pipe.stdout
    machine.close_agent()
