"""send and download against the module's Python form (downloader/python_form.py), on random inputs.

The module has direct paths for exact ints, lists and bytes and object-protocol paths for the
rest; both must behave as the form's statements, run by the interpreter, whose lines are the
module's traceback lines. The form's download is checked in turn against the transfer as
documented, block by block. Every substitute object is built twice from one description, once
for the module and once for the form, so side effects cannot leak between the two.
"""
import builtins
import contextlib
import io
import random

import serial.serialutil
from hypothesis import event, given, strategies as st

import downloader
import form
from fakes import Image, Num, ack, module_entries_of
from hypothesis_profiles import PROPERTY

TOO_SHORT = "镜像太短，装不下镜像长度"


class Odd:
    """A number-like object whose one named operation raises."""

    def __init__(self, value, fails):
        self.value, self.fails = value, fails

    def __repr__(self):
        return "Odd(%r, %r)" % (self.value, self.fails)

    def _apply(self, op, result):
        if op == self.fails:
            raise ArithmeticError(op + " refused")
        return result()

    def __add__(self, other):
        return self._apply("add", lambda: self.value + other)

    __radd__ = __add__

    def __mul__(self, other):
        return self._apply("mul", lambda: self.value * other)

    def __mod__(self, other):
        return self._apply("mod", lambda: self.value % other)

    def __truediv__(self, other):
        return self._apply("truediv", lambda: self.value / other)

    def __eq__(self, other):
        return self._apply("eq", lambda: self.value == other)

    def __ne__(self, other):
        return self._apply("ne", lambda: self.value != other)

    __hash__ = None


class Frame(list):
    """A list subclass: item access through the object protocol."""


class Meddling(list):
    """A list whose item assignment also replaces Pcounter, as host code may."""

    def __setitem__(self, index, value):
        super().__setitem__(index, value)
        self.world.set("Pcounter", self.counter)


class World:
    """The globals one side reads and writes: the module's namespace, or the form's (a dict)."""

    def __init__(self, namespace=None):
        self.namespace = namespace

    def set(self, name, value):
        if self.namespace is None:
            setattr(downloader, name, value)
        else:
            self.namespace[name] = value

    def get(self, name):
        if name in self.namespace:
            return self.namespace[name]
        if hasattr(builtins, name):
            return getattr(builtins, name)
        raise NameError("name '%s' is not defined" % name)


def build(description):
    """A fresh object from its description (see the strategies)."""
    kind, value = description
    if kind == "num":
        return Num(value)
    if kind == "odd":
        return Odd(*value)
    if kind == "error":
        return value[0](value[1])
    return value  # ints, floats, bools, None, str: immutable already


class Port:
    """Stands in for ``ser``: converts what it writes as pyserial does; answers from a plan."""

    def __init__(self, world, replies=(), write_error=None, read_error=None):
        self.world, self.replies, self.written = world, list(replies), []
        self.write_error, self.read_error = write_error, read_error

    def write(self, data):
        if self.write_error:
            raise build(self.write_error)
        self.written.append(serial.serialutil.to_bytes(data))

    def read(self, size):
        if self.read_error:
            raise build(self.read_error)
        reply = self.replies.pop(0) if self.replies else b""
        return reply(self.written[-1]) if callable(reply) else reply


def form_world(*missing):
    """The form's globals, as its statements at the top leave them, less the names given."""
    namespace = form.run_form({})
    for name in missing:
        del namespace[name]
    return World(namespace)


def outcome(call, entries):
    """("returned", value) or ("raised", type, message, traceback entries) of call()."""
    try:
        return ("returned", call())
    except BaseException as e:  # KeyboardInterrupt included: it is one of the outcomes
        return ("raised", type(e), str(e), entries(e))


@contextlib.contextmanager
def module_namespace(**values):
    """Sets (or, for None, deletes) module globals; restores the namespace afterwards."""
    saved = dict(vars(downloader))
    try:
        for name, value in values.items():
            if value is None:
                vars(downloader).pop(name, None)
            else:
                setattr(downloader, name, value)
        yield
    finally:
        vars(downloader).clear()
        vars(downloader).update(saved)


def captured(call):
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        result = call()
    return result, output.getvalue()


# ---- send ----------------------------------------------------------------------------------

ODD_OPERATIONS = ["add", "mul", "mod", "truediv", "eq", "ne", None]
ints = st.integers(-1, 300)
odd = st.tuples(st.integers(0, 300), st.sampled_from(ODD_OPERATIONS)).map(lambda v: ("odd", v))
specials = st.one_of(
    st.sampled_from([("value", 1.5), ("value", 2.0), ("value", "x"), ("value", None), ("value", True),
                     ("value", 2 ** 70), ("value", -2 ** 40)]),
    ints.map(lambda v: ("num", v)),
    odd,
)
in_range = st.integers(0, 65535).map(lambda v: ("value", v))
counters = st.one_of(
    in_range, in_range, in_range, in_range,
    st.sampled_from([0, 1, 255, 256, 65535, 65536, -1, 2 ** 31, 2 ** 70, 10 ** 400]).map(lambda v: ("value", v)),
    st.integers().map(lambda v: ("value", v)),
    st.sampled_from([True, False, 0.0, 300.0, -1.5, 1e300, float("inf"), float("nan")]).map(lambda v: ("value", v)),
    st.integers(0, 65535).map(lambda v: ("num", v)),
    st.tuples(st.integers(0, 65535), st.sampled_from(ODD_OPERATIONS)).map(lambda v: ("odd", v)),
    st.just(("missing", None)),
)
validations = st.sampled_from([("value", v) for v in (0, 0, 1, True, 1.0, 2, None, "1")] + [("odd", (1, "eq"))])
errors = st.sampled_from([(OSError, "port gone"), (ValueError, "bad data"), (KeyboardInterrupt, "stop")])
containers = st.sampled_from(["list"] * 6 + ["subclass", "meddling", "tuple", "bytearray"])


@st.composite
def frames(draw):
    """(container, values, replaced items, meddling counter): mostly bytes, a few odd items."""
    n = draw(st.one_of(st.integers(0, 6), st.integers(5, 40), st.integers(0, 300)))
    values = random.Random(draw(st.integers(0, 2 ** 32))).choices(range(256), k=n)
    replaced = []
    if n and draw(st.booleans()):
        item = ints.map(lambda v: ("value", v)) | specials
        replaced = draw(st.lists(st.tuples(st.integers(0, n - 1), item), max_size=3))
    return draw(containers), values, replaced, draw(ints)


@st.composite
def replies(draw):
    """A reply: random bytes, or one built on the frame written (a device's answer), maybe damaged."""
    kind = draw(st.sampled_from(["random", "answer", "answer", "damaged"]))
    if kind == "random":
        return draw(st.binary(max_size=10)), draw(st.sampled_from(["bytes", "bytearray", "list"]))
    first, position, value = draw(st.integers(0, 255)), draw(st.integers(0, 5)), draw(st.integers(0, 255))
    return (kind, first, position, value), draw(st.sampled_from(["bytes", "bytes", "bytearray", "list", "odd"]))


def make_reply(description, world):
    spec, form = description

    def shape(data):
        data = bytes(data)
        if form == "bytearray":
            return bytearray(data)
        if form == "list":
            return list(data)
        if form == "odd":
            return [Odd(b, "add") if i == 2 else b for i, b in enumerate(data)]
        return data

    if isinstance(spec, bytes):
        return shape(spec)
    kind, first, position, value = spec

    def answer(frame):
        data = bytearray(ack(frame[1] + 256 * frame[2], first) if len(frame) > 2 else b"")
        if kind == "damaged" and position < len(data):
            data[position] = value
        elif kind == "damaged":
            data = data[:value % 6]
        return shape(data)

    return answer


def build_frame(description, world):
    container, values, replaced, counter = description
    items = list(values)
    for index, item in replaced:
        items[index] = build(item)
    if container == "tuple":
        return tuple(items)
    if container == "bytearray":
        return bytearray(v % 256 for v in values)
    if container == "subclass":
        return Frame(items)
    if container == "meddling":
        frame = Meddling(items)
        frame.world, frame.counter = world, counter
        return frame
    return items


@st.composite
def exchanges(draw):
    return dict(
        frame=draw(frames()),
        counter=draw(counters),
        validation=draw(validations),
        reply=draw(replies()),
        port=draw(st.sampled_from(["port"] * 6 + ["missing", "write", "read"])),
        error=draw(errors),
        keywords=draw(st.booleans()),
    )


def send_world(case, world):
    """Installs the case's Pcounter and ser in ``world``; returns the port (or None)."""
    kind, value = case["counter"]
    if kind != "missing":
        world.set("Pcounter", build(case["counter"]))
    if case["port"] == "missing":
        return None
    port = Port(world, [make_reply(case["reply"], world)],  # one reply: a second read gets none
                write_error=("error", case["error"]) if case["port"] == "write" else None,
                read_error=("error", case["error"]) if case["port"] == "read" else None)
    world.set("ser", port)
    return port


def calling(send, out, validation, keywords):
    if keywords:
        return lambda: send(res=validation, out=out)
    return lambda: send(out, validation)


@PROPERTY
@given(exchanges())
def test_send_matches_the_form(case):
    reference = form_world("Pcounter", "ser")
    reference_port = send_world(case, reference)
    out = build_frame(case["frame"], reference)
    call = calling(reference.namespace["send"], out, build(case["validation"]), case["keywords"])
    expected, expected_printed = captured(lambda: outcome(call, form.form_entries))

    with module_namespace(Pcounter=None, ser=None):
        world = World()
        port = send_world(case, world)
        module_out = build_frame(case["frame"], world)
        call = calling(downloader.send, module_out, build(case["validation"]), case["keywords"])
        result, printed = captured(lambda: outcome(call, module_entries_of))
        counter_after = repr(vars(downloader).get("Pcounter", "missing"))

    event(expected[1] if expected[0] == "returned" else "%s at %s" % (expected[1].__name__, expected[3]))
    assert result == expected
    if expected[0] == "returned":
        assert expected[1] in ("ok", "error", "length", "checksum", "counter")
    assert printed == expected_printed
    assert repr(module_out) == repr(out)
    assert (port and port.written) == (reference_port and reference_port.written)
    assert counter_after == repr(reference.namespace.get("Pcounter", "missing"))


# ---- download ------------------------------------------------------------------------------

FAULTS = ["checksum", "counter", "short", "none", "length", "write"]


def device(faults, calls):
    """A reply function for the block written: the right answer, unless this call's fault says."""

    def answer(frame):
        fault = faults.get(calls[0])
        data = bytearray(ack(frame[1] + 256 * frame[2], frame[0]))
        if fault == "checksum":
            data[4] ^= 1
        elif fault == "counter":
            data[1] ^= 1
            data[4] ^= 1
        elif fault == "short":
            data = data[:3]
        elif fault == "none":
            data = b""
        elif fault == "length":
            data[3], data[4] = 1, (data[4] + 1) % 256
        return bytes(data)

    return answer


class FlashPort(Port):
    def __init__(self, world, faults, calls):
        super().__init__(world)
        self.faults, self.calls, self.answer = faults, calls, device(faults, calls)

    def write(self, data):
        if self.faults.get(self.calls[0]) == "write":
            raise OSError("write failed")
        super().write(data)

    def read(self, size):
        return self.answer(self.written[-1])


def documented_download(world):
    """One download() call, as the module documents it: block by block, through the form's send."""
    n = world.get("Pcounter")
    print(n)
    image = world.get("res")
    length = len(image)
    if length <= 8:
        print(TOO_SHORT)
        return 0
    if 32 * n >= length:
        return 100
    payload = bytearray(image[32 * n: 32 * n + 32])
    if n == 0:
        size = len(payload)
        payload[6:10] = length.to_bytes(4, "little")
        del payload[size:]
    if world.get("send")([0x10, 0, 0, 0] + list(payload) + [0], 0) != "ok":
        print("send wrong")
        return 0
    n = n + 1
    world.set("Pcounter", n)
    if n > 65535:
        world.set("Pcounter", 0)
        print("计数值错误")
        return 0
    if 32 * n >= length:
        return 100
    return n * 3200 / length


IMAGE_FORMS = {"bytes": bytes, "subclass": Image, "bytearray": bytearray, "list": list}
START_FORMS = {"int": int, "subclass": Num, "bool": bool}


@st.composite
def transfers(draw):
    length = draw(st.integers(0, 5000))
    blocks = -(-length // 32)
    start = draw(st.just(0) | st.integers(0, blocks + 1))
    form = draw(st.sampled_from(sorted(START_FORMS) if start in (0, 1) else ["int", "subclass"]))
    return dict(
        image=random.Random(draw(st.integers(0, 2 ** 32))).getrandbits(8 * length + 8).to_bytes(
            length + 1, "little")[:length],
        image_form=draw(st.sampled_from(sorted(IMAGE_FORMS))),
        start=(form, start),
        faults=draw(st.dictionaries(st.integers(0, blocks + 12), st.sampled_from(FAULTS), max_size=12)),
    )


def flash(case, world, download):
    """Calls download until it returns 100 (and once more) or the plan is done."""
    calls = [0]
    world.set("res", IMAGE_FORMS[case["image_form"]](case["image"]))
    form, start = case["start"]
    world.set("Pcounter", START_FORMS[form](start))
    port = FlashPort(world, case["faults"], calls)
    world.set("ser", port)
    results = []
    limit = -(-len(case["image"]) // 32) + len(case["faults"]) + 2
    while calls[0] < limit and results.count(100) < 2:
        results.append(download())
        calls[0] += 1
    return [(type(r).__name__, r) for r in results], port.written


@PROPERTY
@given(transfers())
def test_download_matches_the_form_and_the_form_the_documented_transfer(case):
    reference = form_world()
    expected, expected_printed = captured(lambda: flash(case, reference, reference.namespace["download"]))
    documented = form_world()
    assert captured(lambda: flash(case, documented, lambda: documented_download(documented))) == (
        expected, expected_printed)
    assert documented.namespace["Pcounter"] == reference.namespace["Pcounter"]
    with module_namespace():
        world = World()
        (results, written), printed = captured(lambda: flash(case, world, downloader.download))
        counter = downloader.Pcounter
    event("results: " + " ".join(sorted({str(r) if r in (0, 100) else "progress" for _, r in expected[0]})))
    assert results == expected[0]
    assert written == expected[1]
    assert printed == expected_printed
    assert (type(counter), counter) == (type(reference.namespace["Pcounter"]), reference.namespace["Pcounter"])
