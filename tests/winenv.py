"""Wine under Xvfb for the agent's tests: a virtual display, a prepared prefix in a Korean locale
(ANSI code page 949), and the agent and the tools run inside it.

The machine's shape decides what runs (tools/shape.sh finds it): where 32-bit x86 code runs, the
shipped 32-bit exe in 32-bit prefixes, and under WoW64 in a 64-bit prefix when a test asks for one;
where it cannot, the x86-64 twin of the same sources in 64-bit prefixes only.

Everything started here is ended by its own process id or by `wineserver -k` of its own prefix,
never by a name-wide kill.
"""
from __future__ import annotations

import contextlib
import json
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def machine_shape() -> tuple[str, str]:
    """("win32" or "win64", why), from the one probe the build and the package install use too."""
    result = subprocess.run([str(ROOT / "tools" / "shape.sh"), "--why"], capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(result.stderr.strip())
    shape, why = result.stdout.strip().split(": ", 1)
    return shape, why


SHAPE, SHAPE_WHY = machine_shape()
# What ships, checked by everything that reads it rather than runs it.
SHIPPED_EXE = ROOT / "build" / "win32" / "Tembrix.exe"
# What runs here: the shipped build, or its x86-64 twin.
BUILD = ROOT / "build" / SHAPE
AGENT_EXE = BUILD / "Tembrix.exe"
# What users and administrators run beside the agent (the pipe monitor), what only the tests drive
# (the UI driver and its hook, the URL recorder, the pipe holder, the root-store tool), and
# `make bench`'s programs: all of them go to one folder of every prefix.
TOOLS = BUILD / "tools"
DRIVERS = BUILD / "tests" / "drivers"
BENCH = BUILD / "bench"
TWIN = "the x86-64 twin" if SHAPE == "win64" else "the shipped 32-bit exe"
# Debian's wine wrapper picks the 32-bit loader whenever wine32 is installed: a 64-bit prefix calls
# the 64-bit loader by its path.
WINE64 = {"wine": ["/usr/lib/wine/wine64"], "wineboot": ["/usr/lib/wine/wine64", "wineboot"],
          "wineserver": ["/usr/lib/wine/wineserver"]}


# Lines for the end of a test run: what a shape changed in how a case ran.
NOTES: set[str] = set()


def windows_for(asked: str) -> str:
    """The Windows a prefix gets: the one asked for, but never 32-bit where 32-bit code cannot run."""
    return "win64" if SHAPE == "win64" else asked


def says_what_runs(what: str) -> str:
    """One line: which exe `what` runs, and why that one."""
    return f"{what} {AGENT_EXE.relative_to(ROOT)}, {TWIN}: {SHAPE_WHY}"


# The end-to-end tests' prefix; overridable so that two test runs on one machine never share a
# wineserver. Namespace tests and other prefixes of a run are named after it.
E2E_PREFIX_DIR = Path(os.environ.get("TEMBRIX_WINE_PREFIX", ROOT / "build" / "wine" / "e2e"))
# Where the tools live inside every prefix: C:\tembrix-tools
TOOLS_DIR_IN_PREFIX = "drive_c/tembrix-tools"


def wait_for(predicate, timeout: float, step: float = 0.05, what: str = "condition"):
    """Polls until predicate() is truthy; returns its value, or raises TimeoutError."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(step)


def end_process(process: subprocess.Popen, grace: float = 5):
    """Ends one process that this run started: politely, then for sure."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Display:
    """A private Xvfb server; its number is chosen by Xvfb itself."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            self.process.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = f":{number}"

    def close(self):
        end_process(self.process)


def ensure_user(name: str) -> str:
    """An unprivileged system user without a login, made if missing (useradd refuses a second
    one) and left in place afterwards: another test run may be using it."""
    subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name],
                   stdin=subprocess.DEVNULL, capture_output=True)
    return name


class WinePrefix:
    """A prefix of the machine's shape (a test may ask for a 64-bit one where 32-bit code runs) with
    a persistent wineserver, optionally inside a network namespace, and optionally owned by an
    unprivileged user who then runs every Wine process of it: Wine enforces file permissions only
    for such a user (root writes anything)."""

    def __init__(self, path: Path, display: Display, netns: str | None = None, user: str | None = None,
                 arch: str = SHAPE):
        self.path = Path(path)
        self.display = display
        self.netns = netns
        self.user = user
        self.arch = windows_for(arch)
        self.env = dict(os.environ)
        for key in ("WINELOADER", "WINESERVER"):
            self.env.pop(key, None)
        self.env.update({
            "WINEPREFIX": str(self.path), "WINEARCH": self.arch, "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=", "DISPLAY": display.name,
            "LANG": "ko_KR.UTF-8", "LC_ALL": "ko_KR.UTF-8",
        })
        self.started = False

    # -- commands ---------------------------------------------------------------------------
    def _as_user(self, argv: list[str]) -> list[str]:
        if self.arch == "win64" and argv[0] in WINE64:
            argv = WINE64[argv[0]] + argv[1:]
        if self.user is None:
            return argv
        # runuser ends its command when it is ended itself: ending the started process ends both.
        return ["runuser", "-u", self.user, "--", "env", f"HOME={self.path}", *argv]

    def _argv(self, argv: list[str]) -> list[str]:
        return (["ip", "netns", "exec", self.netns] if self.netns else []) + self._as_user(argv)

    def run(self, argv: list[str], timeout: float = 120, check: bool = True, **kw) -> subprocess.CompletedProcess:
        """Runs a Wine program to its end. Its output is captured in files, not pipes: a program
        that needs the desktop when none is up starts explorer.exe, which inherits its standard
        error and keeps it open until the desktop's last program ends, so a pipe's end would come
        long after the program's."""
        kw.setdefault("stdin", subprocess.DEVNULL)
        if not kw.pop("capture_output", True):
            result = subprocess.run(self._argv(argv), env=self.env, timeout=timeout, **kw)
        else:
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                done = subprocess.run(self._argv(argv), env=self.env, timeout=timeout, stdout=out, stderr=err, **kw)
                out.seek(0)
                err.seek(0)
                result = subprocess.CompletedProcess(done.args, done.returncode, out.read(), err.read())
        if check and result.returncode != 0:
            raise RuntimeError(f"{argv} failed ({result.returncode}): {result.stderr[-2000:]!r}")
        return result

    def popen(self, argv: list[str], env: dict | None = None, **kw) -> subprocess.Popen:
        kw.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.Popen(self._argv(argv), env=self.env | (env or {}), **kw)

    def windows_path(self, path: Path) -> str:
        """The Windows name of a file inside drive_c, or of any host file through Z:."""
        path = Path(path).resolve()
        drive_c = (self.path / "drive_c").resolve()
        if drive_c in path.parents or path == drive_c:
            return "C:\\" + str(path.relative_to(drive_c)).replace("/", "\\")
        return "Z:" + str(path).replace("/", "\\")

    # -- life cycle -------------------------------------------------------------------------
    def prepare(self):
        """Creates the prefix if it is not there yet and installs the test tools into it."""
        marker = self.path / ".tembrix-ready"
        if not marker.exists() or marker.read_text() != self.arch + "\n":
            if self.path.exists():
                shutil.rmtree(self.path)
            self.path.mkdir(parents=True)
            self._give_to_user(self.path)
            self.run(["wineboot", "-i"], timeout=300)
            # Without a window manager, managed windows stall on every hide and lose their captions.
            self.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                      "/t", "REG_SZ", "/d", "N", "/f"])
            self.run(["wine", "reg", "add", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes",
                      "/v", "MS Shell Dlg", "/t", "REG_SZ", "/d", "NanumGothic", "/f"])
            # http addresses go to the recorder, never to a real browser.
            command = r'"C:\tembrix-tools\urlrecorder.exe" "%1"'
            for scheme in ("http", "https"):
                self.run(["wine", "reg", "add", rf"HKCR\{scheme}\shell\open\command", "/ve",
                          "/t", "REG_SZ", "/d", command, "/f"])
            self.run(["wineserver", "-w"], timeout=120, check=False, capture_output=False,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            marker.write_text(self.arch + "\n")
        self.install_tools()

    def install_tools(self):
        target = self.path / TOOLS_DIR_IN_PREFIX
        target.mkdir(parents=True, exist_ok=True)
        self._give_to_user(target)  # the URL recorder writes its list there
        for folder in (TOOLS, DRIVERS, BENCH):
            for exe in [*folder.glob("*.exe"), *folder.glob("*.dll")]:
                shutil.copy2(exe, target / exe.name)

    def _give_to_user(self, path: Path):
        if self.user is not None:
            shutil.chown(path, self.user, pwd.getpwnam(self.user).pw_gid)

    def start(self):
        """A persistent wineserver and the prefix's services, started outside any test's pipes."""
        self.kill()
        # The server and the services outlive these commands: they must not hold our pipes.
        quiet = dict(capture_output=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.run(["wineserver", "-p"], timeout=60, **quiet)
        self.run(["wineboot"], timeout=120, **quiet)
        self.started = True

    def set_dpi(self, dpi: int):
        """The prefix's DPI, as the display settings of Windows set it: every Wine process reads it
        when it starts, so the prefix starts again (explorer's notification area included)."""
        self.run(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                  "/d", str(dpi), "/f"])
        self.start()

    def kill(self):
        for argv in (["wineserver", "-k"], ["wineserver", "-w"]):
            subprocess.run(self._as_user(argv), env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        self.started = False

    # -- tools ------------------------------------------------------------------------------
    def tool(self, name: str) -> str:
        return rf"C:\tembrix-tools\{name}.exe"

    def driver(self, *args, timeout: float = 0) -> dict:
        """Runs the UI driver and returns its JSON answer. The driver answers within its command's
        bound; this waits clearly longer (or `timeout`, if that is longer still), so that what a
        test sees is the driver's own answer, a failure included.

        Once in a full run of the 64-bit shape, a driver ended with exit code 1 and not a byte on
        either stream (its every path prints a line first). A command that only looks is asked
        once more then, and the run's summary says so; one that acts is never repeated."""
        bound = driver_bound(*map(str, args))
        for attempt in (1, 2):
            started = time.monotonic()
            result = self.run(["wine", self.tool("uidriver"), *map(str, args)], timeout=max(timeout, bound + 30),
                              check=False)
            lines = [l for l in result.stdout.decode("utf-8", "replace").splitlines() if l.startswith("{")]
            if lines:
                return json.loads(lines[-1])
            said = (f"uidriver {args[0]}: no answer (exit {result.returncode} after "
                    f"{time.monotonic() - started:.1f} s); stderr {result.stderr[-1000:]!r}")
            if attempt == 2 or str(args[0]) not in DRIVER_QUERIES:
                raise RuntimeError(said)
            NOTES.add(said + "; asked again")

    def log_file(self) -> Path:
        """The agent's log of the user who runs this prefix's programs: Wine names the profile
        folder after the Unix user."""
        user = self.user or pwd.getpwuid(os.geteuid()).pw_name
        return self.path / "drive_c" / "users" / user / "AppData" / "Local" / "Tembrix" / "Tembrix.log"

    def recorded_urls(self) -> list[str]:
        path = self.path / TOOLS_DIR_IN_PREFIX / "urls.txt"
        if not path.exists():
            return []
        return path.read_bytes().decode("cp949", "replace").splitlines()

    def clear_recorded_urls(self):
        (self.path / TOOLS_DIR_IN_PREFIX / "urls.txt").unlink(missing_ok=True)


# Where the UI driver's commands take their time-out in ms (the index after the command's name);
# the others are bounded at 10 s (tests/drivers/uidriver.cpp's command table).
DRIVER_BOUND_AT = {"wait-popup": 0, "dismiss": 0, "wait-popup-gone": 0, "hold": 0, "wait-tray-icon": 1,
                   "wait-balloon": 0, "wait-balloon-gone": 0, "hover-icon": 0, "watch-tray": 0,
                   "choose": 1, "wait-window": 1, "wait-gone": 1, "wait-dialog-gone": 1, "wait-dialog": 1,
                   "message-box": 1}


# The driver's commands that change nothing: asking one again is safe.
DRIVER_QUERIES = {"wait-window", "wait-gone", "wait-popup", "wait-popup-gone", "tray-icons", "wait-tray-icon",
                  "wait-dialog", "message-box", "dialog-units", "wait-dialog-gone", "dialogs", "get-text", "wait-balloon",
                  "wait-balloon-gone"}


def driver_bound(command: str, *args: str) -> float:
    """The seconds within which the driver answers `command` with these arguments."""
    at = DRIVER_BOUND_AT.get(command)
    if at is None or len(args) <= at:
        return 10
    try:
        return max(int(args[at], 0), 0) / 1000
    except ValueError:
        return 0


@contextlib.contextmanager
def wine_session(prefix_dir: Path):
    """A private display and a prepared prefix with its wineserver running, for one block; both
    end with it, whatever happens inside."""
    display = Display()
    prefix = WinePrefix(prefix_dir, display)
    try:
        prefix.prepare()
        prefix.start()
        yield prefix
    finally:
        prefix.kill()
        display.close()


WM_CLOSE = 0x0010
WM_COMMAND = 0x0111
WM_TRAY_NOTIFY = 0x0400 + 2


class Agent:
    """One run of the real Tembrix.exe, from its own folder, with its standard output captured."""

    def __init__(self, prefix: WinePrefix, folder: Path, host_address: str | None = None,
                 exe_name: str = "Tembrix.exe", settings_text: bytes | None = None):
        self.prefix = prefix
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.exe = self.folder / exe_name
        shutil.copy2(AGENT_EXE, self.exe)
        self.settings = self.folder / "tmbxconfig.ini"
        if settings_text is not None:
            self.settings.write_bytes(settings_text)
        elif host_address is not None:
            self.settings.write_bytes(f"[Configuration]\r\nHostAddress={host_address}\r\n".encode("cp949"))
        self.stdout_path = self.folder / "stdout.txt"
        self.stderr_path = self.folder / "stderr.txt"
        self.process: subprocess.Popen | None = None

    def start(self, winedebug: str | None = None, env: dict | None = None):
        """Starts the agent, with `env` added to the prefix's environment; with `winedebug`, under
        that WINEDEBUG and with its standard error kept. The log is read from where it stands now:
        agents of one prefix share it."""
        log = self.prefix.log_file()
        self.log_mark = log.stat().st_size if log.is_file() else 0
        self._stdout = open(self.stdout_path, "wb")
        self._stderr = open(self.stderr_path, "wb") if winedebug else None
        env = (env or {}) | ({"WINEDEBUG": winedebug} if winedebug else {})
        self.process = self.prefix.popen(["wine", self.prefix.windows_path(self.exe)], env=env,
                                         stdout=self._stdout, stderr=self._stderr or subprocess.DEVNULL)
        return self

    def wait_window(self, timeout: float = 60) -> dict:
        answer = self.prefix.driver("wait-window", "TEMBRIX", int(timeout * 1000), timeout=timeout + 30)
        if "error" in answer:
            raise TimeoutError(f"no TEMBRIX window: {answer}")
        return answer

    def post(self, message: int, wparam: int = 0, lparam: int = 0) -> dict:
        return self.prefix.driver("post", "TEMBRIX", message, wparam, lparam)

    def close(self, timeout: float = 60) -> int:
        self.post(WM_CLOSE)
        return self.wait_exit(timeout)

    def wait_exit(self, timeout: float = 60) -> int:
        assert self.process is not None
        try:
            return self.process.wait(timeout)
        finally:
            self._close_outputs()

    def _close_outputs(self):
        for output in (getattr(self, "_stdout", None), getattr(self, "_stderr", None)):
            if output is not None and not output.closed:
                output.close()

    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def output(self) -> str:
        return self.stdout_path.read_bytes().decode("cp949", "replace")

    def stderr(self) -> str:
        return self.stderr_path.read_bytes().decode("utf-8", "replace")

    def log_bytes(self) -> bytes:
        """What the log gained since this agent started, whole lines only; across a rotation, the
        rest of the old file, then the new one."""
        log = self.prefix.log_file()
        current = log.read_bytes() if log.is_file() else b""
        if len(current) >= self.log_mark:
            gained = current[self.log_mark:]
        else:
            old = log.with_name(log.name + ".1")
            gained = (old.read_bytes()[self.log_mark:] if old.is_file() else b"") + current
        return gained[:gained.rfind(b"\r\n") + 2] if b"\r\n" in gained else b""

    def log_lines(self) -> list[str]:
        return [line.lstrip("\ufeff") for line in self.log_bytes().decode("utf-8").split("\r\n") if line]

    def wait_log(self, event: str, count: int = 1, timeout: float = 60) -> list[str]:
        """The agent's log lines of one event, once there are `count` of them."""
        def found():
            lines = [l for l in self.log_lines() if l.split(" ")[2:3] == [event]]
            return lines if len(lines) >= count else None
        return wait_for(found, timeout, step=0.1, what=f"{count} log line(s) '{event}'")

    def settings_text(self) -> str:
        return self.settings.read_bytes().decode("cp949", "replace")

    def stop(self):
        """Ends a run that a test left behind (the prefix's kill would end it too)."""
        if self.process is not None:
            end_process(self.process, 10)
        self._close_outputs()


if __name__ == "__main__":
    # make test's first and last lines
    print(says_what_runs("Windows-layer and end-to-end tests " + (sys.argv[1] if len(sys.argv) > 1 else "run")))
