"""Start-up, the server address (the machine's policy, the settings file) and shutdown of the real
agent."""
from __future__ import annotations

from harness import STANDARD_ROUTES, log_event, next_loopback_address
from test_log import EVENT_LOG_DEBUG, reported_events
from traykit import (ES_READONLY, FRAME, LOCKED, MANAGED_TEXT, PERMISSION, SAVE_FAILED, SETTINGS, SETTINGS_EDIT,
                     TOO_LONG_TEXT, Tray, popup_texts)
from winenv import WM_COMMAND, wait_for

SETTINGS_CAPTION = "환경 설정"


def test_no_settings_file_runs_and_writes_the_default_back(isolated_pc):
    # 0.0.0.0 reaches this machine's own port 80: in a namespace of its own nothing answers there,
    # so the settings dialog comes up during start-up; cancel it.
    pc = isolated_pc(["02:00:00:00:00:01"], server_address=None)
    agent = pc.agent().start()
    prefix = pc.prefix
    assert prefix.driver("wait-dialog", SETTINGS_CAPTION, 60000).get("hwnd")
    prefix.driver("click", SETTINGS_CAPTION, 2)
    agent.wait_window()
    assert agent.close() == 0
    text = agent.settings_text()
    assert "[Configuration]" in text
    assert "HostAddress=0.0.0.0" in text


def test_addresses_of_60_and_255_characters_are_used_whole_and_a_longer_one_is_kept_unused(agents, servers, prefix):
    """Whole in the requests' paths, the port and the registration form's address, and written
    back whole; one character more is neither cut nor used, and stays in the file."""
    tray = Tray(prefix)
    for length in (60, 255):
        ip = next_loopback_address()
        front = f"http://{ip}:8080/"
        base = "b" * (length - len(front)) + "/"
        s = servers(address=ip, port=8080, routes={f"/{base}{path[1:]}": answer
                                                   for path, answer in STANDARD_ROUTES.items()})
        s.answer(f"/{base}Tembrix/register_check.php", "UNKNOWN")  # so that the form opens
        address = front + base[:-1]
        assert len(address) == length
        agent = agents(address).start()
        agent.wait_window()
        assert s.wait_requests(PERMISSION)[0]["path"] == f"/{base}Tembrix/permission_load.php"
        [form] = wait_for(prefix.recorded_urls, 60, what="the registration form")
        assert form.startswith(f"{address}/Tembrix/register_form.php?n=")
        assert agent.close() == 0
        assert f"HostAddress={address}\r\n" in agent.settings_text()
        prefix.clear_recorded_urls()

    longer = address + "c"
    asked = len(s.requests())
    agent = agents(longer).start()
    stored = agent.settings.read_bytes()
    # As for a server that does not answer: the dialog at start-up, showing what is stored, whole.
    tray.dialog(SETTINGS)
    assert tray.text(SETTINGS, SETTINGS_EDIT) == longer
    tray.d("click", SETTINGS, 1)
    box = tray.d("message-box", SAVE_FAILED, 60000)
    assert box["text"] == TOO_LONG_TEXT
    tray.d("click", SAVE_FAILED, 1)
    tray.gone(SAVE_FAILED)
    tray.d("click", SETTINGS, 2)
    tray.gone(SETTINGS)
    agent.wait_window()
    tray.icon_present()
    assert popup_texts(tray.status()) == [LOCKED, "서버에 연결할 수 없습니다 (address-too-long)"]
    assert agent.close() == 0
    assert agent.settings.read_bytes() == stored
    assert len(s.requests()) == asked and not prefix.recorded_urls()
    said = [(e, f) for _, _, e, f in map(log_event, agent.log_lines()) if e in ("settings", "register-form", "state")]
    assert said[0][1].pop("file").endswith("\\tmbxconfig.ini")
    assert said == [("settings", {"source": "file", "result": "too-long", "limit": "255"}),
                    ("state", {"pipe": "FALSE", "cause": "address-too-long"}),
                    ("settings", {"result": "too-long", "length": str(len(longer))}),
                    ("register-form", {"opened": "no", "reason": "address-too-long"})]


def test_settings_file_is_found_beside_the_exe_whatever_the_case(agents, server, tmp_path):
    folder = tmp_path / "Mixed Case Dir" / "Agent"
    agent = agents(server.address, folder=folder).start()
    info = agent.wait_window()
    assert info["title"] == "Tembrix"
    server.wait_requests("/Tembrix/permission_load.php")
    assert agent.close() == 0
    assert (folder / "tmbxconfig.ini").exists()
    assert not list(tmp_path.glob("mixed case dir"))  # no second, lower-case folder was made


def test_command_32774_ends_the_agent(agents, server):
    agent = agents(server.address).start()
    agent.wait_window()
    agent.post(WM_COMMAND, 32774, 0)
    assert agent.wait_exit(60) == 0
    assert f"HostAddress={server.address}" in agent.settings_text()


def settings_lines(agent) -> list[dict]:
    return [f for _, _, e, f in map(log_event, agent.log_lines()) if e == "settings"]


def test_the_machine_policy_wins_moves_the_next_poll_and_never_reaches_the_file(agents, server, servers, prefix,
                                                                                   policy):
    tray = Tray(prefix)
    first, second = servers(), servers()
    policy.set(f"http://{first.address}")
    policy.set(second.address, hive="HKCU")  # a user's own: never the agent's address
    agent = agents(server.address).start()
    agent.wait_window()
    tray.icon_present()
    before = (agent.settings.read_bytes(), agent.settings.stat().st_mtime_ns)
    [start] = agent.wait_log("start")
    assert {k: log_event(start)[3][k] for k in ("managed", "source", "host")} == \
        {"managed": "no", "source": "policy", "host": f"http://{first.address}"}
    first.wait_requests(PERMISSION)
    assert not server.requests() and not second.requests()

    # Shown, and not the user's to change: confirming changes nothing.
    tray.choose(32772)
    controls = {c["id"]: c for c in tray.dialog(SETTINGS)["controls"]}
    assert controls[SETTINGS_EDIT]["text"] == f"http://{first.address}"
    assert controls[SETTINGS_EDIT]["style"] & ES_READONLY and controls[FRAME]["text"] == MANAGED_TEXT
    tray.set_text(SETTINGS, SETTINGS_EDIT, server.address)
    tray.d("click", SETTINGS, 1)
    tray.gone(SETTINGS)

    # Changed, removed and set again while the agent runs: each time the next poll follows.
    for change, to in ((lambda: policy.set(second.address), second), (policy.remove, server),
                       (lambda: policy.set(first.address), first)):
        asked = len(to.requests(PERMISSION))
        change()
        to.wait_requests(PERMISSION, asked + 1)
    assert agent.close() == 0
    assert (agent.settings.read_bytes(), agent.settings.stat().st_mtime_ns) == before
    assert settings_lines(agent) == [
        {"result": "managed", "source": "policy", "address": f"http://{first.address}", "entry": server.address},
        {"source": "policy", "result": "applied", "old": f"http://{first.address}", "new": second.address},
        {"source": "file", "result": "policy-removed", "old": second.address, "new": server.address},
        {"source": "policy", "result": "applied", "old": server.address, "new": first.address}]


def test_a_bad_policy_asks_no_server_and_says_why(agents, server, prefix, policy):
    tray = Tray(prefix)
    server.answer(PERMISSION, "TRUE")
    bad = "관리자 정책의 서버 주소가 올바르지 않습니다 (policy-invalid)"
    policy.set("")
    agent = agents(server.address).start(winedebug=EVENT_LOG_DEBUG)
    # As for a server that does not answer: the dialog at start-up, here the policy's and read-only.
    controls = {c["id"]: c for c in tray.dialog(SETTINGS)["controls"]}
    assert controls[SETTINGS_EDIT]["text"] == "" and controls[SETTINGS_EDIT]["style"] & ES_READONLY
    tray.d("click", SETTINGS, 2)
    agent.wait_window()
    tray.icon_present()
    assert popup_texts(tray.status()) == [LOCKED, bad]

    policy.set(server.address)
    agent.wait_log("state", 2)  # TRUE, from the policy's server
    a = server.address
    for value, kind, reason in ((a, "REG_EXPAND_SZ", "type"), ("h" * 256, "REG_SZ", "too-long"),
                                (f"ftp://{a}", "REG_SZ", "scheme"), (f"{a} /x", "REG_SZ", "space"),
                                (f"{a}\r\nX: y", "REG_SZ", "control"), (f"{a}:0", "REG_SZ", "port")):
        policy.set(value, kind)
        wait_for(lambda: settings_lines(agent)[-1].get("reason") == reason, 60, step=0.1, what=reason)
        asked = len(server.requests())
        assert popup_texts(tray.status()) == [LOCKED, bad], reason
        assert len(server.requests()) == asked, reason
    assert agent.close() == 0
    assert not prefix.recorded_urls()
    assert [f for _, _, e, f in map(log_event, agent.log_lines()) if e == "register-form"] == [
        {"opened": "no", "reason": "policy-invalid"}]
    states = [f for _, _, e, f in map(log_event, agent.log_lines()) if e == "state"]
    assert [(s["pipe"], s["cause"]) for s in states] == [("FALSE", "policy-invalid"), ("TRUE", "answer"),
                                                         ("FALSE", "policy-invalid")]
    invalid = [f for f in settings_lines(agent) if f.get("result") == "invalid"]
    assert [f["reason"] for f in invalid] == ["empty", "type", "too-long", "scheme", "space", "control", "port"]
    # Each is an event an administrator can collect: a warning with ID 5.
    reported = [strings[:3] for kind, number, strings in reported_events(agent.stderr()) if (kind, number) == (2, 5)]
    assert reported == [["source=policy", "result=invalid", f"reason={f['reason']}"] for f in invalid]
