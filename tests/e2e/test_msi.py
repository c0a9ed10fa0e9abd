"""The MSI package: what `make dist` produces, and a silent install, upgrade and removal under Wine
with the installed agent polling the server it was given.

The installs change the prefix, so these tests have a prefix of their own. It is recreated when an
earlier run was interrupted with something still installed."""
from __future__ import annotations

import hashlib
import shutil
import struct
import subprocess
import zipfile
from pathlib import Path

import pytest

from harness import FakeServer
from winenv import E2E_PREFIX_DIR, ROOT, WM_CLOSE, WM_COMMAND, WinePrefix, wait_for

BUILD = ROOT / "build" / "win32"
DIST = ROOT / "dist"
MAKE_DIST = ROOT / "packaging" / "make_dist.py"
PREFIX_DIR = Path(str(E2E_PREFIX_DIR) + "-msi")
DIRTY = PREFIX_DIR.parent / (PREFIX_DIR.name + ".installed")

INSTALL_DIR = r"C:\Program Files\Tembrix"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ERROR_INSTALL_FAILURE = 1603
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

    def reg_key_exists(self, key: str) -> bool:
        return self.prefix.run(["wine", "reg", "query", key], check=False).returncode == 0

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
        """A new session: Wine's start-up runs the machine's Run entries, as a Windows logon does."""
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
    files = {r["File"]: r["FileName"].split("|")[-1] for r in msi_table(dist["msi"], "File")}
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


def test_install_run_upgrade_keeping_settings_and_remove(machine, dist, newer_msi, newest_msi, servers):
    first, second = servers(), servers()
    old, new = dist["msi"], newer_msi

    assert machine.install(old, f"HOSTADDRESS={first.address}") == 0
    assert sorted(p.name for p in machine.folder.iterdir()) == ["Tembrix.exe", "tmbxconfig.ini"]
    assert (machine.folder / "Tembrix.exe").read_bytes() == dist["exe"].read_bytes()
    assert machine.settings() == f"[Configuration]\r\nHostAddress={first.address}\r\n".encode()
    assert machine.registered_version(old) == dist["version"]
    assert machine.reg_value(RUN_KEY, "Tembrix") == f'"{INSTALL_DIR}\\Tembrix.exe"'

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
    assert machine.reg_value(RUN_KEY, "Tembrix") == f'"{INSTALL_DIR}\\Tembrix.exe"'
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
    assert machine.registered_version(new) is None, "a second upgrade left the first one registered"
    assert machine.registered_version(newest_msi) == bumped(dist["version"], 2)
    assert machine.settings() == changed

    assert machine.installer_traces(newest_msi), "the installer's own records were not found"
    assert machine.uninstall(newest_msi) == 0
    assert not machine.folder.exists()
    assert machine.reg_value(RUN_KEY, "Tembrix") is None
    for msi in (old, new, newest_msi):
        assert machine.registered_version(msi) is None, msi.name
    assert machine.installer_traces(newest_msi) == []


def test_without_address_the_default_then_an_upgrade_with_one_writes_it(machine, dist, newer_msi, servers,
                                                                       tmp_path):
    server = servers()
    assert machine.install(dist["msi"]) == 0
    assert machine.settings() == b"[Configuration]\r\nHostAddress=0.0.0.0\r\n"
    assert machine.reg_value(RUN_KEY, "Tembrix") == f'"{INSTALL_DIR}\\Tembrix.exe"'

    # The same version built again has a product code of its own: it replaces, never doubles.
    rebuilt = package_as(dist, 0, tmp_path)
    assert msi_property(rebuilt, "ProductCode") != msi_property(dist["msi"], "ProductCode")
    assert machine.install(rebuilt) == 0
    assert machine.registered_version(dist["msi"]) is None, "two products of one version installed"
    assert machine.registered_version(rebuilt) == dist["version"]

    # An address given at an upgrade is the administrator's new choice: it replaces the old one.
    assert machine.install(newer_msi, f"HOSTADDRESS={server.address}") == 0
    assert machine.settings() == f"[Configuration]\r\nHostAddress={server.address}\r\n".encode()

    assert machine.uninstall(newer_msi) == 0
    assert not machine.folder.exists()
    assert machine.reg_value(RUN_KEY, "Tembrix") is None
