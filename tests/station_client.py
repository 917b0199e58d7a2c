"""Helpers for tests of the station's page and API: a station served in-process, and a plain
HTTP client on loopback."""
import http.client
import json
import socket
import threading
import time

import pytest

from downloader_flash.model import Device
from downloader_flash.model import Origin
from downloader_flash.settings import Settings
from downloader_flash.model import Image
from downloader_flash.station import watch
from downloader_flash.web import Server
from downloader_flash.web_connections import Limits


def call(server, method, path, body=None, token=None, raw=None, host="127.0.0.1", headers=()):
    """(status, decoded JSON or text, content type) of one request; `headers` added or replaced."""
    connection = http.client.HTTPConnection(host, server.port, timeout=30)
    sent = {"Authorization": f"Bearer {token}"} if token is not None else {}
    data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
    if data is not None:
        sent["Content-Type"] = "application/json"
    sent.update(headers)
    connection.request(method, path, body=data, headers=sent)
    response = connection.getresponse()
    content = response.read().decode()
    kind = response.getheader("Content-Type", "")
    connection.close()
    return response.status, json.loads(content) if kind.startswith("application/json") else content, kind


def exchange(port, data, timeout=10):
    """What the server sends on a raw connection given `data`, until it closes, and how long it took."""
    began = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection, \
            connection.makefile("rb") as stream:
        connection.sendall(data)
        try:
            received = stream.read()
        except ConnectionResetError:  # closed with the request unread
            received = b""
    return received, time.monotonic() - began


def simulated_devices(sims):
    return [Device(sim.port, f"SN{n}", None, "simulated device") for n, sim in enumerate(sims, 1)]


def serve_while(client, devices, image, on_demand=False, token=None, settings=None, serials=None):
    """Runs the station in this (the main) thread, serving its API, while `client(server)` runs
    in another; the station ends when the client returns. Gives the client's value and the summary."""
    server = Server(image, Origin(station="test"), "127.0.0.1", 0, token, on_demand)
    server.start()
    outcome = {}

    def run_client():
        try:
            outcome["value"] = client(server)
        except BaseException as error:  # raised in the test's thread below
            outcome["error"] = error
        finally:
            server.control.end()

    thread = threading.Thread(target=run_client)
    thread.start()
    try:
        summary = watch(settings or Settings(watch=True, retries=0), image, server.callbacks, None,
                        Origin(station="test"), server.control, lambda: list(devices), serials=serials)
    finally:
        server.control.end()
        thread.join()
        server.close()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"], summary


def sample(size):
    return Image(bytes((i * 7 + (i >> 8)) % 256 for i in range(size)), f"sample of {size:,} bytes")


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


def stalled_stream(server, buffer=4096):
    """An event-stream client that never reads, its receive buffer made small so that it stalls
    soon; or, with `buffer` None, as large as the system makes it."""
    stalled = socket.socket()
    if buffer is not None:
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer)
    stalled.connect(("127.0.0.1", server.port))
    stalled.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    return stalled
