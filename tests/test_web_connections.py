"""The station's server's connections: deadlines, the cap, stream clients that do not read, and
running out of descriptors."""
import json
import socket
import subprocess
import sys
import threading

import pytest

pytest.importorskip("aiohttp", reason="the station's web front end needs the extra downloader[station]")

from downloader_flash.web_connections import Limits  # noqa: E402
from downloader_flash.web_view import CLIENT_QUEUE  # noqa: E402
from fakes import eventually  # noqa: E402
from station_client import call, exchange, server, stalled_stream  # noqa: E402, F401

SMALL = {"limits": Limits(request=0.5, connections=4, waiting=4, stream_write=0.5)}


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
    with stalled_stream(server, buffer=None):
        assert eventually(lambda: len(server.hub.clients) == 1)
        for number in range(CLIENT_QUEUE // 2):
            server.publish(json.dumps({"event": "test", "number": number, "filler": "x" * 30000}))
        assert eventually(lambda: server.hub.drops == 1 and not server.hub.clients, 10)


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
