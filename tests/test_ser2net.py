"""The tool through ser2net, the network serial server of the lines, serving a simulator's pty."""
import json
import os
import shutil
import subprocess
import threading
import time

import pytest

from downloader_flash import Disconnected, flash
from downloader_sim import expected_image
from fakes import eventually, module_state  # noqa: F401
from test_flash_tool import IMAGE, closed_tcp_port, sha, tool

SER2NET = shutil.which("ser2net", path=os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin"]))
pytestmark = [pytest.mark.skipif(SER2NET is None, reason="needs ser2net"),
              # pyserial's rfc2217:// port starts its reader thread the old way
              pytest.mark.filterwarnings("ignore:set(Daemon|Name)\\(\\) is deprecated:DeprecationWarning")]

# ser2net's accepter for each way of serving the line, and the URL the tool takes for it. ser2net
# does not answer control settings on a pty; that plain rfc2217:// URL has a test of its own.
ACCEPTERS = {"rfc2217": ("telnet(rfc2217),tcp", "rfc2217://127.0.0.1:{}?ign_set_control"),
             "raw": ("tcp", "socket://127.0.0.1:{}")}
CONFIG = """\
connection: &board
  accepter: {accepter},127.0.0.1,{port}
  connector: serialdev,{tty},115200n81,local
  options:
    kickolduser: true
    chardelay: false
"""
LISTEN = "0A"  # the state of a listening socket in /proc/net/tcp


def listening(port):
    with open("/proc/net/tcp") as table:
        return any(f"0100007F:{port:04X} 00000000:0000 {LISTEN}" in line for line in table)


@pytest.fixture
def serve(tmp_path):
    """Starts ser2net serving a simulator's pty on a free loopback port; stopped after the test."""
    started = []

    def start(sim, accepter):
        port = closed_tcp_port()
        config = tmp_path / f"ser2net-{port}.yaml"
        config.write_text(CONFIG.format(accepter=ACCEPTERS[accepter][0], port=port, tty=sim.port))
        with open(tmp_path / f"ser2net-{port}.err", "w") as err:
            server = subprocess.Popen([SER2NET, "-n", "-d", "-c", config, "-P", tmp_path / f"ser2net-{port}.pid"],
                                      stdout=subprocess.DEVNULL, stderr=err)
        started.append(server)
        assert eventually(lambda: listening(port) or server.poll() is not None) and server.poll() is None, (
            (tmp_path / f"ser2net-{port}.err").read_text())
        return server, port

    yield start
    for server in started:
        server.kill()
        server.wait()


@pytest.mark.parametrize("accepter", ACCEPTERS)
@pytest.mark.parametrize("knobs, code, result", [({}, 0, "flashed"), ({"disconnect_after_block": 300}, 1, "failed")],
                         ids=["flashed", "device gone"])
def test_the_tool_flashes_through_ser2net_and_records_a_device_lost_behind_it(make_sim, serve, tmp_path, accepter,
                                                                              knobs, code, result):
    sim = make_sim(transport="pty", **knobs)
    url = ACCEPTERS[accepter][1].format(serve(sim, accepter)[1])
    (tmp_path / "firmware.bin").write_bytes(IMAGE)
    returncode, out, err = tool(tmp_path / "firmware.bin", "--port", url, "--report", tmp_path / "report.jsonl")
    record = json.loads((tmp_path / "report.jsonl").read_text())
    assert (returncode, record["result"]) == (code, result), err
    if code == 0:
        assert out.startswith(f"flashed {url}: 100,000 bytes in 3,125 blocks, 0 resends, ")
        assert record["device_sha256"] == sha(expected_image(IMAGE))
    else:
        assert (record["error_kind"], err) == ("Disconnected", f"downloader-flash: {record['error']}\n")
        assert record["error"] == f"device on {url} disconnected at block 301 of 3,125"


@pytest.mark.parametrize("accepter", ACCEPTERS)
def test_ser2net_ending_while_a_reply_is_awaited_is_a_disconnect(make_sim, serve, module_state, accepter):
    sim = make_sim(transport="pty", no_reply_blocks={300})
    server, port = serve(sim, accepter)
    url = ACCEPTERS[accepter][1].format(port)

    def end_ser2net():
        if eventually(lambda: 300 in sim.nacked, 60):
            server.kill()

    ending = threading.Thread(target=end_ser2net)
    ending.start()
    with pytest.raises(Disconnected) as info:
        flash(IMAGE, url)
    ending.join()
    assert str(info.value) == f"device on {url} disconnected at block 300 of 3,125"


def test_a_server_that_does_not_answer_control_settings_is_flashed_without_waiting_for_them(make_sim, serve,
                                                                                            module_state):
    sim = make_sim(transport="pty")
    url = f"rfc2217://127.0.0.1:{serve(sim, 'rfc2217')[1]}"
    started = time.monotonic()
    result = flash(IMAGE, url)
    opening = time.monotonic() - started - result.seconds
    assert result.device_sha256 == sha(expected_image(IMAGE)) and opening < 5
    assert result.note.startswith(f"{url}: the server does not answer control settings (flow control, DTR, RTS); "
                                  "opened again with ?ign_set_control, which saves ")
