"""The registration form and the admin page in a real browser (Debian's Chromium, headless)."""
from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "browser"))

from chromium import browse, missing  # noqa: E402

AGENT = "02-11-22-33-44-55"


@pytest.fixture(autouse=True)
def browser_installed():
    if missing():
        pytest.fail(f"the browser tests need {missing()}")


def test_registration_form_opened_as_the_agent_opens_it(mgmt):
    # The agent hands the browser its address as text: a blank escaped, Hangul as it is.
    address = f"http://{mgmt.address}/Tembrix/register_form.php?n=%EA%B0%9C%EB%B0%9C%20PC&m={AGENT}"
    seen = browse("register", address)
    assert (seen["n"], seen["m"]) == ("개발 PC", AGENT)
    assert seen["charset"] == "EUC-KR" and seen["done"]
    assert mgmt.terminal(AGENT)["registered"] and mgmt.terminal(AGENT)["node_name"] == "개발 PC"

    # Opened again, the user types a new Korean name: the form posts it in code page 949.
    seen = browse("register", f"http://{mgmt.address}/Tembrix/register_form.php?n=&m={AGENT}", "회계팀 노트북")
    assert seen["n"] == "개발 PC"
    assert mgmt.terminal(AGENT)["node_name"] == "회계팀 노트북"


def test_registration_form_refuses_a_name_the_agent_could_not_use(mgmt):
    seen = browse("register", f"http://{mgmt.address}/Tembrix/register_form.php?n=&m={AGENT}", "R&D")
    assert seen["done"] is None and "bad request" in seen["title"]
    assert mgmt.terminal(AGENT) is None


def test_admin_page_switch_flips_the_permission_both_ways(mgmt):
    locked = "00-1A-2B-3C-4D-5F"
    admin = f"http://{mgmt.address}/admin"
    flipped = browse("switch", admin, locked)
    assert (flipped["before"], flipped["after"]) == ("false", "true")
    assert flipped["url"].endswith("/admin") and mgmt.terminal(locked)["granted"]
    flipped = browse("switch", admin, locked)
    assert (flipped["before"], flipped["after"]) == ("true", "false")
    assert not mgmt.terminal(locked)["granted"]
