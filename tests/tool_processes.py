"""The tool run in a session of its own, and its processes found by what they are to it: its
process group, never their command lines."""
import contextlib
import os
import signal
import subprocess
import sys

from downloader_flash.model import DeviceKey, Job
from fakes import sample


# The command with SIGINT, SIGTERM and SIGHUP as a shell hands them to a foreground job, whatever
# this process was started with (a CI runner may ignore SIGHUP, as nohup does).
TOOL = [sys.executable, "-c", "import runpy, signal\n"
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "for name in ('SIGTERM', 'SIGHUP'): signal.signal(getattr(signal, name), signal.SIG_DFL)\n"
        "runpy.run_module('downloader_flash', run_name='__main__', alter_sys=True)"]
UNCLEAN = ("Traceback", "Fatal Python error", "leaked", "Exception ignored")
IMAGE = sample(40000)  # 1,250 blocks
GIVE_UP = 30.0  # seconds a test waits for what should take a fraction of one


def stat_fields(pid):
    """(state, parent pid, process group) of a process, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return fields[0], int(fields[1]), int(fields[2])


def live_processes(group):
    """The processes of a process group that have not ended (zombies have)."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        fields = stat_fields(entry)
        if fields is not None and fields[2] == group and fields[0] not in "ZX":
            found.append(int(entry))
    return found


def start(*args):
    return subprocess.Popen([*TOOL, *map(str, args)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)


@contextlib.contextmanager
def reaped(proc):
    """Whatever happens within, no process of the tool's group outlives the test."""
    try:
        yield
    finally:
        for pid in live_processes(proc.pid):
            os.kill(pid, signal.SIGKILL)
        out, err = proc.communicate()  # reaped, its pipes closed; shown when the test fails
        print(out, err, sep="\n", file=sys.stderr)


def finish(proc, timeout=60):
    try:
        out, err = proc.communicate(timeout=timeout)
    finally:
        proc.kill()
    assert not any(mark in out + err for mark in UNCLEAN), out + err
    return proc.returncode, out, err


def processes_holding(tool, path):
    """The processes the tool started that hold `path` open: its children, or under 'forkserver'
    the server's, all in the tool's process group."""
    found = []
    for pid in live_processes(tool):
        with contextlib.suppress(OSError):
            if pid != tool and path in links_of(pid):
                found.append(pid)
    return found


def links_of(pid):
    """What the descriptors of a process lead to; one closed while they are read is left out."""
    links = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            links.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
    return links


def job_for(sim, data=IMAGE):
    """A job for the simulator's port, of up to four attempts."""
    return Job(DeviceKey(sim.port, None), data, "image.bin", retries=3, log=None, wait=1.0)
