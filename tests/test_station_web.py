"""The station's HTTP API and its safeguards, against simulated devices, over loopback."""
import asyncio
import gc
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import threading

import pytest

pytest.importorskip("aiohttp", reason="the station's web front end needs the extra downloader[station]")

from downloader_flash import cli  # noqa: E402
from downloader_flash.devices import port_order  # noqa: E402
from downloader_flash.model import Origin  # noqa: E402
from downloader_flash.web_view import CLIENT_QUEUE  # noqa: E402
from downloader_flash.web_connections import Limits  # noqa: E402
from downloader_flash.web import Server  # noqa: E402
from fakes import eventually  # noqa: E402
from station_client import call, exchange, sample, serve_while, simulated_devices  # noqa: E402

IMAGE = sample(40000)  # 1,250 blocks
TOKEN = "s3cret-token"


@pytest.fixture
def server(request):
    """A server with no station behind it, for what is answered before the station is asked."""
    options = getattr(request, "param", {})
    started = Server(IMAGE, Origin(station="test"), options.get("host", "127.0.0.1"), 0, options.get("token"),
                     on_demand=True, allowed_hosts=("station.example",), limits=options.get("limits", Limits()))
    started.start()
    yield started
    started.close()


def read_events(server, lines, ready):
    """Collects the data lines of the event stream until the connection closes."""
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
    connection.request("GET", "/api/v1/events")
    response = connection.getresponse()
    assert response.getheader("Content-Type") == "text/event-stream"
    ready.set()
    try:
        for raw in response:
            line = raw.decode().rstrip("\n")
            if line.startswith("data: "):
                lines.append(json.loads(line[len("data: "):]))
    except (OSError, http.client.HTTPException):  # the server closed the stream as it ended
        pass
    finally:
        connection.close()


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


@pytest.mark.parametrize("body, message", [
    (b"not json", "the body must be JSON"),
    (b"[1]", "the body must be a JSON object"),
    (b"{}", 'give one of "port" and "serial_number"'),
    (b'{"port": "a", "serial_number": "b"}', 'give one of "port" and "serial_number"'),
    (b'{"port": ""}', '"port" must be a non-empty string'),
    (b'{"serial_number": 7}', '"serial_number" must be a non-empty string'),
    (b'{"port": "a", "colour": "red"}', "unknown field(s): colour"),
    (b'{"port": "a", "wait": -1}', '"wait" must be 0 to 600 seconds'),
    (b'{"port": "a", "wait": true}', '"wait" must be 0 to 600 seconds'),
])
def test_a_bad_flash_request_is_a_400_that_says_why(server, body, message):
    assert call(server, "POST", "/api/v1/flash", raw=body)[:2] == (400, {"error": message, "status": 400})


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


def test_a_body_over_the_limit_is_refused(server):
    status, body, _ = call(server, "POST", "/api/v1/flash", raw=b'{"port": "' + b"x" * 10000 + b'"}')
    assert (status, body["status"]) == (413, 413)


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
    # With Ctrl-C's own handler, which a background job's children would otherwise start without.
    command = ("import runpy, signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
               "runpy.run_module('downloader_flash', run_name='__main__', alter_sys=True)")
    process = subprocess.Popen([sys.executable, "-c", command, "--watch", "--serve", "127.0.0.1:0",
                                "--simulate", "2", "--sample", "20000"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        line = process.stderr.readline()
        assert line.startswith("serving the station on http://127.0.0.1:"), line
        port = int(line.split(":")[2].split("/")[0])
        fake = type("Server", (), {"port": port})

        def flashed():
            channels = call(fake, "GET", "/api/v1/channels")[1]["channels"]
            return [channel["state"] for channel in channels] == ["flashed", "flashed"]

        assert eventually(flashed, 60)
    finally:
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    assert process.returncode == 0, err  # nothing was in flight: every board flashed
    assert out.count(": flashed,") == 2


def test_a_client_that_falls_a_whole_queue_behind_is_dropped_and_the_others_keep_every_line():
    from downloader_flash.web_view import Hub

    async def scenario():
        hub, dropped = Hub(), []
        slow, fast = asyncio.Queue(2), asyncio.Queue(10)
        hub.join(slow, lambda: dropped.append("slow"))
        hub.join(fast, lambda: dropped.append("fast"))
        for number in range(5):
            hub.send(f"line {number}")
            fast.get_nowait()  # the fast client keeps up
        return dropped, hub.clients == {fast}, hub.drops, slow.qsize()

    assert asyncio.run(scenario()) == (["slow"], True, 1, 2)


def stalled_stream(server):
    """An event-stream client that never reads, its receive buffer made small so that it stalls soon."""
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", server.port))
    stalled.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    return stalled


def test_a_stalled_stream_client_does_not_hold_up_the_others(server):
    stalled = stalled_stream(server)
    lines, ready = [], threading.Event()
    reader = threading.Thread(target=read_events, args=(server, lines, ready))
    reader.start()
    try:
        assert ready.wait(10) and eventually(lambda: len(server.hub.clients) == 2)
        filler = "x" * 4000
        for number in range(2000):  # far more than the stalled client's buffers and queue hold
            server.publish(json.dumps({"event": "test", "number": number, "filler": filler}))
            if number % 50 == 49:  # in bursts that a reading client keeps up with
                assert eventually(lambda: len(lines) == number + 1, 30)
        assert [line["number"] for line in lines] == list(range(2000)) and server.hub.drops == 1
    finally:
        stalled.close()
        server.close()
        reader.join(10)


def test_the_stations_callbacks_return_while_the_server_is_held_up_and_a_stalled_client_overflows(server):
    from downloader_flash.model import Device
    from downloader_flash.model import Job
    from downloader_flash.model import Attempt

    stalled = stalled_stream(server)
    released, finished = threading.Event(), threading.Event()
    device = Device("/dev/ttyACM0", "SN0", None, "")
    job = Job(device.key, IMAGE.data, IMAGE.name, 0, None, 0.0)
    reason = "x" * 4000  # each event large, so that the stalled client's buffers fill too

    def station():  # what the scheduler's thread does for a board, more often than a queue holds
        for _ in range(2 * CLIENT_QUEUE):
            server.callbacks.present([device])
            server.callbacks.found(device)
            server.callbacks.progress(job, 1250, 1250)
            server.callbacks.attempt_ended(job, Attempt(device.device, "SN0", "failed", reason), True, None)
        finished.set()

    try:
        assert eventually(lambda: len(server.hub.clients) == 1)
        server.call_soon(released.wait)  # the server's loop is busy elsewhere and serves no one
        threading.Thread(target=station, daemon=True).start()
        assert finished.wait(60) and not released.is_set()
        released.set()
        assert eventually(lambda: server.hub.drops == 1 and not server.hub.clients, 30)
        status, view, _ = call(server, "GET", "/api/v1/channels")
        assert status == 200 and view["shift"]["failed"] == 2 * CLIENT_QUEUE
        assert [channel["state"] for channel in view["channels"]] == ["failed"]
    finally:
        released.set()
        stalled.close()


def test_the_rate_shown_is_the_workers_though_its_progress_arrives_in_a_burst(make_sim):
    from downloader_flash.model import Job
    from downloader_flash.scheduler import Scheduler
    from downloader_flash.web_view import State

    image, sim = sample(9600), make_sim(delay_ms=1)  # 300 blocks, at some 20 KiB/s
    state, shown, ended = State(image, Origin(), False), [], []

    def on_progress(job, done, blocks, kib_per_second):
        if not shown:  # the station busy until a third of the image has gone: that progress arrives at once
            assert eventually(lambda: len(sim.blocks) >= 100, 30)
        state.rated_progress(job, done, blocks, kib_per_second)
        shown.append(state.view()["channels"][0]["kib_per_second"])

    scheduler = Scheduler(1, 1, on_progress, lambda job, attempt, final: ended.append(attempt))
    scheduler.add(Job(simulated_devices([sim])[0].key, image.data, image.name, 0, None, 0.0))
    scheduler.run()
    measured = ended[0].flashed.kib_per_second
    assert shown[0] is None and len(shown) > 2 and all(measured / 3 < rate < 3 * measured for rate in shown[1:])


SMALL = {"limits": Limits(request=0.5, connections=4, waiting=4, stream_write=0.5)}


@pytest.mark.parametrize("method, headers, status", [
    ("GET", {"Host": "evil.example:{port}"}, 403),  # a name another site resolved to this address
    ("POST", {"Origin": "http://evil.example"}, 403),
    ("GET", {"Origin": "http://localhost:1"}, 403),
    ("POST", {"Content-Type": "text/plain"}, 415),  # what a plain form of another page can send
    ("GET", {"Host": "localhost:{port}", "Origin": "http://localhost:{port}"}, 200),
    ("GET", {"Host": "Station.Example"}, 200),  # given with --allow-host
])
def test_only_the_station_itself_and_clients_without_a_page_are_answered(server, method, headers, status):
    sent = {name: value.format(port=server.port) for name, value in headers.items()}
    path, body = ("/api/v1/flash", {"port": "/dev/nothing-here"}) if method == "POST" else ("/api/v1/channels", None)
    answered, answer, kind = call(server, method, path, body, headers=sent)
    assert (answered, kind) == (404 if status == 200 and body else status, "application/json; charset=utf-8")
    assert status == 200 or answer["status"] == status


@pytest.mark.parametrize("server", [{"token": TOKEN}], indirect=True)
@pytest.mark.parametrize("request_bytes, status", [
    (b"GET /api/v1/records?since=%C2%B2 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400),
    (b"GET /api/v1/records?since=%D9%A1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400),
    (b"GET /api/v1/flash/%C2%B2 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404),
    (b"GET /api/v1/flash/" + b"9" * 5000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404),
    (b"POST /api/v1/flash HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer \xff\r\n\r\n", 401),
    (b"GET /api/v1/channels HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: \xff\r\n\r\n", 403),
    (b"NOT HTTP\r\n\r\n", 400),
])
def test_no_input_reaches_a_traceback(server, request_bytes, status, capfd):
    answer, _ = exchange(server.port, request_bytes.replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n"))
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.split()[1] == str(status).encode() and b"application/json" in head
    assert json.loads(body)["status"] == status
    assert "Traceback" not in capfd.readouterr().err


def test_a_deeply_nested_body_is_a_400(server):
    assert call(server, "POST", "/api/v1/flash", raw=b"[" * 2000 + b"]" * 2000)[:2] == (
        400, {"error": "the body is nested deeper than 8 levels", "status": 400})


@pytest.mark.parametrize("server", [SMALL], indirect=True)
def test_partial_and_idle_connections_are_closed_by_their_deadline_and_the_api_answers_meanwhile(server):
    partial = [b"GET / HTTP/1.1\r\n", b"POST /api/v1/flash HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               b"Content-Type: application/json\r\nContent-Length: 50\r\n\r\n{", b""]
    lived = [0.0] * len(partial)

    def hold(index):
        lived[index] = exchange(server.port, partial[index])[1]

    holders = [threading.Thread(target=hold, args=(index,)) for index in range(len(partial))]
    for holder in holders:
        holder.start()
    assert call(server, "GET", "/api/v1/channels")[0] == 200  # a fourth connection, at the cap
    for holder in holders:
        holder.join(10)
    assert all(0.3 < took < 3 for took in lived), lived


@pytest.mark.parametrize("server", [SMALL], indirect=True)
def test_past_the_cap_a_new_connection_takes_a_waiting_ones_place_or_is_closed_at_once(server):
    waiting = socket.create_connection(("127.0.0.1", server.port))
    streams = [stalled_stream(server) for _ in range(3)]
    try:
        assert eventually(lambda: len(server.hub.clients) == 3)
        assert call(server, "GET", "/api/v1/channels")[0] == 200  # in the place of the one that sent nothing
        assert waiting.recv(1) == b""
        streams.append(stalled_stream(server))
        assert eventually(lambda: len(server.hub.clients) == 4)
        answer, took = exchange(server.port, b"GET /api/v1/channels HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        assert answer == b"" and took < 1  # every place is at work
    finally:
        for connection in [waiting] + streams:
            connection.close()


@pytest.mark.parametrize("server", [SMALL], indirect=True)
def test_a_stream_client_that_does_not_read_is_dropped_long_before_its_queue_fills(server):
    stalled = socket.create_connection(("127.0.0.1", server.port))  # its buffers as large as the system makes them
    stalled.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    try:
        assert eventually(lambda: len(server.hub.clients) == 1)
        for number in range(CLIENT_QUEUE // 2):
            server.publish(json.dumps({"event": "test", "number": number, "filler": "x" * 30000}))
        assert eventually(lambda: server.hub.drops == 1 and not server.hub.clients, 10)
    finally:
        stalled.close()


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


OUT_OF_DESCRIPTORS = """
import resource, sys
from downloader_flash import web
resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48))
server = web.Server(web.Image(bytes(2000), "sample"), web.Origin(), "127.0.0.1", 0, limits=web.Limits(request=1.0))
server.start()
print(server.port, flush=True)
sys.stdin.read()
"""


def test_out_of_descriptors_the_server_pauses_says_so_once_and_recovers():
    process = subprocess.Popen([sys.executable, "-c", OUT_OF_DESCRIPTORS], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    fake = type("Server", (), {"port": int(process.stdout.readline())})
    clients = [socket.create_connection(("127.0.0.1", fake.port)) for _ in range(80)]  # past the process's limit
    try:
        assert eventually(lambda: call(fake, "GET", "/api/v1/channels")[0] == 200, 20)
    finally:
        for client in clients:
            client.close()
        out, err = process.communicate("", timeout=30)
    assert err.count("out of file descriptors") == 1 and "Traceback" not in err, err
