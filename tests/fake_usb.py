"""Fake USB serial devices for pyserial's Linux enumeration, inside a private mount namespace.

    unshare -m --propagation private sh -c "$SETUP; exec python DRIVER"

SETUP lays a writable overlay over /dev and an empty tmpfs over /sys/class/tty; the driver then
plugs and unplugs devices: /dev/ttyACM<n> is a link to a simulator's pty, and /sys/class/tty holds
the attributes pyserial reads (vendor, product, serial number, interface count).
"""
import ctypes
import json
import os
import select
import shutil
import struct
import subprocess
import sys
import time

SETUP = r"""
set -e
work=$(mktemp -d)
mount -t tmpfs tmpfs "$work"
mkdir "$work/pts" "$work/upper" "$work/work"
mount --bind /dev/pts "$work/pts"
mount -t overlay overlay -o "lowerdir=/dev,upperdir=$work/upper,workdir=$work/work" /dev
mount --bind "$work/pts" /dev/pts
mount -t tmpfs tmpfs /sys/class/tty
mkdir -p /sys/class/tty/bus/usb
"""

TTY = "/sys/class/tty"

# The command, able to take SIGINT even when this process was started with SIGINT ignored, as a
# shell's background jobs are: Python then installs no handler of its own, and a child inherits that.
INTERRUPTIBLE_TOOL = [sys.executable, "-c", "import runpy, signal; signal.signal(signal.SIGINT, signal."
                      "default_int_handler); runpy.run_module('downloader_flash', run_name='__main__', alter_sys=True)"]


def plug(n, pty, serial_number, vendor="19f5", product="5740"):
    usb = f"{TTY}/usb/1-{n}"
    os.makedirs(f"{usb}/1-{n}:1.0")
    for name, value in (("idVendor", vendor), ("idProduct", product), ("bNumInterfaces", "1"),
                        ("serial", serial_number)):
        with open(f"{usb}/{name}", "w") as handle:
            handle.write(value + "\n")
    os.symlink(f"{TTY}/bus/usb", f"{usb}/1-{n}:1.0/subsystem")
    os.makedirs(f"{TTY}/ttyACM{n}")
    os.symlink(f"{usb}/1-{n}:1.0", f"{TTY}/ttyACM{n}/device")
    os.symlink(pty, f"/dev/ttyACM{n}")


def unplug(n):
    os.unlink(f"/dev/ttyACM{n}")
    shutil.rmtree(f"{TTY}/ttyACM{n}")
    shutil.rmtree(f"{TTY}/usb/1-{n}")


IN_OPEN, IN_ISDIR = 0x20, 0x40000000
EVENT = struct.Struct("iIII")  # inotify_event: wd, mask, cookie, len, then the name


class Looks:
    """The tool's looks at the devices, as inotify shows them, so that a driver can wait for one
    instead of sleeping. pyserial's enumeration lists /dev (the glob of each kind of port), then
    reads each device's attributes; a look that lists /dev after a plug or an unplug has seen it.
    A driver makes this before starting the tool, in the namespace."""

    def __init__(self):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        self.listing = self._watch("/dev")
        self.devices = {}

    def _watch(self, path):
        wd = self.libc.inotify_add_watch(self.fd, path.encode(), IN_OPEN)
        if self.fd < 0 or wd < 0:
            raise OSError(ctypes.get_errno(), f"inotify on {path}")
        return wd

    def device(self, n):
        """Reports the reading of device n's attributes too (once it is plugged in)."""
        self.devices[self._watch(f"{TTY}/usb/1-{n}")] = n

    def _events(self, within):
        ready, _, _ = select.select([self.fd], [], [], within)
        data = os.read(self.fd, 65536) if ready else b""
        while data:
            wd, mask, _, size = EVENT.unpack_from(data)
            yield wd, mask
            data = data[EVENT.size + size:]

    def wait(self, through=None, within=30):
        """Returns once a look that began after this call has listed /dev and, with `through`,
        read device `through`'s attributes, which it does after every listing."""
        for _ in self._events(0):
            pass  # what came before
        deadline = time.monotonic() + within
        listed = False
        while time.monotonic() < deadline:
            for wd, mask in self._events(deadline - time.monotonic()):
                listed = listed or (wd == self.listing and mask & IN_ISDIR)
                if listed and (through is None or self.devices.get(wd) == through):
                    return
        raise TimeoutError("the tool did not look at the devices")


def in_namespace(driver, env, timeout=120):
    """Runs the Python code `driver` in a private mount namespace; returns the CompletedProcess."""
    here = os.path.dirname(os.path.abspath(__file__))
    return subprocess.run(
        ["unshare", "-m", "--propagation", "private", "sh", "-c", SETUP + 'exec "$PYTHON" -c "$DRIVER"'],
        env=dict(os.environ, PYTHON=sys.executable, DRIVER=driver, PYTHONPATH=here, TOOL=json.dumps(INTERRUPTIBLE_TOOL),
                 **env),
        capture_output=True, text=True, timeout=timeout,
    )
