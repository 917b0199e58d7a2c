import contextlib
import os
import select
import signal
import subprocess
import sys
import time
import tty

import pytest
import serial
from hypothesis import given, strategies as st

from downloader_sim import (STATE_FIELDS, RunReport, Simulator, block_count, block_request, expected_image,
                            reply, request)
from downloader_sim import server
from downloader_sim.server import TRANSPORTS
from downloader_sim.parser import FrameParser
from fakes import eventually, sha
from tool_processes import links_of


# For the tests of what the line carries: the device, its faults and its timing are the same on
# each transport. The others run on the default one.
on_every_transport = pytest.mark.parametrize("transport", TRANSPORTS)


def exchange(ser, frame):
    ser.write(frame)
    return ser.read(5)


def unanswered(ser, frame, quiet=0.2):
    """Whether nothing comes back within ``quiet`` seconds of writing ``frame``.

    Only silence waits this short: a reply is always awaited with the port's own timeout,
    so a simulator slowed by a busy machine is not mistaken for a wrong one.
    """
    timeout, ser.timeout = ser.timeout, quiet
    try:
        ser.write(frame)
        return ser.read(1) == b""
    finally:
        ser.timeout = timeout


def send_image(ser, image, blocks=None):
    for n in range(block_count(len(image))) if blocks is None else blocks:
        assert exchange(ser, block_request(image, n)) == reply(0x10, n)


@pytest.mark.parametrize("frame, answer", [
    ("00 01 00 00 01", "00 01 00 00 01"),
    ("20 02 01 00 23", "20 02 01 00 23"),
    ("20 00 00 00 20", "20 00 00 00 20"),
    ("10 05 00 03 AA BB CC 49", "10 05 00 00 15"),
    ("00 FF FF 00 FE", "00 FF FF 00 FE"),
    ("00 07 00 02 01 02 0C", "00 07 00 00 07"),   # payload on a heartbeat is ignored
])
def test_reply_is_command_counter_zero_checksum(ser, frame, answer):
    assert exchange(ser, bytes.fromhex(frame)) == bytes.fromhex(answer)


@on_every_transport
@pytest.mark.parametrize("process", [False, True], ids=["thread", "process"])
@pytest.mark.parametrize("length", [9, 10, 32, 64, 70, 100])
def test_image_is_reassembled(make_sim, open_port, process, length):
    image = os.urandom(length)
    sim = make_sim(process=process)
    ser = open_port(sim)
    assert exchange(ser, request(0x00, 1)) == reply(0x00, 1)
    send_image(ser, image)
    count = block_count(length)
    assert exchange(ser, request(0x20, count)) == reply(0x20, count)
    report = RunReport(counter=count, length=length, blocks_expected=count,
                       blocks_received=count, missing=(), wrong_size=(), extra=(),
                       duplicates=0, sha256=sha(expected_image(image)), complete=True)
    assert sim.reports == [report]
    assert sim.image == expected_image(image)
    assert (sim.length, sim.heartbeats, sim.runs) == (length, 1, 1)
    assert {name: getattr(sim, name) for name in STATE_FIELDS} == vars(sim.snapshot())
    sim.close()
    assert sim.reports == [report]
    assert sim.log == [(0x00, 1, 0)] + [(0x10, n, min(32, length - 32 * n))
                                        for n in range(count)] + [(0x20, count, 0)]


def test_report_on_partial_image_and_new_image_after_run(sim, ser):
    image = bytes(range(100))
    send_image(ser, image, [0, 2, 2])
    ser.write(request(0x10, 7, b"xy"))      # past the end, and of the wrong size
    ser.read(5)
    exchange(ser, request(0x20, 9))
    held = expected_image(image[:32]) + bytes(32) + image[64:96] + bytes(4)
    assert sim.reports[-1] == RunReport(
        counter=9, length=100, blocks_expected=4, blocks_received=3, missing=(1, 3),
        wrong_size=(), extra=(7,), duplicates=1, sha256=sha(held), complete=False)
    assert sim.duplicates == [2]
    send_image(ser, image, [1])             # the first block after a run opens a new image
    exchange(ser, request(0x20, 2))
    assert sim.reports[-1] == RunReport(
        counter=2, length=None, blocks_expected=None, blocks_received=1, missing=(0,),
        wrong_size=(), extra=(), duplicates=0, sha256=sha(bytes(32) + image[32:64]),
        complete=False)


def test_short_block_is_flagged_wrong_size(sim, ser):
    image = bytes(range(70))
    send_image(ser, image, [0, 1])
    exchange(ser, request(0x10, 2, image[64:68]))
    exchange(ser, request(0x20, 3))
    report = sim.reports[-1]
    assert (report.wrong_size, report.missing, report.complete) == ((2,), (), False)


@on_every_transport
@pytest.mark.parametrize("noise", [
    b"\xff\xfe\x01", b"\x00", b"\x20", b"\x10\xaa\xbb", b"\x10\x05\x00\x01\x07",
])
def test_garbage_before_a_frame_is_skipped(sim, ser, noise):
    assert exchange(ser, noise + request(0x00, 1)) == reply(0x00, 1)
    assert (sim.garbage_bytes, sim.bad_checksums, sim.heartbeats) == (len(noise), 0, 1)


@on_every_transport
def test_bad_checksum_frame_is_dropped_unanswered(sim, ser):
    assert unanswered(ser, bytes.fromhex("10 05 00 03 AA BB CC 4A"))
    assert exchange(ser, request(0x00, 6)) == reply(0x00, 6)
    assert (sim.bad_checksums, sim.garbage_bytes, sim.blocks) == (1, 0, frozenset())


@on_every_transport
@pytest.mark.parametrize("fragment", [
    bytes.fromhex("10 05 00 15"),                  # the host's 4-byte frame
    request(0x10, 3, bytes(range(1, 33)))[:20],    # a block cut short
    bytes.fromhex("10 AA BB CC"),                  # claims 209 bytes
])
def test_incomplete_frame_is_garbage_once_the_line_is_quiet(make_sim, open_port, fragment):
    sim = make_sim(idle_ms=30)
    ser = open_port(sim)
    assert unanswered(ser, fragment)
    # The line is quiet only once the simulator has seen it so; a busy machine can delay that.
    assert eventually(lambda: sim.garbage_bytes == len(fragment))
    assert exchange(ser, request(0x00, 1)) == reply(0x00, 1)
    assert (sim.garbage_bytes, sim.frames, sim.rx) == (
        len(fragment), 1, fragment + request(0x00, 1))


@on_every_transport
def test_long_claimed_frame_gives_way_to_a_real_one_after_idle(make_sim, open_port):
    sim = make_sim(idle_ms=30)
    ser = open_port(sim)
    start = time.monotonic()
    assert exchange(ser, bytes.fromhex("10 AA BB CC") + request(0x00, 1)) == reply(0x00, 1)
    assert 0.03 <= time.monotonic() - start < 1
    assert sim.garbage_bytes == 4


@st.composite
def chunked_frames(draw):
    frames = draw(st.lists(st.builds(
        request, st.sampled_from([0x00, 0x10, 0x20]), st.integers(0, 0xFFFF),
        st.binary(max_size=40)), max_size=8))
    stream = b"".join(frames)
    cuts = sorted(draw(st.lists(st.integers(0, len(stream)), max_size=6)))
    return frames, [stream[a:b] for a, b in zip([0] + cuts, cuts + [len(stream)])]


@given(chunked_frames())
def test_parser_finds_frames_however_the_stream_is_cut(case):
    frames, chunks = case
    parser = FrameParser()
    found = [f for chunk in chunks for f in parser.feed(chunk)] + parser.flush()
    assert (found, parser.garbage_bytes, parser.bad_checksums) == (frames, 0, 0)


@given(st.binary(max_size=600))
def test_parser_survives_any_bytes(data):
    parser = FrameParser()
    frames = parser.feed(data) + parser.flush()
    assert not parser.pending
    assert all(f[-1] == sum(f[:-1]) & 0xFF and len(f) == f[3] + 5 for f in frames)


# (knobs, request, replies to it sent three times, blocks held, blocks not acknowledged)
FAULTS = [
    (dict(reject={3: 2}), request(0x10, 3, b"abc"),
     ["10 03 00 00 14", "10 03 00 00 14", "10 03 00 00 13"], [3], [3, 3]),
    (dict(bad_checksum_commands={"heartbeat"}), request(0x00, 1),
     ["00 01 00 00 02"] * 3, [], []),
    (dict(bad_counter_blocks={3: 1}), request(0x10, 3, b"abc"),
     ["10 04 00 00 14", "10 03 00 00 13", "10 03 00 00 13"], [3], [3]),
    (dict(bad_length_blocks=3), request(0x10, 3, b"abc"), ["10 03 00 01 14"] * 3, [], [3, 3, 3]),
    (dict(short_reply_commands={0x20: 2}), request(0x20, 3),
     ["20 03 00 00", "20 03 00 00", "20 03 00 00 23"], [], []),
    (dict(no_reply_blocks={3: 1}), request(0x10, 3, b"abc"),
     ["", "10 03 00 00 13", "10 03 00 00 13"], [3], [3]),
    (dict(no_reply_commands={"block"}), request(0x10, 3, b"abc"), [""] * 3, [], [3, 3, 3]),
    (dict(extra_reply_blocks={3: 1}), request(0x10, 3, b"abc"),
     ["10 03 00 00 13 10 03 00 00 13", "10 03 00 00 13", "10 03 00 00 13"], [3], []),
    (dict(extra_reply_commands={"heartbeat"}, extra_bytes=b"\xee"), request(0x00, 1),
     ["00 01 00 00 01 EE"] * 3, [], []),
]


@on_every_transport
@pytest.mark.parametrize("knobs, frame, answers, held, nacked", FAULTS)
def test_fault_knobs(make_sim, open_port, knobs, frame, answers, held, nacked):
    sim = make_sim(**knobs)
    ser = open_port(sim)
    got = []
    for answer in answers:
        expected = bytes.fromhex(answer)
        if expected:
            ser.write(frame)
            got.append(ser.read(len(expected)).hex(" ").upper())
        else:
            got.append("" if unanswered(ser, frame) else "a reply")
    # Any byte more than expected shows up in the next exchange, or here after the last.
    assert (got, unanswered(ser, b"")) == (answers, True)
    assert (sorted(sim.blocks), sim.nacked) == (held, nacked)


@on_every_transport
def test_delayed_reply_holds_back_the_next(make_sim, open_port):
    sim = make_sim(delay_ms=150, delay_blocks={1})
    ser = open_port(sim)
    start = time.monotonic()
    ser.write(request(0x10, 1, b"a") + request(0x00, 2))
    assert ser.read(10) == reply(0x10, 1) + reply(0x00, 2)
    assert 0.15 <= time.monotonic() - start < 1
    assert sim.blocks == frozenset([1])


def stopped(proc, timeout):
    """Ends the simulator's process with SIGTERM, as Ctrl-C does, and returns its output. One that
    has not ended within `timeout` seconds is killed and reaped, and the test fails. (SIGINT would
    be ignored when the suite itself runs as a shell's background job, whose children start with
    SIGINT ignored.)"""
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise


def served(knobs, flags):
    """A simulator with these knobs: in this process (flags None), or `python -m downloader_sim`."""
    if flags is None:
        sim = Simulator(**knobs).start()
        return sim.url, sim.close
    proc = subprocess.Popen([sys.executable, "-m", "downloader_sim", *flags], stdout=subprocess.PIPE,
                            text=True, cwd=os.path.dirname(os.path.dirname(__file__)))
    return proc.stdout.readline().strip(), lambda: stopped(proc, 10)


@pytest.mark.parametrize("knobs, flags", [
    ({}, None), ({"transport": "tcp"}, None), ({}, []), ({}, ["--tcp", "0"]),
], ids=["Simulator", "Simulator over TCP", "command line", "command line over TCP"])
def test_delay_alone_delays_every_reply(knobs, flags):
    url, stop = served(dict(knobs, delay_ms=100), None if flags is None else flags + ["--delay-ms", "100"])
    try:
        with serial.serial_for_url(url, baudrate=12000000, timeout=1) as ser:
            for frame in (request(0x00, 1), block_request(bytes(40), 0), request(0x20, 1)):
                start = time.monotonic()
                assert exchange(ser, frame) == reply(frame[0], frame[1])
                assert 0.1 <= time.monotonic() - start < 1
    finally:
        stop()


@on_every_transport
@pytest.mark.slow
def test_reply_later_than_the_timeout_shifts_the_next_exchange(make_sim, open_port):
    sim = make_sim(delay_ms=1300, delay_blocks={2: 1})
    ser = open_port(sim)
    frame = request(0x10, 2, b"abc")
    assert exchange(ser, frame) == b""
    assert exchange(ser, frame) == reply(0x10, 2)     # the late one
    assert exchange(ser, request(0x00, 3)) == reply(0x10, 2)
    assert sim.duplicates == [2]


@on_every_transport
def test_disconnect_after_block(make_sim, open_port):
    sim = make_sim(disconnect_after_block=1)
    ser = open_port(sim)
    send_image(ser, bytes(100), [0, 1])
    with pytest.raises(serial.SerialException):
        ser.write(block_request(bytes(100), 2))
        ser.read(5)
    assert (sim.disconnected, sorted(sim.blocks)) == (True, [0, 1])


def test_a_tcp_host_may_leave_mid_frame_and_connect_again(make_sim, open_port):
    sim = make_sim(transport="tcp")
    first = open_port(sim)
    first.write(request(0x10, 3, b"abc")[:4])
    first.close()
    second = open_port(sim)     # served once the device has seen the first one go
    assert exchange(second, request(0x00, 1)) == reply(0x00, 1)
    assert (sim.garbage_bytes, sim.heartbeats, sim.frames) == (4, 1, 1)


@pytest.mark.parametrize("knobs, message", [
    (dict(no_reply=3), "unknown fault: no_reply"),
    (dict(reject={70000: 1}), "block number out of range 0..65535: 70000"),
    (dict(no_reply_commands={"reset"}), "unknown command: 'reset'"),
    (dict(delay_blocks={1}), "a delay selection needs delay_ms"),
    (dict(transport="serial"), "unknown transport 'serial'; one of pty, tcp"),
    (dict(transport="tcp", address="localhost:x"), "not [HOST:]PORT: 'localhost:x'"),
    (dict(transport="tcp", address="70000"), "TCP port out of range 0..65535: 70000"),
    (dict(transport="tcp", tty="/dev/ttyS0"), "a tty is served as it is; it takes no transport"),
])
def test_bad_knobs_are_refused(knobs, message):
    with pytest.raises((TypeError, ValueError)) as info:
        Simulator(**knobs)
    assert str(info.value) == message


@on_every_transport
@pytest.mark.parametrize("process", [False, True], ids=["thread", "process"])
def test_close_ends_the_line(make_sim, open_port, process):
    sim = make_sim(process=process)
    ser = open_port(sim)
    assert exchange(ser, request(0x00, 1)) == reply(0x00, 1)
    sim.close()
    with pytest.raises(serial.SerialException):
        ser.write(request(0x00, 2))
        ser.read(5)
    assert sim.heartbeats == 1


@pytest.mark.slow
def test_largest_image_and_counter_overflow(make_sim, open_port):
    image = os.urandom(2097121)          # one byte more than the largest that completes
    sim = make_sim(process=True)
    ser = open_port(sim)
    send_image(ser, image)               # blocks 0..65535, the last with 1 byte
    send_image(ser, image, [0])          # the host starts over after the overflow
    exchange(ser, request(0x20, 1))
    report = sim.reports[-1]
    assert (report.length, report.blocks_received, report.duplicates, report.complete,
            report.sha256) == (2097121, 65536, 1, True, sha(expected_image(image)))


def test_command_line(tmp_path):
    proc = subprocess.Popen([sys.executable, "-m", "downloader_sim", "--reject", "0:1"],
                            stdout=subprocess.PIPE, text=True,
                            cwd=os.path.dirname(os.path.dirname(__file__)))
    try:
        port = proc.stdout.readline().strip()
        image = bytes(range(40))
        with serial.Serial(port, 12000000, timeout=1) as ser:
            assert exchange(ser, block_request(image, 0)) == bytes.fromhex("10 00 00 00 11")
            send_image(ser, image)
            exchange(ser, request(0x20, 2))
            line = proc.stdout.readline()
    finally:
        out, _ = stopped(proc, 30)
    assert line == "run counter=2: 40 bytes, 2/2 blocks, sha256 %s, complete\n" % sha(
        expected_image(image))
    assert out == "stopped: 4 frames (0 heartbeats, 1 runs), 0 garbage bytes, 0 bad checksums\n"
    assert proc.returncode == 0


def _read_reply(fd, size=5, timeout=5.0):
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < size and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if ready:
            data += os.read(fd, size - len(data))
    return data


def holders_of(path):
    """This process and its children that hold `path` open, or what was at `path` before it went."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError, ValueError):
            with open(f"/proc/{pid}/stat") as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            if os.getpid() in (int(pid), parent) and {path, path + " (deleted)"} & set(links_of(pid)):
                found.append(int(pid))
    return found


@pytest.mark.parametrize("process", [False, True], ids=["thread", "process"])
def test_serves_an_existing_tty_in_raw_mode_until_it_goes(make_sim, process):
    """The device side of a link made elsewhere (here a pty pair in its default, cooked mode)."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    try:
        sim = make_sim(process=process, tty=path)
        assert sim.port == path
        # 0x0D would become 0x0A on a cooked line, and an echo would come back first.
        frame = block_request(bytes(range(13, 45)), 0)
        os.write(master, frame)
        assert _read_reply(master) == reply(0x10, 0)
        os.write(master, request(0x00, 0x0D0A))
        assert _read_reply(master) == reply(0x00, 0x0D0A)
    finally:
        os.close(master)        # the line hangs up for good: the simulator stops serving it
    assert eventually(lambda: not holders_of(path)), "the simulator still holds a tty that has gone"
    sim.close()
    assert (sim.heartbeats, sorted(sim.blocks)) == (1, [0])


def _pty_named(path, within):
    """Open ptys until one gets `path` (freed ptys' numbers are handed out again, lowest first)."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        master, slave = os.openpty()
        if os.ttyname(slave) == path:
            return master, slave
        os.close(master)
        os.close(slave)
        time.sleep(0.01)
    pytest.skip("another process took %s first" % path)


def test_a_pty_that_went_is_not_confused_with_a_new_one_on_its_path(make_sim, monkeypatch):
    """Once the host's end is closed, the next pty given that path belongs to someone else."""
    monkeypatch.setattr(server, "REOPEN_DELAY", 1.0)
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    sim = make_sim(tty=path)
    os.write(master, request(0x00, 1))
    assert _read_reply(master) == reply(0x00, 1)
    os.close(master)
    master, slave = _pty_named(path, within=0.8)
    try:
        tty.setraw(slave)
        os.write(master, request(0x00, 2))
        assert _read_reply(master, timeout=1.5) == b""
    finally:
        os.close(master)
        os.close(slave)
    sim.close()
    assert sim.heartbeats == 1
