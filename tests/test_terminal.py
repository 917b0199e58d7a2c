"""The command in a real terminal (tmux), at 80 and 60 columns: what is left on the screen."""
import itertools
import os
import re
import shlex
import shutil
import subprocess
import sys

import pytest

from fakes import eventually

pytestmark = [pytest.mark.once,
              pytest.mark.skipif(not shutil.which("tmux"), reason="needs tmux (CI installs it: apt-get install tmux)")]

TOOL = f"{shlex.quote(sys.executable)} -m downloader_flash"
DONE = "exit status"
SOCKETS = itertools.count()
BAR_TEXT = re.compile(r"\d+%\||KiB/s\]|\|\s*\d")


class Terminal:
    """A tmux server of its own, with one window of the given size."""

    def __init__(self, socket, columns, lines=30):
        self.socket, self.columns = socket, columns
        self.tmux("new-session", "-d", "-x", str(columns), "-y", str(lines), "bash --norc --noprofile")
        self.tmux("set-option", "-g", "status", "off")

    def tmux(self, *args):
        done = subprocess.run(["tmux", "-L", self.socket, *args], capture_output=True, text=True,
                              env=dict(os.environ, TERM="xterm-256color"))
        assert done.returncode == 0, done.stderr
        return done.stdout

    def run(self, command):
        self.tmux("send-keys", "-t", "0", f"clear; {command}; echo {DONE} $?", "Enter")

    def screen(self, joined=False):
        return self.tmux("capture-pane", "-p", "-t", "0", *(["-J"] if joined else []))

    def finished(self):
        return re.search(rf"^{DONE} (\d+)$", self.screen(), re.M)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


@pytest.fixture
def terminal(request):
    made = []

    def make(columns):
        made.append(Terminal(f"downloader-test-{os.getpid()}-{next(SOCKETS)}", columns))
        return made[-1]

    yield make
    for term in made:
        term.close()


def table_rows(screen, devices):
    lines = screen.splitlines()
    start = next((i for i, line in enumerate(lines) if line.startswith("port")), None)
    assert start is not None, screen
    return lines[start:start + 1 + devices]


def unwrapped(screen):
    return [line.rstrip() for line in screen.splitlines()]


@pytest.mark.pty
@pytest.mark.parametrize("columns", [80, 60])
def test_the_table_is_printed_on_a_clean_screen_in_port_order_without_wrapping(terminal, columns):
    term = terminal(columns)
    term.run(f"{TOOL} --simulate 4 --all --sample 100000")
    assert eventually(term.finished, 90), term.screen()
    screen = term.screen()
    assert term.finished().group(1) == "0"
    rows = table_rows(screen, 4)
    assert not any(BAR_TEXT.search(line) for line in screen.splitlines()), screen
    assert unwrapped(screen) == unwrapped(term.screen(joined=True)), "a line wrapped:\n" + screen
    assert all(len(row) <= columns for row in rows)
    assert [row.split()[2] for row in rows[1:]] == ["flashed"] * 4, screen
    ports = [row.split()[0] for row in rows[1:]]
    assert ports == sorted(ports, key=lambda port: int(port.rsplit("/", 1)[-1]))
    print(screen)  # shown with -s: the table as a person sees it


@pytest.mark.pty
def test_ctrl_c_leaves_each_device_once_and_no_bar_behind(terminal):
    term = terminal(80)
    term.run(f"{TOOL} --simulate 2 --all --sample 2000000")
    assert eventually(lambda: len(re.findall(r" [1-9]\d*%\|", term.screen())) >= 2, 60), term.screen()  # both moving
    term.tmux("send-keys", "-t", "0", "C-c")
    assert eventually(term.finished, 30), term.screen()
    screen = term.screen()
    assert term.finished().group(1) == "130"
    assert not any(BAR_TEXT.search(line) for line in screen.splitlines()), screen
    rows = table_rows(screen, 2)[1:]
    assert sorted(row.split()[1:3] for row in rows) == [["SIM0001", "interrupted"], ["SIM0002", "interrupted"]]
    assert screen.count("SIM0001") == 1 and screen.count("SIM0002") == 1, screen


# Two bars, then a line said from another thread (as the station's server says its lines), a
# redraw, and the screen held until the FIFO in argv[1] is written (a key typed would be echoed).
SAID_WHILE_DRAWN = """
import sys, threading
from downloader_flash import DeviceKey, Image, Settings
from downloader_flash.model import Job
from downloader_flash.render import Screen, say
from downloader_wire import BLOCK_SIZE
image = Image(bytes(64 * 1024), "fw.bin")
blocks = len(image.data) // BLOCK_SIZE
screen = Screen(Settings(), image, sys.stdout)
jobs = [Job(DeviceKey(port, None), image.data, "fw.bin", 0, None, 0.0) for port in ("/dev/ttyACM0", "/dev/ttyACM1")]
for job in jobs:
    screen.rated_progress(job, blocks // 4, blocks, 40.0)
screen.bars.draw()
saying = threading.Thread(target=say, args=("said while the bars are drawn",))
saying.start()
saying.join()
for job in jobs:
    screen.rated_progress(job, blocks // 2, blocks, 40.0)
screen.bars.draw()
open(sys.argv[1]).read()
screen.close_bars()
"""


@pytest.mark.pty
def test_a_line_said_while_bars_are_drawn_lands_above_them_and_the_bars_go_at_the_end(terminal, tmp_path):
    script, go = tmp_path / "said.py", tmp_path / "go"
    script.write_text(SAID_WHILE_DRAWN)
    os.mkfifo(go)
    term = terminal(80)
    term.run(f"{shlex.quote(sys.executable)} {shlex.quote(str(script))} {shlex.quote(str(go))}")
    said = "downloader-flash: said while the bars are drawn"

    def below_said():
        lines = [line.rstrip() for line in term.screen().splitlines() if line.strip()]
        return lines[lines.index(said) + 1:] if lines.count(said) == 1 else None

    assert eventually(lambda: below_said() and " 50%|" in below_said()[-1], 30), term.screen()
    assert [(line.split(":")[0], " 50%|" in line) for line in below_said()] == [
        ("/dev/ttyACM0", True), ("/dev/ttyACM1", True)], term.screen()
    go.write_text("go")
    assert eventually(term.finished, 30), term.screen()
    assert said in term.screen() and not any(BAR_TEXT.search(line) for line in term.screen().splitlines())
