"""The station's HTTP API, its token and the command's --serve options, against simulated devices,
over loopback."""
import gc
import http.client
import os
import signal
import socket
import threading

import pytest

pytest.importorskip("aiohttp", reason="the station's web front end needs the extra downloader[station]")

from downloader_flash import cli  # noqa: E402
from fake_usb import INTERRUPTIBLE_TOOL  # noqa: E402
from downloader_flash.devices import port_order  # noqa: E402
from fakes import eventually  # noqa: E402
from tool_runs import running  # noqa: E402
from station_client import call, serve_while, simulated_devices, IMAGE, TOKEN, server, read_events  # noqa: E402, F401


def test_on_demand_flashes_only_what_is_asked_and_answers_with_the_record(make_sim):
    # The first is slow (5 s for its 1,250 blocks), so that it is surely still flashing when the
    # test asks for it again and expects "busy".
    sims = ([make_sim(process=True, delay_ms=4)] + [make_sim(process=True) for _ in range(2)]
            + [make_sim(process=True, reject={2: 10})])
    devices = simulated_devices(sims)
    events, stream_ready, readers = [], threading.Event(), []

    def client(server):
        reader = threading.Thread(target=read_events, args=(server, events, stream_ready))
        readers.append(reader)
        reader.start()
        assert stream_ready.wait(10)
        assert eventually(lambda: len(call(server, "GET", "/api/v1/channels")[1]["channels"]) == 4)
        waiting = call(server, "GET", "/api/v1/channels")[1]
        started = call(server, "POST", "/api/v1/flash", {"port": devices[0].device, "wait": 0})
        busy = call(server, "POST", "/api/v1/flash", {"serial_number": "SN1"})
        unknown = call(server, "POST", "/api/v1/flash", {"port": "/dev/nothing-here"})
        ended = [call(server, "POST", "/api/v1/flash", {"serial_number": device.serial_number})
                 for device in devices[1:]]
        poll = started[1]["poll"]
        assert eventually(lambda: call(server, "GET", poll)[1]["state"] == "ended", 30)
        return waiting, started, busy, unknown, ended, call(server, "GET", poll)[1], \
            call(server, "GET", "/api/v1/channels")[1], call(server, "GET", "/api/v1/records?since=0")[1]

    (waiting, started, busy, unknown, ended, polled, channels, records), summary = serve_while(
        client, devices, IMAGE, on_demand=True)
    assert {channel["state"] for channel in waiting["channels"]} == {"waiting"} and waiting["on_demand"]
    assert started[0] == 202 and started[1]["state"] == "flashing"
    assert busy[:2] == (409, {"error": f"the device on serial number SN1 is being flashed", "status": 409})
    assert unknown[:2] == (404, {"error": "no device on port /dev/nothing-here", "status": 404})
    assert [(status, body["state"], body["record"]["result"]) for status, body, _ in ended] == [
        (200, "ended", "flashed"), (200, "ended", "flashed"), (200, "ended", "failed")]
    assert "rejected block 2" in ended[2][1]["record"]["error"]
    assert polled["record"]["result"] == "flashed" and polled["record"]["port"] == devices[0].device
    # In port order, whichever numbers the ptys got.
    in_port_order = sorted(devices, key=lambda device: port_order(device.device))
    assert [(c["port"], c["serial_number"], c["state"]) for c in channels["channels"]] == [
        (d.device, d.serial_number, "failed" if d is devices[3] else "flashed") for d in in_port_order]
    assert "rejected block 2" in channels["channels"][in_port_order.index(devices[3])]["reason"]
    readers[0].join(30)
    assert {key: channels["shift"][key] for key in ("flashed", "failed", "yield")} == {
        "flashed": 3, "failed": 1, "yield": 0.75}
    assert sorted(r["serial_number"] for r in records["records"]) == ["SN1", "SN2", "SN3", "SN4"]
    assert records["next"] == 4
    assert [sim.runs for sim in sims] == [1, 1, 1, 0]  # each flashed once, when asked; the faulty one never ran
    assert summary.outcomes and summary.signum is None
    ended_events = [event for event in events if event["event"] == "attempt ended"]
    assert sorted(event["record"]["serial_number"] for event in ended_events) == ["SN1", "SN2", "SN3", "SN4"]
    assert {event["event"] for event in events} >= {"device found", "attempt started", "progress", "attempt ended"}


def test_records_since_gives_only_newer_records_and_the_page_is_served(make_sim):
    sims = [make_sim(process=True) for _ in range(2)]

    def client(server):
        assert eventually(lambda: call(server, "GET", "/api/v1/records?since=0")[1]["next"] == 2, 30)
        return (call(server, "GET", "/api/v1/records?since=1")[1], call(server, "GET", "/api/v1/records?since=2")[1],
                call(server, "GET", "/api/v1/records?since=9")[1], call(server, "GET", "/"),
                call(server, "GET", "/static/station.js"))

    (one, none, ahead, page, script), _ = serve_while(client, simulated_devices(sims), IMAGE)
    assert len(one["records"]) == 1 and one["next"] == 2 and none == {"records": [], "next": 2}
    assert ahead == {"records": [], "next": 2}  # a client from before a restart: it starts again from 0
    assert page[0] == 200 and page[2].startswith("text/html") and "station.js" in page[1]
    assert script[0] == 200 and "EventSource" in script[1]


@pytest.mark.parametrize("method, path, status", [
    ("GET", "/api/v1/flash/999", 404),
    ("GET", "/api/v1/flash/abc", 404),
    ("GET", "/api/v2/channels", 404),
    ("GET", "/api/v1/records?since=yesterday", 400),
    ("DELETE", "/api/v1/channels", 405),
])
def test_errors_are_json_with_their_status(server, method, path, status):
    code, body, kind = call(server, method, path)
    assert (code, body["status"], kind) == (status, status, "application/json; charset=utf-8")
    assert body["error"]


@pytest.mark.parametrize("path", [
    "/static/..%2fweb.py", "/static/%2e%2e%2fweb.py", "/static/../web.py", "/../web.py", "/static/..%2f..%2fsettings.py",
    "/static/%2fetc%2fpasswd", "/static/", "/static/.", "/web.py", "/static/..%5cweb.py",
])
def test_nothing_outside_the_static_folder_is_served(server, path):
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    connection.putrequest("GET", path, skip_accept_encoding=True)  # sent as written, not normalised
    connection.endheaders()
    response = connection.getresponse()
    status, content = response.status, response.read()
    connection.close()
    assert status == 404 and b"import" not in content


@pytest.mark.parametrize("server", [{"token": TOKEN}], indirect=True)
@pytest.mark.parametrize("token, status", [(None, 401), ("wrong", 401), ("s3cret-token-and-more", 401), (TOKEN, 400)])
def test_control_needs_the_token_and_reading_from_loopback_does_not(server, token, status):
    assert call(server, "POST", "/api/v1/flash", raw=b"{}", token=token)[0] == status
    assert call(server, "GET", "/api/v1/channels", token=token)[0] == 200


@pytest.mark.parametrize("server", [{"token": TOKEN, "host": "0.0.0.0"}], indirect=True)
def test_off_loopback_every_request_needs_the_token(server):
    assert [call(server, "GET", path)[0] for path in ("/", "/api/v1/channels", "/api/v1/events")] == [401] * 3
    assert call(server, "GET", "/api/v1/channels", token="wrong")[0] == 401
    assert call(server, "GET", "/api/v1/channels", token=TOKEN)[0] == 200
    assert call(server, "GET", f"/api/v1/channels?token={TOKEN}")[0] == 200  # how the page passes it on


def test_serving_beyond_loopback_without_a_token_is_refused_at_start(tmp_path, capsys, monkeypatch):
    monkeypatch.delenv("DOWNLOADER_STATION_TOKEN", raising=False)
    (tmp_path / "image.bin").write_bytes(IMAGE.data)
    assert cli.main([str(tmp_path / "image.bin"), "--watch", "--serve", "0.0.0.0:0"]) == 2
    assert capsys.readouterr().err == ("downloader-flash: serving on 0.0.0.0, beyond this machine, needs a token: "
                                       "give --token TOKEN or --token-file PATH, or set DOWNLOADER_STATION_TOKEN\n")


@pytest.mark.parametrize("option, value, line", [
    ("--token", "caf\xe9", "--token must be printable ASCII, without spaces"),
    (None, "two words", "DOWNLOADER_STATION_TOKEN must be printable ASCII, without spaces"),
    ("--token-file", b"caf\xe9\n", "the token in {} must be printable ASCII, without spaces"),
    ("--token-file", b"\n", "the token in {} is empty"),
    ("--token-file", b"x" * 5000, "the token in {} is longer than 4,096 characters"),
    ("--token-file", os.mkfifo, "the token in {} is empty"),  # nobody writes it: no hang
    ("--token-file", None, "cannot read the token file {}: No such file or directory"),
], ids=["option", "environment", "file", "empty file", "long file", "FIFO", "missing file"])
def test_a_token_that_cannot_travel_in_a_header_is_a_usage_error(tmp_path, capsys, monkeypatch, option, value, line):
    path = tmp_path / "token"
    if isinstance(value, bytes):
        path.write_bytes(value)
    elif callable(value):
        value(path)
    monkeypatch.setenv("DOWNLOADER_STATION_TOKEN", value if option is None else "")
    given = [option, value if option == "--token" else str(path)] if option else []
    assert cli.main(["--sample", "2000", "--simulate", "1", "--watch", "--serve", "127.0.0.1:0", *given]) == 2
    assert capsys.readouterr().err == f"downloader-flash: {line.format(path)}\n"


def test_the_token_file_gives_the_token_without_its_newline(tmp_path):
    (tmp_path / "token").write_text("s3cret\n")
    args = cli.build_parser().parse_args(["--watch", "--serve", "8080", "--token-file", str(tmp_path / "token")])
    assert cli.token_of(args) == "s3cret"


@pytest.mark.parametrize("args, message", [
    (["--sample", "2000", "--simulate", "1", "--serve", "8080"], "--serve needs --watch"),
    (["--sample", "2000", "--simulate", "1", "--watch"], "with --simulate it needs --serve"),
    (["--sample", "2000", "--simulate", "1", "--all", "--on-demand"], "--on-demand needs --serve"),
    (["--sample", "2000", "--simulate", "1", "--watch", "--serve", "host:port"], "--serve takes [HOST:]PORT"),
    (["--sample", "2000", "--simulate", "1", "--all", "--allow-host", "bench"], "--allow-host needs --serve"),
    (["--sample", "2000", "--simulate", "1", "--watch", "--serve", "0", "--allow-host", "bench:80"], "without a port"),
])
def test_serve_options_that_contradict_are_refused(args, message, capsys):
    with pytest.raises(SystemExit) as exit_:
        code = cli.main(args)
        raise SystemExit(code)
    assert exit_.value.code == 2 and message in capsys.readouterr().err


def test_the_command_serves_a_demo_of_simulated_channels_until_interrupted():
    with running([*INTERRUPTIBLE_TOOL, "--watch", "--serve", "127.0.0.1:0", "--simulate", "2", "--sample",
                  "20000"]) as process:
        line = process.stderr.readline()
        assert line.startswith("serving the station on http://127.0.0.1:"), line
        port = int(line.split(":")[2].split("/")[0])
        fake = type("Server", (), {"port": port})

        def flashed():
            channels = call(fake, "GET", "/api/v1/channels")[1]["channels"]
            return [channel["state"] for channel in channels] == ["flashed", "flashed"]

        assert eventually(flashed, 60)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    assert process.returncode == 0, err  # nothing was in flight: every board flashed
    assert out.count(": flashed,") == 2


def test_the_event_stream_ends_properly_when_the_tool_stops_and_nothing_is_left_behind(server, capsys):
    idle = socket.create_connection(("127.0.0.1", server.port), timeout=10)  # never sends a request
    with idle, socket.create_connection(("127.0.0.1", server.port), timeout=10) as client:
        client.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        assert eventually(lambda: len(server.hub.clients) == 1)
        server.close()
        received = b""
        while not received.endswith(b"0\r\n\r\n"):
            chunk = client.recv(4096)
            assert chunk, received
            received += chunk
        assert b"retry: 1000" in received
        assert not server.thread.is_alive() and server.loop.is_closed() and idle.recv(1) == b""
    gc.collect()  # an unclosed transport would warn here, an error in this suite
    assert capsys.readouterr().err == ""  # the loop said nothing: no task destroyed while pending
