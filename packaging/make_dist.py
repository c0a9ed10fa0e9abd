#!/usr/bin/python3
"""Builds what an administrator downloads: the exe, its MSI, a zip of the exe and SHA-256 sums.

    make_dist.py --exe build/win32/Tembrix.exe --version 1.2.3 --out dist

The version comes from CMakeLists.txt's project(VERSION) (the `dist` target passes it); it also
names the files. wixl builds the database from packaging/tembrix.wxs; msibuild then adds what wixl
cannot express: the settings file's IniFile row and permissions, component attributes and
conditions, and the sequence changes they need.
"""
from __future__ import annotations

import argparse
import hashlib
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path
from xml.etree import ElementTree

HERE = Path(__file__).resolve().parent
WXS = HERE / "tembrix.wxs"

# What a fresh install holds before anything is written to it; the same as a missing file.
DEFAULT_SETTINGS = b"[Configuration]\r\nHostAddress=0.0.0.0\r\n"

# Built-in Users may read and write the settings file (FILE_GENERIC_READ | FILE_GENERIC_WRITE, no
# delete, no change of permissions): the agent rewrites it at every shutdown and from its settings
# dialog while running as a standard user. The folder and the exe keep the inherited Program
# Files permissions, so a standard user can replace neither. SYSTEM and Administrators keep full
# control. SDDL instead of LockPermissions user names, which are localized on Korean Windows.
SETTINGS_SDDL = "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;BU)"

NEVER_OVERWRITE = 128  # msidbComponentAttributesNeverOverwrite

# A name that is not 8.3 is written "short|long" in the installer's Filename columns; a bare
# long name would be read as a (malformed) short one. wixl writes bare names.
SETTINGS_FILENAME = "TMBXCO~1.INI|tmbxconfig.ini"

# IDT files: a header of column names, a line of column types, a line naming table and keys.
INIFILE_IDT = (
    "IniFile\tFileName\tDirProperty\tSection\tKey\tValue\tAction\tComponent_\r\n"
    "s72\tl255\tS72\tl96\tl128\tl255\ti2\ts72\r\n"
    "IniFile\tIniFile\r\n"
    # Action 0 (add line) replaces whatever the file holds: the address given now wins.
    f"CommandLineHostAddress\t{SETTINGS_FILENAME}\tINSTALLDIR\tConfiguration\tHostAddress\t[HOSTADDRESS]\t0"
    "\tCommandLineAddress\r\n"
)
LOCKPERMISSIONS_IDT = (
    "MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition\r\n"
    "s72\ts72\ts32\ts0\tS255\r\n"
    "MsiLockPermissionsEx\tMsiLockPermissionsEx\r\n"
    f"SettingsFileAccess\tSettingsFile\tFile\t{SETTINGS_SDDL}\t\r\n"
)


def upgrade_code() -> str:
    product = ElementTree.parse(WXS).getroot().find("{http://schemas.microsoft.com/wix/2006/wi}Product")
    return product.get("UpgradeCode")


def sql_fixes(version: str) -> list[str]:
    four_part = ".".join((version.split(".") + ["0", "0", "0"])[:4])
    return [
        # The settings component: installed once, then the agent's own; never overwritten.
        f"UPDATE `Component` SET `Attributes` = {NEVER_OVERWRITE} WHERE `Component` = 'Settings'",
        # The address row only when an address was given, so an upgrade without one keeps the file.
        "UPDATE `Component` SET `Condition` = 'HOSTADDRESS' WHERE `Component` = 'CommandLineAddress'",
        f"UPDATE `File` SET `FileName` = '{SETTINGS_FILENAME}' WHERE `File` = 'SettingsFile'",
        # The exe is versioned (its VERSIONINFO comes from the same project version); a versioned
        # file carries no hash.
        f"UPDATE `File` SET `Version` = '{four_part}', `Language` = '1042' WHERE `File` = 'TembrixExe'",
        "DELETE FROM `MsiFileHash` WHERE `File_` = 'TembrixExe'",
        # A public property passed to the elevated part of a managed install must be secure.
        "UPDATE `Property` SET `Value` = 'HOSTADDRESS;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' "
        "WHERE `Property` = 'SecureCustomProperties'",
        # A rebuild of the same version (a new product code) replaces the installed one instead of
        # landing beside it: the upgrade row takes its maximum version inclusively
        # (msidbUpgradeAttributesMigrateFeatures | msidbUpgradeAttributesVersionMaxInclusive).
        # Attributes belong to the table's key, so the row is replaced rather than updated.
        "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",
        "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) "
        f"VALUES ('{{{upgrade_code()}}}', '{version}', 513, 'WIX_UPGRADE_DETECTED')",
        # The old product goes after the new one's files and components are in place: shared
        # components (the settings file above all) then still have a client and are left alone.
        # Before RegisterProduct and PublishProduct, though: Wine's removal of the old product
        # deletes the whole UpgradeCode registration (not just its own entry), which would hide
        # the new product from the next upgrade had it been registered already.
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('InstallExecute', 5900)",
        "UPDATE `InstallExecuteSequence` SET `Sequence` = 5910 WHERE `Action` = 'RemoveExistingProducts'",
        # Writing the address; no RemoveIniValues: the file goes as a whole with its component, and
        # removing the key while an upgrade takes the old product away would lose the address.
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteIniValues', 5100)",
    ]


def run(argv: list[str], cwd: Path | None = None):
    result = subprocess.run(argv, capture_output=True, text=True, cwd=cwd)
    # wixl and msibuild print GLib warnings for things they ignore; those are fatal here.
    noise = [l for l in (result.stderr or "").splitlines() if l.strip()]
    if result.returncode != 0 or any(w in l for l in noise for w in ("WARNING", "CRITICAL", "ERROR")):
        sys.exit(f"{argv[0]} failed ({result.returncode}):\n{result.stderr}")


def build_msi(exe: Path, version: str, msi: Path):
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        (tmp / "tmbxconfig.ini").write_bytes(DEFAULT_SETTINGS)
        shutil.copyfile(exe, tmp / "Tembrix.exe")
        # wixl finds sources only by names relative to the folder it runs in.
        run(["wixl", "--arch", "x86", "-D", f"Version={version}", "-D", "ExePath=Tembrix.exe",
             "-D", "SettingsPath=tmbxconfig.ini", "-o", str(msi.resolve()), str(WXS)], cwd=tmp)
        (tmp / "IniFile.idt").write_text(INIFILE_IDT, newline="")
        (tmp / "MsiLockPermissionsEx.idt").write_text(LOCKPERMISSIONS_IDT, newline="")
        argv = ["msibuild", str(msi), "-i", str(tmp / "IniFile.idt"), "-i", str(tmp / "MsiLockPermissionsEx.idt")]
        for query in sql_fixes(version):
            argv += ["-q", query]
        run(argv)


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def make_dist(exe: Path, version: str, out: Path) -> dict[str, Path]:
    for tool in ("wixl", "msibuild"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing: tools/install-deps.sh installs it (Debian packages wixl, msitools)")
    if not re.fullmatch(r"\d+\.\d+\.\d+", version):
        sys.exit(f"version {version!r} is not MAJOR.MINOR.PATCH")
    out.mkdir(parents=True, exist_ok=True)
    files = {
        "exe": out / "Tembrix.exe",
        "msi": out / f"Tembrix-{version}.msi",
        "zip": out / f"Tembrix-{version}.zip",
    }
    shutil.copyfile(exe, files["exe"])
    build_msi(exe, version, files["msi"])
    with zipfile.ZipFile(files["zip"], "w", zipfile.ZIP_DEFLATED) as z:
        z.write(files["exe"], "Tembrix.exe")
    sums = out / "SHA256SUMS"
    # The format of sha256sum, so that `sha256sum -c SHA256SUMS` checks them.
    sums.write_text("".join(f"{sha256(p)}  {p.name}\n" for p in files.values()))
    files["sums"] = sums
    return files


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", type=Path, required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--out", type=Path, required=True)
    args = parser.parse_args()
    for path in make_dist(args.exe, args.version, args.out).values():
        print(path)


if __name__ == "__main__":
    main()
