"""Start-up, the settings file and shutdown of the real agent."""
from __future__ import annotations

from winenv import WM_COMMAND

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


def test_long_value_is_written_back_cut_and_http_prefix_kept(agents, server):
    forty = server.address + "/" + "p" * (39 - len(server.address))
    agent = agents(forty).start()
    agent.wait_window()
    assert agent.close() == 0
    assert f"HostAddress={forty[:31]}\r\n" in agent.settings_text()

    kept = agents("http://" + server.address).start()
    kept.wait_window()
    assert kept.close() == 0
    assert f"HostAddress=http://{server.address}\r\n" in kept.settings_text()


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
