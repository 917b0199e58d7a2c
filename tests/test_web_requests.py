"""What the station's server accepts of a request: its host and origin, its body, and no input
that reaches a traceback."""
import json

import pytest

pytest.importorskip("aiohttp", reason="the station's web front end needs the extra downloader[station]")

from station_client import call, exchange, TOKEN, server  # noqa: E402, F401


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
    (b"[" * 2000 + b"]" * 2000, "the body is nested deeper than 8 levels"),
])
def test_a_bad_flash_request_is_a_400_that_says_why(server, body, message):
    assert call(server, "POST", "/api/v1/flash", raw=body)[:2] == (400, {"error": message, "status": 400})


def test_a_body_over_the_limit_is_refused(server):
    status, body, _ = call(server, "POST", "/api/v1/flash", raw=b'{"port": "' + b"x" * 10000 + b'"}')
    assert (status, body["status"]) == (413, 413)


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
