#!/usr/bin/python3
"""Builds what an administrator downloads: the exe, its debug information, its MSI, the Group Policy
templates, a zip of the exe and the templates, and SHA-256 sums.

    make_dist.py --exe build/win32/Tembrix.exe --version 1.2.3 --out dist

The version comes from CMakeLists.txt's project(VERSION) (the `dist` target passes it); it also
names the files. The shipped exe is the built one without its debug sections, which go beside it
as Tembrix.exe.debug. wixl builds the database from packaging/tembrix.wxs; msibuild then adds what
wixl cannot express: the settings file's IniFile row and permissions, component attributes and
conditions, the sequence changes they need, and the event source's expandable value. The templates
(packaging/policy/) are copied as they are, in the layout of a PolicyDefinitions folder.

With TEMBRIX_SIGN_PFX naming a PKCS#12 file (TEMBRIX_SIGN_PASSWORD its password, if any;
TEMBRIX_SIGN_TIMESTAMP_URL an RFC 3161 time-stamp server, optional), the exe and the MSI are
signed with Authenticode; without it they are not, and one line says so.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path
from typing import Callable
from xml.etree import ElementTree

HERE = Path(__file__).resolve().parent
WXS = HERE / "tembrix.wxs"
POLICY = HERE / "policy"
# The ADMX and one ADML per language, as a PolicyDefinitions folder (or Intune's import) takes them.
POLICY_FILES = ("Tembrix.admx", "en-US/Tembrix.adml", "ko-KR/Tembrix.adml")
PRODUCT_NAME = "Tembrix USB Lock Tool"
# The cross toolchain's binutils (cmake/mingw-i686.cmake): they know the exe's PE format.
OBJCOPY = "i686-w64-mingw32-objcopy"

# What a fresh install holds before anything is written to it; the same as a missing file.
DEFAULT_SETTINGS = b"[Configuration]\r\nHostAddress=0.0.0.0\r\n"

# By default built-in Users may read and write the settings file (FILE_GENERIC_READ |
# FILE_GENERIC_WRITE, no delete, no change of permissions): the agent rewrites it at every shutdown
# and from its settings dialog while running as a standard user. With LOCKHOSTADDRESS=1 they may
# only read it (FILE_GENERIC_READ), so the address stays the one the administrator gave. The folder
# and the exe keep the inherited Program Files permissions, so a standard user can replace neither.
# SYSTEM and Administrators keep full control: the installer, which writes HOSTADDRESS as SYSTEM,
# can always rewrite the file. SDDL instead of LockPermissions user names, which are localized on
# Korean Windows.
SETTINGS_SDDL = "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;BU)"
LOCKED_SETTINGS_SDDL = "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x120089;;;BU)"
LOCKED = 'LOCKHOSTADDRESS = "1"'

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
    f"SettingsFileAccess\tSettingsFile\tFile\t{SETTINGS_SDDL}\tNOT ({LOCKED})\r\n"
    f"LockedSettingsFileAccess\tSettingsFile\tFile\t{LOCKED_SETTINGS_SDDL}\t{LOCKED}\r\n"
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
        # The event source names its message file as REG_EXPAND_SZ, which the installer writes for
        # a value that begins "#%"; wixl writes every string value as plain text.
        "UPDATE `Registry` SET `Value` = '#%[#TembrixExe]' WHERE `Name` = 'EventMessageFile'",
        # A public property passed to the elevated part of a managed install must be secure.
        "UPDATE `Property` SET `Value` = 'HOSTADDRESS;LOCKHOSTADDRESS;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' "
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


def require(tool: str, package: str):
    if not shutil.which(tool):
        sys.exit(f"{tool} is missing: tools/install-deps.sh installs it (Debian package {package})")


def strip_debug(built: Path, exe: Path, debug: Path):
    """The exe without its debug sections (three quarters of its size); they are kept in `debug`,
    which the exe names, with its checksum, in .gnu_debuglink for debuggers."""
    run([OBJCOPY, "--only-keep-debug", str(built), str(debug)])
    run([OBJCOPY, "--strip-all", f"--add-gnu-debuglink={debug}", str(built), str(exe)])


def signer() -> Callable[[Path], None]:
    """What signs a file in place with the certificate the environment names; without one, what
    leaves it as it is."""
    pfx = os.environ.get("TEMBRIX_SIGN_PFX")
    if not pfx:
        print("make_dist: TEMBRIX_SIGN_PFX is not set: Tembrix.exe and the MSI are not signed", file=sys.stderr)
        return lambda path: None
    require("osslsigncode", "osslsigncode")
    if not Path(pfx).is_file():
        sys.exit(f"TEMBRIX_SIGN_PFX={pfx} is not a file")
    password = os.environ.get("TEMBRIX_SIGN_PASSWORD", "")
    timestamp_url = os.environ.get("TEMBRIX_SIGN_TIMESTAMP_URL")

    def sign(path: Path):
        with tempfile.TemporaryDirectory() as tmp:
            signed = Path(tmp) / path.name
            argv = ["osslsigncode", "sign", "-pkcs12", pfx, "-h", "sha256", "-n", PRODUCT_NAME]
            if password:  # from a file of our own rather than the command line, which others can read
                (Path(tmp) / "password").write_text(password)
                argv += ["-readpass", str(Path(tmp) / "password")]
            if timestamp_url:
                argv += ["-ts", timestamp_url]
            run(argv + ["-in", str(path), "-out", str(signed)])
            shutil.copyfile(signed, path)
    return sign


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def make_dist(built: Path, version: str, out: Path) -> dict[str, Path]:
    for tool, package in (("wixl", "wixl"), ("msibuild", "msitools"), (OBJCOPY, "binutils-mingw-w64-i686")):
        require(tool, package)
    if not re.fullmatch(r"\d+\.\d+\.\d+", version):
        sys.exit(f"version {version!r} is not MAJOR.MINOR.PATCH")
    out.mkdir(parents=True, exist_ok=True)
    files = {
        "exe": out / "Tembrix.exe",
        "debug": out / "Tembrix.exe.debug",
        "msi": out / f"Tembrix-{version}.msi",
        "zip": out / f"Tembrix-{version}.zip",
    }
    policy = {f"policy:{name}": out / "policy" / name for name in POLICY_FILES}
    sign = signer()
    # Signing comes last for each file: any later change to it would break the signature.
    strip_debug(built, files["exe"], files["debug"])
    sign(files["exe"])
    build_msi(files["exe"], version, files["msi"])
    sign(files["msi"])
    for name, path in zip(POLICY_FILES, policy.values()):
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(POLICY / name, path)
    files |= policy
    with zipfile.ZipFile(files["zip"], "w", zipfile.ZIP_DEFLATED) as z:
        z.write(files["exe"], "Tembrix.exe")
        for path in policy.values():
            z.write(path, path.relative_to(out).as_posix())
    sums = out / "SHA256SUMS"
    # The format of sha256sum, with names relative to `out`, so that `sha256sum -c SHA256SUMS`
    # run there checks them.
    sums.write_text("".join(f"{sha256(p)}  {p.relative_to(out).as_posix()}\n" for p in files.values()))
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
