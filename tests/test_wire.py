"""The wire rules shared by the simulator, the flashing tool and the benchmarks, against known
frames and against what the module itself writes."""
import pytest

import downloader
import downloader_wire as wire
from fakes import module_state, port  # noqa: F401

IMAGE_70 = bytes(range(1, 71))


@pytest.mark.parametrize("frame, wire_bytes", [
    (wire.request(wire.RUN, 258), "20 02 01 00 23"),
    (wire.request(wire.RUN, 0), "20 00 00 00 20"),
    (wire.request(wire.BLOCK, 5, bytes.fromhex("AA BB CC")), "10 05 00 03 AA BB CC 49"),
    (wire.request(wire.HEARTBEAT, 65535), "00 FF FF 00 FE"),
    (wire.request(wire.HEARTBEAT, 1, bytes(255)), "00 01 00 FF" + " 00" * 255 + " 00"),
    (wire.reply(wire.HEARTBEAT, 1), "00 01 00 00 01"),
    (wire.reply(wire.BLOCK, 5), "10 05 00 00 15"),
    (wire.block_request(IMAGE_70, 0), "10 00 00 20 01 02 03 04 05 06 46 00 00 00 0b 0c 0d 0e 0f 10 11 12 13 14 15 16"
                                      " 17 18 19 1a 1b 1c 1d 1e 1f 20 64"),
    (wire.block_request(IMAGE_70, 2), "10 02 00 06 41 42 43 44 45 46 ad"),
    # A 9-byte image: only the three low length bytes fit in front of the checksum.
    (wire.block_request(bytes(range(1, 10)), 0), "10 00 00 09 01 02 03 04 05 06 09 00 00 37"),
])
def test_known_frames(frame, wire_bytes):
    assert frame == bytes.fromhex(wire_bytes)
    assert wire.has_valid_checksum(frame)
    assert wire.frame_size(frame) == len(frame)


def test_a_frame_reads_back():
    frame = wire.block_request(IMAGE_70, 258)
    assert (wire.frame_counter(frame), wire.frame_payload(frame)) == (258, b"")
    frame = wire.request(wire.BLOCK, 513, b"xyz")
    assert (wire.frame_counter(frame), wire.frame_payload(frame)) == (513, b"xyz")
    assert not wire.has_valid_checksum(frame[:-1] + bytes(((frame[-1] + 1) & 0xFF,)))


@pytest.mark.parametrize("make, message", [
    (lambda: wire.request(wire.HEARTBEAT, -1), "counter out of range 0..65535: -1"),
    (lambda: wire.reply(wire.BLOCK, 65536), "counter out of range 0..65535: 65536"),
    (lambda: wire.request(wire.BLOCK, 0, bytes(256)), "payload too long: 256 bytes"),
])
def test_frames_that_cannot_be_sent_are_refused(make, message):
    with pytest.raises(ValueError) as excinfo:
        make()
    assert str(excinfo.value) == message


@pytest.mark.parametrize("length, sizes", [
    (9, [9]), (32, [32]), (33, [32, 1]), (64, [32, 32]), (70, [32, 32, 6]), (100, [32, 32, 32, 4]),
])
def test_block_geometry(length, sizes):
    image = bytes(range(256)) * (length // 256) + bytes(range(length % 256))
    assert wire.block_count(length) == len(sizes)
    assert [wire.block_size(length, n) for n in range(len(sizes) + 1)] == sizes + [0]
    payloads = [wire.block_payload(image, n) for n in range(len(sizes))]
    assert [len(payload) for payload in payloads] == sizes
    # What the blocks carry, with block 0's length field blanked, is the image as the device holds it.
    assert wire.without_length(b"".join(payloads)) == wire.device_image(image)
    assert wire.carried_length(payloads[0]) == length % (1 << 8 * min(4, length - 6))


def test_image_bounds():
    assert (wire.SMALLEST_IMAGE, wire.LARGEST_IMAGE) == (9, 2097120)
    assert wire.block_count(wire.LARGEST_IMAGE) == wire.MAX_COUNTER
    assert wire.block_count(wire.LARGEST_IMAGE + 1) == wire.MAX_COUNTER + 1


@pytest.mark.parametrize("image, held", [
    (IMAGE_70[:12], "01 02 03 04 05 06 00 00 00 00 0b 0c"),
    (IMAGE_70[:8], "01 02 03 04 05 06 00 00"),
    (IMAGE_70[:6], "01 02 03 04 05 06"),
    (b"", ""),
])
def test_device_image_has_zeros_where_block_0_carries_the_length(image, held):
    assert wire.device_image(image) == bytes.fromhex(held)
    assert wire.device_image(bytearray(image)) == bytes.fromhex(held)


@pytest.mark.parametrize("length", [9, 64, 70, 100])
def test_the_module_writes_the_frames_the_rules_describe(port, tmp_path, length):  # noqa: F811
    """The module's own frames for a heartbeat, every block and the run command."""
    image = bytes((i * 7 + 3) & 0xFF for i in range(length))
    path = tmp_path / "image.bin"
    path.write_bytes(image)
    downloader.Pcounter = 41
    assert downloader.beat() == "beated"
    assert downloader.init(str(path))
    while downloader.download() != 100:
        pass
    assert downloader.run()
    blocks = wire.block_count(length)
    assert port.written == ([wire.request(wire.HEARTBEAT, 42)]
                            + [wire.block_request(image, n) for n in range(blocks)]
                            + [wire.request(wire.RUN, blocks)])
    assert [call for call in port.calls if isinstance(call, tuple)] == [("read", wire.REPLY_SIZE)] * (blocks + 2)


def test_the_module_looks_for_the_devices_usb_ids(monkeypatch, module_state):  # noqa: F811
    import serial.tools.list_ports
    from serial.tools.list_ports_common import ListPortInfo

    def info(device, vid, pid):
        found = ListPortInfo(device, skip_link_detection=True)
        found.vid, found.pid = vid, pid
        return found

    listed = [info("/dev/ttyACM0", wire.PRODUCT_ID, wire.VENDOR_ID), info("/dev/ttyACM1", wire.VENDOR_ID, wire.PRODUCT_ID)]
    monkeypatch.setattr(serial.tools.list_ports, "comports", lambda: listed)
    assert downloader.dev_existing()[0] == "/dev/ttyACM1"
