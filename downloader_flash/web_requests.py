"""What the station's server accepts of a request: the host names it answers to, numbers, bodies."""
import hmac
import json
import ipaddress
import re
from typing import Any, Dict, FrozenSet, Optional, Sequence, Tuple

from aiohttp import web

DEEPEST_JSON = 8  # levels of nesting in a request body; a flash request has one


LONGEST_NUMBER = 18  # digits of a number in a path or a query


API = "/api/v1"
DEFAULT_FLASH_WAIT = 60.0  # seconds a flash request waits for its record before answering with an id
LONGEST_FLASH_WAIT = 600.0

LOOPBACK_NAMES = frozenset({"localhost", "127.0.0.1", "::1"})


JSON_STRING = re.compile(r'"(?:[^"\\]|\\.)*"')


def loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def address(text: str) -> Tuple[str, int]:
    """[HOST:]PORT, the host 127.0.0.1 by default; ValueError names what is wrong."""
    host, _, port = text.rpartition(":")
    host = host.strip("[]") or "127.0.0.1"
    if not port.isdigit() or not 0 <= int(port) <= 65535:
        raise ValueError(f"--serve takes [HOST:]PORT, the port 0 to 65535, not {text!r}")
    return host, int(port)


def host_name(authority: str) -> str:
    """The name in a Host header or in an origin, without its port: lower case, an IPv6 address bare."""
    text = authority.lower()
    if text.startswith("["):
        return text[1:].partition("]")[0]
    return text.rpartition(":")[0] if ":" in text else text


def served_names(host: str, allowed: Sequence[str]) -> FrozenSet[str]:
    """The names a request's Host may give, besides the address its connection came in on."""
    names = {name.lower().strip("[]") for name in allowed}
    if loopback(host):
        names |= LOOPBACK_NAMES
    if host not in ("0.0.0.0", "::"):  # an address of every interface names none of them
        names.add(host.lower())
    return frozenset(names)


def number(text: str) -> Optional[int]:
    """A count in ASCII digits, or None: str.isdigit() takes "²" and "١" too, and int() then fails or accepts."""
    if text.isascii() and text.isdigit() and len(text) <= LONGEST_NUMBER:
        return int(text)
    return None


def nesting(text: str) -> int:
    """How deep the arrays and objects of a JSON text go, strings aside; the parser would recurse as deep."""
    deepest = depth = 0
    for char in JSON_STRING.sub("", text):
        if char in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif char in "]}":
            depth -= 1
    return deepest


def one_line(failure: Optional[BaseException]) -> str:
    if failure is None:
        return "no reason given"
    text = repr(" ".join(str(failure).split()))[1:-1]  # control characters escaped, for a terminal
    return f"{type(failure).__name__}: {text}"[:300] if text else type(failure).__name__


def here(request: web.BaseRequest) -> FrozenSet[str]:
    """The address a request came in on, with the loopback names if it is loopback: what a client
    that connected to an address of this machine calls it."""
    local = request.transport.get_extra_info("sockname") if request.transport is not None else None
    if not local:
        return frozenset()
    address = str(local[0]).lower()
    return LOOPBACK_NAMES | {address} if loopback(address) else frozenset({address})


def error(status: int, message: str) -> web.Response:
    return web.json_response({"error": message, "status": status}, status=status)


def flash_body(raw: bytes) -> Tuple[Dict[str, Any], Optional[str]]:
    """A flash request's body, and why it is refused (a 400), or None."""
    try:
        text = raw.decode()
        if nesting(text) > DEEPEST_JSON:
            return {}, f"the body is nested deeper than {DEEPEST_JSON} levels"
        body = json.loads(text)
    except ValueError:  # undecodable UTF-8 too
        return {}, "the body must be JSON"
    return body, flash_problem(body)


def flash_problem(body: Any) -> Optional[str]:
    if not isinstance(body, dict):
        return "the body must be a JSON object"
    chosen = [name for name in ("port", "serial_number") if name in body]
    if len(chosen) != 1:
        return 'give one of "port" and "serial_number"'
    if not isinstance(body[chosen[0]], str) or not body[chosen[0]]:
        return f'"{chosen[0]}" must be a non-empty string'
    unknown = set(body) - {"port", "serial_number", "wait"}
    if unknown:
        return f"unknown field(s): {', '.join(sorted(unknown))}"
    wait = body.get("wait", DEFAULT_FLASH_WAIT)
    if isinstance(wait, bool) or not isinstance(wait, (int, float)) or not 0 <= wait <= LONGEST_FLASH_WAIT:
        return f'"wait" must be 0 to {LONGEST_FLASH_WAIT:g} seconds'
    return None


def describe(body: Dict[str, Any]) -> str:
    return f"port {body['port']}" if "port" in body else f"serial number {body['serial_number']}"


class Gate:
    """Whether the station takes a request: it must name the station, come from no other site's
    page, carry the token where one is needed and send its body as JSON."""

    def __init__(self, host: str, allowed_hosts: Sequence[str], token: Optional[str]) -> None:
        self.host, self.token = host, token
        self.names = served_names(host, allowed_hosts)

    def authorised(self, request: web.Request) -> bool:
        if self.token is None:
            return True
        given = request.headers.get("Authorization", "")
        scheme, _, value = given.partition(" ")
        if scheme.lower() != "bearer":
            value = request.query.get("token", "")  # the page's own requests: a browser's EventSource sends no header
        # A header holds any byte; it compares unequal, never fails.
        return hmac.compare_digest(value.encode("utf-8", "surrogatepass"), self.token.encode())

    def needs_token(self, request: web.Request) -> bool:
        return self.token is not None and (request.method not in ("GET", "HEAD") or not loopback(self.host))

    def refusal(self, request: web.Request) -> Optional[web.Response]:
        """Why the station does not take this request, or None."""
        host = request.headers.get("Host")
        if host is not None and host_name(host) not in self.names | here(request):
            return error(403, f"this station is not {host_name(host)!r}: a page of another site may have been "
                         "resolved to its address; a name of the station's own can be given with --allow-host")
        origin = request.headers.get("Origin")
        if origin is not None and origin.lower() not in (f"http://{host}".lower(), f"https://{host}".lower()):
            return error(403, "a page of another site cannot use the station")
        if self.needs_token(request) and not self.authorised(request):
            return error(401, "missing or wrong token: send the header Authorization: Bearer TOKEN")
        if request.method == "POST" and request.content_type != "application/json":
            return error(415, "the body must be JSON, sent with the header Content-Type: application/json")
        return None
