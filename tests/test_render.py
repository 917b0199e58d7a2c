"""What the command draws: the table at any width, bars in port order."""
import io

import pytest

from downloader_flash import Attempt, Device, DeviceKey, FlashResult, Image, Settings, cli
from downloader_flash.model import Job
from downloader_flash.render import TABLE_HEADER, Bars, Screen, fitted, say

ROWS = [TABLE_HEADER] + [
    (f"/dev/serial/by-id/usb-maker_board_{n:04d}-if00", f"SN-{n:012d}", "interrupted", "62,500", "12", "123.45",
     "1,234.5") for n in (3, 12)]


@pytest.mark.parametrize("columns", [120, 80, 60, 40, 24])
def test_the_table_never_exceeds_the_width_and_keeps_port_and_result(columns):
    lines = fitted(ROWS, columns).splitlines()
    assert len(lines) == 3 and all(len(line) <= columns for line in lines)
    assert lines[0].split()[0] == "port" and "result" in lines[0]
    assert all("interrupted" in line for line in lines[1:])
    if columns >= 120:
        assert lines[0].split() == [word for name in TABLE_HEADER for word in name.split()]


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_bars_are_drawn_in_port_order_and_close_up_when_one_ends():
    bars = Bars(Terminal(), 100.0)
    ports = ("/dev/ttyACM10", "/dev/ttyACM2", "/dev/ttyACM9")
    for port in ports:
        bars.update(DeviceKey(port, None), port, 100.0, 52.5)  # a finished bar is drawn at once
    shown = [str(line) for line in bars.lines]
    assert [line.split(":")[0] for line in shown] == ["/dev/ttyACM2", "/dev/ttyACM9", "/dev/ttyACM10"]
    assert all(line.endswith("52.50KiB/s]") for line in shown)  # the worker's, not timed here
    bars.remove(DeviceKey("/dev/ttyACM2", None))
    assert [str(line).split(":")[0] for line in bars.lines] == ["/dev/ttyACM9", "/dev/ttyACM10"]
    bars.close()
    assert not bars and not bars.lines


HOSTILE = "SN\x1b]0;owned\x07\x9b2J\u202e"  # sets the window's title, clears the screen (C1), reverses the text


@pytest.mark.parametrize("mode", ["list", "watch", "all", "bar", "say"])
def test_text_from_the_device_reaches_the_terminal_escaped(mode, capsys):
    device = Device("/dev/ttyACM0", HOSTILE, "1-1", f"board {HOSTILE}")
    job = Job(device.key, bytes(64), "/srv/fw.bin", 0, None, 0.0)
    screen = Screen(Settings(watch=mode == "watch", all=mode == "all"), Image(bytes(64), "/srv/fw.bin"), Terminal())
    screen.bars = Bars(Terminal(), 0.0625)
    if mode == "list":
        print(cli.listing([device]))
    elif mode == "bar":
        screen.rated_progress(job, 1, 2, None)
    elif mode == "say":
        say(f"no device has the serial number {HOSTILE}")
    else:
        flashed = FlashResult(device.device, HOSTILE, 64, 2, 0, 0.1, "0" * 64, "0" * 64, True)
        screen.attempt_ended(job, Attempt(device.device, HOSTILE, "flashed", flashed=flashed), True, None)
        screen.summary_table()
    shown = "".join(capsys.readouterr()) + screen.out.getvalue() + screen.bars.stream.getvalue()
    assert HOSTILE.encode("unicode_escape").decode() in shown
    assert not any(code in shown for code in ("\x1b]", "\x07", "\x9b", "\u202e"))
