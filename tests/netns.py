"""Network namespaces for tests: a PC of our own making, with adapters that carry chosen hardware
addresses in a chosen order, and nothing of it reachable from or leaking to the real network.

What Wine needs (measured): the adapter list comes from the namespace in which winedevice.exe
(the prefix's first client) started, and every socket of the prefix lives in the wineserver's
namespace; both must therefore start inside the test's namespace, after every interface exists,
because an interface added later is appended to Wine's cached list instead of taking its place.
The list is in interface-index order; lo is never listed; a tun device has no hardware address
and is listed with an all-zero one.

Everything is ended by name (ip netns del of our own namespaces) or by process id.
"""
from __future__ import annotations

import itertools
import os
import subprocess
from typing import Sequence

_serial = itertools.count(1)

# Interface indexes start behind lo's 1.
FIRST_INDEX = 2


def _ip(*args: str, check: bool = True) -> subprocess.CompletedProcess:
    result = subprocess.run(["ip", *args], stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    if check and result.returncode != 0:
        raise RuntimeError(f"ip {' '.join(args)} failed: {result.stderr.strip()}")
    return result


def mac_of(text: str) -> str:
    """"0A-1B-2C-3D-4E-5F" (the agent's form) as "0a:1b:2c:3d:4e:5f" (ip's form)."""
    return text.replace("-", ":").lower()


class Namespace:
    """One network namespace with lo up. Its name is unique to this process and this call."""

    def __init__(self, tag: str = "t"):
        self.name = f"tmbx-{os.getpid()}-{tag}{next(_serial)}"[:60]
        _ip("netns", "add", self.name)
        self.alive = True
        try:
            # Without lo up every request fails at once, whatever address it goes to.
            _ip("-n", self.name, "link", "set", "lo", "up")
        except Exception:
            self.delete()
            raise

    def add_adapters(self, addresses: Sequence[str | None]):
        """Interfaces in this order of the adapter list: a bridge carrying the hardware address for
        each text ("0A-1B-2C-3D-4E-5F"), a tun device (no hardware address) for None.

        Position i gets interface index FIRST_INDEX + i. The bridges are made last first, so
        the order proven is the index order and not the order of creation; tun devices cannot be
        given an index and take the lowest free one, which is then exactly theirs."""
        bridges = [(i, a) for i, a in enumerate(addresses) if a is not None]
        for i, address in reversed(bridges):
            self.add_bridge(f"b{i}", address, FIRST_INDEX + i)
        for i, address in enumerate(addresses):
            if address is None:
                _ip("-n", self.name, "tuntap", "add", "mode", "tun", "name", f"z{i}")
        listed = self.interfaces()
        expected = [f"b{i}" if a is not None else f"z{i}" for i, a in enumerate(addresses)]
        if [name for name in listed if name != "lo"] != expected:
            raise RuntimeError(f"namespace {self.name}: interfaces {listed}, wanted {expected}")

    def add_bridge(self, name: str, address: str, index: int | None = None):
        """One interface with that hardware address (at the lowest free index unless given)."""
        _ip("-n", self.name, "link", "add", name, *(["index", str(index)] if index else []), "type", "bridge")
        _ip("-n", self.name, "link", "set", name, "address", mac_of(address))

    def add_loopback_addresses(self, count: int):
        """More IPv4 addresses on lo (127.0.0.2 on): each one lengthens Wine's adapter list data."""
        for k in range(count):
            _ip("-n", self.name, "addr", "add", f"127.0.0.{k + 2}/8", "dev", "lo")

    def interfaces(self) -> list[str]:
        """Interface names in index order."""
        out = _ip("-n", self.name, "-o", "link", "show").stdout
        rows = []
        for line in out.splitlines():
            index, name = line.split(":")[:2]
            rows.append((int(index), name.strip().split("@")[0]))
        return [name for _, name in sorted(rows)]

    def argv(self, argv: list[str]) -> list[str]:
        return ["ip", "netns", "exec", self.name, *argv]

    def delete(self):
        if self.alive:
            _ip("netns", "del", self.name, check=False)
            self.alive = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.delete()


def leftover_namespaces() -> list[str]:
    """Namespaces this process made and has not deleted (for a teardown check)."""
    out = _ip("netns", "list", check=False).stdout
    mine = f"tmbx-{os.getpid()}-"
    return [line.split()[0] for line in out.splitlines() if line.startswith(mine)]
