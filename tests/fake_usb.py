"""Fake USB serial devices for pyserial's Linux enumeration, inside a private mount namespace.

    unshare -m --propagation private sh -c "$SETUP; exec python DRIVER"

SETUP lays a writable overlay over /dev and an empty tmpfs over /sys/class/tty; the driver then
plugs and unplugs devices: /dev/ttyACM<n> is a link to a simulator's pty, and /sys/class/tty holds
the attributes pyserial reads (vendor, product, serial number, interface count).
"""
import json
import os
import shutil
import subprocess
import sys

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


def in_namespace(driver, env, timeout=120):
    """Runs the Python code `driver` in a private mount namespace; returns the CompletedProcess."""
    here = os.path.dirname(os.path.abspath(__file__))
    return subprocess.run(
        ["unshare", "-m", "--propagation", "private", "sh", "-c", SETUP + 'exec "$PYTHON" -c "$DRIVER"'],
        env=dict(os.environ, PYTHON=sys.executable, DRIVER=driver, PYTHONPATH=here, TOOL=json.dumps(INTERRUPTIBLE_TOOL),
                 **env),
        capture_output=True, text=True, timeout=timeout,
    )
