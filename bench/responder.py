"""A minimal device for the link benchmark: answers each request frame on a pty at once.

    python bench/responder.py      # prints the port path; serves until standard input closes,
                                   # then prints the number of frames answered

It keeps no state that grows with the transfer (the simulated device records the image, a log
and the raw input), so its time per exchange is the same for any image size: beside the
simulator it separates what the link and the device cost from what the host's code costs. The
reply is the one a healthy device gives: command, counter low, counter high, 0, checksum.
"""

import os
import select
import sys
import termios
import tty

from downloader_wire import HEADER_SIZE, frame_counter, frame_size, reply


def main():
    master, slave = os.openpty()  # the slave stays open here, so the host may close and reopen
    tty.setraw(slave, termios.TCSANOW)
    os.set_blocking(master, False)
    print(os.ttyname(slave), flush=True)
    poller = select.poll()
    poller.register(master, select.POLLIN)
    poller.register(0, select.POLLIN | select.POLLHUP)
    pending = bytearray()
    frames = 0
    while True:
        for fd, _ in poller.poll():
            if fd == 0:
                print(frames, flush=True)
                return 0
            try:
                pending += os.read(master, 1 << 16)
            except BlockingIOError:
                continue
            replies = bytearray()
            start = 0
            while len(pending) - start >= HEADER_SIZE:
                size = frame_size(pending, start)
                if len(pending) - start < size:
                    break
                replies += reply(pending[start], frame_counter(pending, start))
                start += size
                frames += 1
            del pending[:start]
            if replies:
                os.write(master, replies)


if __name__ == "__main__":
    sys.exit(main())
