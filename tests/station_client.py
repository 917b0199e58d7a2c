"""Helpers for tests of the station's page and API: a station served in-process, and a plain
HTTP client on loopback."""
import http.client
import json
import socket
import threading
import time

from downloader_flash.model import Device
from downloader_flash.model import Origin
from downloader_flash.settings import Settings
from downloader_flash.model import Image
from downloader_flash.station import watch
from downloader_flash.web import Server


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
