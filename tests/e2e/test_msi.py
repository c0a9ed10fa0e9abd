"""The MSI package: what `make dist` produces, and a silent install, upgrade and removal under Wine
with the installed agent polling the server it was given.

The installs change the prefix, so these tests have a prefix of their own. It is recreated when an
earlier run was interrupted with something still installed."""
from __future__ import annotations

import hashlib
import os
import shutil
import struct
import subprocess
import zipfile
from pathlib import Path

import pytest

from harness import FakeServer
from winenv import ROOT, WM_CLOSE, WinePrefix

BUILD = ROOT / "build" / "win32"
DIST = ROOT / "dist"
MAKE_DIST = ROOT / "packaging" / "make_dist.py"
PREFIX_DIR = Path(str(os.environ.get("TEMBRIX_WINE_PREFIX", ROOT / "build" / "wine" / "e2e")) + "-msi")
DIRTY = PREFIX_DIR.parent / (PREFIX_DIR.name + ".installed")

INSTALL_DIR = r"C:\Program Files\Tembrix"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ERROR_INSTALL_FAILURE = 1603


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


def exe_file_version(exe: Path) -> str:
    """FILEVERSION of the exe's VERSIONINFO (the VS_FIXEDFILEINFO after its signature)."""
    data = exe.read_bytes()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    assert at >= 0, "no VERSIONINFO in the exe"
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


@pytest.fixture(scope="module")
def dist() -> dict[str, Path]:
    """The real `make dist` output of the current build."""
    subprocess.run(["cmake", "--build", "--preset", "win32", "--target", "dist"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    version = project_version()
    return {"version": version, "exe": DIST / "Tembrix.exe", "msi": DIST / f"Tembrix-{version}.msi",
            "zip": DIST / f"Tembrix-{version}.zip", "sums": DIST / "SHA256SUMS"}


def package_as(dist: dict, by: int, out: Path) -> Path:
    """The same exe packaged as a later version: what an upgrade installs."""
    version = bumped(dist["version"], by)
    subprocess.run(["/usr/bin/python3", str(MAKE_DIST), "--exe", str(dist["exe"]), "--version", version,
                    "--out", str(out)], check=True, stdout=subprocess.DEVNULL)
    return out / f"Tembrix-{version}.msi"


@pytest.fixture(scope="module")
def newer_msi(dist, tmp_path_factory) -> Path:
    return package_as(dist, 1, tmp_path_factory.mktemp("newer"))


@pytest.fixture(scope="module")
def newest_msi(dist, tmp_path_factory) -> Path:
    return package_as(dist, 2, tmp_path_factory.mktemp("newest"))


class Machine:
    """The prefix seen as a managed PC: msiexec, the registry, the install folder, the agent."""

    def __init__(self, prefix: WinePrefix):
        self.prefix = prefix
        self.folder = prefix.path / "drive_c" / "Program Files" / "Tembrix"
        self.installed: set[Path] = set()

    def msiexec(self, *args: str) -> int:
        DIRTY.write_text("msi tests ran here\n")
        return self.prefix.run(["wine", "msiexec", *args], timeout=300, check=False).returncode

    def install(self, msi: Path, *properties: str) -> int:
        self.installed.add(msi)
        return self.msiexec("/i", self.prefix.windows_path(msi), "/qn", *properties)

    def uninstall(self, msi: Path) -> int:
        return self.msiexec("/x", self.prefix.windows_path(msi), "/qn")

    def reg_value(self, key: str, name: str) -> str | None:
        result = self.prefix.run(["wine", "reg", "query", key, "/v", name], check=False)
        if result.returncode != 0:
            return None
        for line in result.stdout.decode("cp949", "replace").splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0] == name and parts[1].startswith("REG_"):
                return parts[2].strip()
        return None

    def registered_version(self, msi: Path) -> str | None:
        """DisplayVersion of the product in Add/Remove Programs, None when not registered."""
        key = UNINSTALL_KEY + "\\" + msi_property(msi, "ProductCode")
        return self.reg_value(key, "DisplayVersion")

    def settings(self) -> bytes:
        return (self.folder / "tmbxconfig.ini").read_bytes()

    def run_agent_from_run_entry(self, server: FakeServer, tmp_path: Path):
        """Starts the command of the Run entry as a logon would, sees it poll, closes it."""
        command = self.reg_value(RUN_KEY, "Tembrix")
        assert command == f'"{INSTALL_DIR}\\Tembrix.exe"'
        with open(tmp_path / "agent-stdout.txt", "wb") as out:
            process = self.prefix.popen(["wine", command.strip('"')], stdout=out, stderr=subprocess.DEVNULL)
            try:
                server.wait_requests("/Tembrix/permission_load.php", 1, timeout=90)
                answer = self.prefix.driver("wait-window", "TEMBRIX", 60000, timeout=90)
                assert "error" not in answer, answer
                self.prefix.driver("post", "TEMBRIX", WM_CLOSE, 0, 0)
                assert process.wait(60) == 0
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()

    def remove_everything(self):
        for msi in self.installed:
            if msi.exists():
                self.uninstall(msi)


@pytest.fixture(scope="module")
def msi_prefix(display, dist):
    if DIRTY.exists() and PREFIX_DIR.exists():
        shutil.rmtree(PREFIX_DIR)  # an earlier run stopped with the product installed
    prefix = WinePrefix(PREFIX_DIR, display)
    prefix.prepare()
    prefix.start()
    yield prefix
    clean = not Machine(prefix).folder.exists()
    prefix.kill()
    if clean:
        DIRTY.unlink(missing_ok=True)


@pytest.fixture
def machine(msi_prefix):
    """The prefix as a managed PC; whatever a test installed is removed after it, even on failure."""
    m = Machine(msi_prefix)
    yield m
    m.remove_everything()


@pytest.fixture
def servers(tmp_path):
    made: list[FakeServer] = []

    def make() -> FakeServer:
        made.append(FakeServer(tmp_path / f"server{len(made)}"))
        return made[-1]

    yield make
    for s in made:
        s.stop()


def test_dist_is_one_version_with_checked_sums(dist, tmp_path):
    version = dist["version"]
    for name in ("exe", "msi", "zip", "sums"):
        assert dist[name].is_file(), dist[name]
    # One version everywhere: the project, the MSI, and the exe's own VERSIONINFO.
    assert msi_property(dist["msi"], "ProductVersion") == version
    assert exe_file_version(dist["exe"]) == version + ".0"
    assert exe_file_version(BUILD / "Tembrix.exe") == version + ".0"
    assert dist["exe"].read_bytes() == (BUILD / "Tembrix.exe").read_bytes()
    with zipfile.ZipFile(dist["zip"]) as z:
        assert z.namelist() == ["Tembrix.exe"]
        assert z.read("Tembrix.exe") == dist["exe"].read_bytes()
    sums = dict(reversed(line.split("  ", 1)) for line in dist["sums"].read_text().splitlines())
    assert set(sums) == {"Tembrix.exe", dist["msi"].name, dist["zip"].name}
    for name, digest in sums.items():
        assert hashlib.sha256((DIST / name).read_bytes()).hexdigest() == digest, name
    # The MSI carries the exe that was built, not a stale copy.
    subprocess.run(["msiextract", "-C", str(tmp_path), str(dist["msi"])], check=True, capture_output=True)
    [exe] = tmp_path.rglob("Tembrix.exe")
    assert exe.read_bytes() == dist["exe"].read_bytes()


def test_users_may_write_the_settings_file_and_nothing_else(dist):
    # Wine does not enforce file permissions, so this is checked in the package itself.
    files = {r["File"]: r["FileName"] for r in msi_table(dist["msi"], "File")}
    rows = msi_table(dist["msi"], "MsiLockPermissionsEx")
    assert [(files.get(r["LockObject"]), r["Table"]) for r in rows] == [("tmbxconfig.ini", "File")]
    aces = rows[0]["SDDLText"].split("(")[1:]
    users = [a.rstrip(")").split(";") for a in aces if a.rstrip(")").endswith(";BU")]
    assert len(users) == 1 and users[0][0] == "A"
    mask = int(users[0][2], 16)
    FILE_READ_DATA, FILE_WRITE_DATA, DELETE, WRITE_DAC, WRITE_OWNER = 0x1, 0x2, 0x10000, 0x40000, 0x80000
    assert mask & FILE_READ_DATA and mask & FILE_WRITE_DATA
    assert not mask & (DELETE | WRITE_DAC | WRITE_OWNER)
    assert any(a.rstrip(")").endswith(";SY") for a in aces) and any(a.rstrip(")").endswith(";BA") for a in aces)


def test_install_run_upgrade_keeping_settings_and_remove(machine, dist, newer_msi, newest_msi, servers,
                                                         tmp_path):
    first, second = servers(), servers()
    old, new = dist["msi"], newer_msi

    assert machine.install(old, f"HOSTADDRESS={first.address}") == 0
    assert sorted(p.name for p in machine.folder.iterdir()) == ["Tembrix.exe", "tmbxconfig.ini"]
    assert (machine.folder / "Tembrix.exe").read_bytes() == dist["exe"].read_bytes()
    assert machine.settings() == f"[Configuration]\r\nHostAddress={first.address}\r\n".encode()
    assert machine.registered_version(old) == dist["version"]
    machine.run_agent_from_run_entry(first, tmp_path)
    polls_of_first = len(first.requests())
    # The agent rewrote its file at shutdown, in place.
    assert f"HostAddress={first.address}\r\n".encode() in machine.settings()

    # The user points the agent at another server (what its settings dialog writes).
    changed = f"[Configuration]\r\nHostAddress={second.address}\r\n".encode()
    (machine.folder / "tmbxconfig.ini").write_bytes(changed)

    assert machine.install(new) == 0
    assert machine.settings() == changed
    assert machine.registered_version(old) is None, "the old product is still registered"
    assert machine.registered_version(new) == bumped(dist["version"])
    assert sorted(p.name for p in machine.folder.iterdir()) == ["Tembrix.exe", "tmbxconfig.ini"]
    machine.run_agent_from_run_entry(second, tmp_path)
    assert len(first.requests()) == polls_of_first, "the upgraded agent asked the old server"

    # The upgraded product is still found by its upgrade code: an older package is refused, and
    # the next one replaces it in turn.
    assert machine.install(old) in (ERROR_INSTALL_FAILURE, ERROR_INSTALL_FAILURE & 0xFF)
    assert machine.registered_version(new) == bumped(dist["version"])
    assert machine.settings() == changed
    assert machine.install(newest_msi) == 0
    assert machine.registered_version(new) is None, "a second upgrade left the first one registered"
    assert machine.registered_version(newest_msi) == bumped(dist["version"], 2)
    assert machine.settings() == changed

    assert machine.uninstall(newest_msi) == 0
    assert not machine.folder.exists()
    assert machine.reg_value(RUN_KEY, "Tembrix") is None
    for msi in (old, new, newest_msi):
        assert machine.registered_version(msi) is None, msi.name


def test_without_address_the_default_then_an_upgrade_with_one_writes_it(machine, dist, newer_msi, servers):
    server = servers()
    assert machine.install(dist["msi"]) == 0
    assert machine.settings() == b"[Configuration]\r\nHostAddress=0.0.0.0\r\n"
    assert machine.reg_value(RUN_KEY, "Tembrix") == f'"{INSTALL_DIR}\\Tembrix.exe"'

    # An address given at an upgrade is the administrator's new choice: it replaces the old one.
    assert machine.install(newer_msi, f"HOSTADDRESS={server.address}") == 0
    assert machine.settings() == f"[Configuration]\r\nHostAddress={server.address}\r\n".encode()

    assert machine.uninstall(newer_msi) == 0
    assert not machine.folder.exists()
    assert machine.reg_value(RUN_KEY, "Tembrix") is None
