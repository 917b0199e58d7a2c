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
from fakes import eventually, module_state, sha  # noqa: F401
from tool_runs import IMAGE, closed_tcp_port, tool

SER2NET = shutil.which("ser2net", path=os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin"]))
pytestmark = pytest.mark.skipif(SER2NET is None, reason="needs ser2net")

# ser2net's accepter and the tool's URL for each way of serving the line. ser2net does not answer
# control settings on a pty; the plain rfc2217:// URL has a test of its own.
ACCEPTERS = {"rfc2217": ("telnet(rfc2217),tcp", "rfc2217://127.0.0.1:{}?ign_set_control"),
             "raw": ("tcp", "socket://127.0.0.1:{}")}
CONFIG = "connection: &board\n  accepter: {},127.0.0.1,{}\n  connector: serialdev,{},115200n81,local\n" \
         "  options: {{chardelay: false}}\n"


def listening(port):
    with open("/proc/net/tcp") as table:
        return any(f"0100007F:{port:04X} 00000000:0000 0A" in line for line in table)  # 0A: listening


@pytest.fixture
def serve(make_sim, tmp_path):
    """ser2net on a free loopback port, serving a new simulator's pty: (ser2net, URL, simulator)."""
    servers = []

    def start(accepter, url=None, **knobs):
        sim, port = make_sim(transport="pty", **knobs), closed_tcp_port()
        (tmp_path / "ser2net.yaml").write_text(CONFIG.format(ACCEPTERS[accepter][0], port, sim.port))
        with open(tmp_path / "ser2net.err", "w") as err:
            servers.append(subprocess.Popen([SER2NET, "-n", "-d", "-c", tmp_path / "ser2net.yaml", "-P",
                                             tmp_path / "ser2net.pid"], stderr=err))
        assert eventually(lambda: listening(port) or servers[-1].poll() is not None), "ser2net did not listen"
        assert servers[-1].poll() is None, (tmp_path / "ser2net.err").read_text()
        return servers[-1], (url or ACCEPTERS[accepter][1]).format(port), sim

    yield start
    for server in servers:
        server.kill()
        server.wait()


@pytest.mark.parametrize("accepter", ACCEPTERS)
@pytest.mark.parametrize("knobs, error", [({}, None), ({"disconnect_after_block": 300}, "disconnected at block 301")],
                         ids=["flashed", "board gone"])
def test_the_tool_through_ser2net_flashes_and_records_a_board_lost_behind_it(serve, tmp_path, accepter, knobs, error):
    url = serve(accepter, **knobs)[1]
    (tmp_path / "firmware.bin").write_bytes(IMAGE)
    returncode, out, err = tool(tmp_path / "firmware.bin", "--port", url, "--report", tmp_path / "report.jsonl")
    record = json.loads((tmp_path / "report.jsonl").read_text())
    error = error and f"device on {url} {error} of 3,125"
    assert (returncode, err, record["error"], record["error_kind"], record["device_sha256"]) == (
        1 if error else 0, f"downloader-flash: {error}\n" if error else "", error, error and "Disconnected",
        None if error else sha(expected_image(IMAGE)))


@pytest.mark.parametrize("accepter", ACCEPTERS)
def test_ser2net_ending_while_a_reply_is_awaited_is_a_disconnect(serve, module_state, accepter):
    server, url, sim = serve(accepter, no_reply_blocks={300})
    ending = threading.Thread(target=lambda: eventually(lambda: 300 in sim.nacked, 60) and server.kill())
    ending.start()
    with pytest.raises(Disconnected) as info:
        flash(IMAGE, url)
    ending.join()
    assert str(info.value) == f"device on {url} disconnected at block 300 of 3,125"


def test_a_server_that_does_not_answer_control_settings_is_opened_again_without_waiting(serve, module_state):
    url = serve("rfc2217", url="rfc2217://127.0.0.1:{}")[1]
    started = time.monotonic()
    result = flash(IMAGE, url)
    assert time.monotonic() - started - result.seconds < 5 and result.device_sha256 == sha(expected_image(IMAGE))
    assert result.note.startswith(f"{url}: the server does not answer control settings (flow control, DTR, RTS); "
                                  "opened again with ?ign_set_control")
