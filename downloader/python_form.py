"""The module downloader as Python would write it: each line here is its traceback line."""  # @builtins
# open, range and print are the interpreter's own builtins, taken once, whatever this namespace
# holds under those names; the notes at the end say how to read and change this file.
import serial  # @import_serial
import serial.tools.list_ports  # @import_list_ports


Pcounter = 0  # @counter
res = b"\x00"  # @image
ser = serial.Serial()  # @port
ser.baudrate = 12000000  # @baudrate
ser.timeout = 1  # @timeout


def dev_existing():
    global com, vid, pid
    # com, vid and pid first appear here, at a call that sees at least one serial port; the
    # device is the first port, in sorted order, with USB vendor id 6645 and product id 22336.
    port_list = list(serial.tools.list_ports.comports())  # @list_ports
    if len(port_list) == 0:  # @none_listed
        print("没有可用的串口")  # @say_no_port
        return False

    port_list.sort()  # @sort
    com = ""  # @clear_com
    vid = ""  # @clear_vid
    pid = ""  # @clear_pid
    for i in range(len(port_list)):  # @each_port
        if port_list[i].vid == 6645 and port_list[i].pid == 22336:  # @match
            com = port_list[i].device  # @record_com
            vid = port_list[i].vid  # @record_vid
            pid = port_list[i].pid  # @record_pid
            break
    if com and vid and pid:  # @recorded
        dev = [com, "QLX-RB7", "Velmor", "K40372"]  # @describe
        print(dev)  # @say_description
        return dev
    return None


# Selecting or opening the port may fail in any way, KeyboardInterrupt included: it did not open.
def dev_open():
    # The port stays as it is while it is open, even when com names another one now.

    if ser.isOpen():  # @is_open
        print("串口已打开")  # @say_already_open
        return True
    try:
        ser.setPort(com)  # @set_port
        ser.open()  # @open
    except BaseException:
        print("串口打开失败")  # @say_open_failed
        return False
    print("串口打开成功")  # @say_opened
    return True


def dev_close():
    ser.close()  # @close


def beat():
    global Pcounter
    Pcounter = Pcounter + 1  # @advance
    if Pcounter > 65535:  # @past_last
        Pcounter = 0  # @wrap
    buf = [0] * 5  # @make_frame
    buf[0] = 0  # @command
    if send(buf, 0) != "ok":  # @exchange
        print("beaat error")  # @say_error
        return "beaat error"
    return "beated"


def init(file):
    global res, Pcounter
    # The image is taken as it is: no size or content check.
    print(file)  # @say_file
    try:
        fi = open(file, "rb")  # @open
    except Exception:
        print("文件打不开")  # @say_unopenable
        return False
    print("文件打开正常")  # @say_opened
    res = fi.read()  # @read
    Pcounter = 0  # @restart_counter
    fi.close()  # @close
    return True


def send(out, res):
    n = len(out)  # @measure
    out[1] = Pcounter % 256  # @counter_low
    out[2] = int(Pcounter / 256)  # @counter_high
    out[3] = n - 5  # @payload_length
    s = sum(out[i] for i in range(n - 1))  # @add_up
    out[n - 1] = s % 256  # @checksum
    try:
        ser.write(out)  # @write
        reply = ser.read(5)  # @read
        print(reply)  # @say_reply
    except Exception as e:
        print(e)  # @say_caught
        return "error"
    if res == 1:  # @unchecked
        return "ok"
    if len(reply) < 5 or reply[3] != 0:  # @bad_length
        print("packet length error")  # @say_bad_length
        return "length"
    s = (reply[0] + reply[1] + reply[2] + reply[3]) % 256  # @reply_sum
    if s != reply[4]:  # @bad_checksum
        print("packet checksum error: %d" % s)  # @say_bad_checksum
        return "checksum"
    count = reply[2] * 256 + reply[1]  # @reply_counter
    if count != Pcounter:  # @bad_counter
        print("packet counter error %d %d" % (count, Pcounter))  # @say_bad_counter
        return "counter"
    return "ok"


# A request is [command, counter low, counter high, payload length, payload..., checksum], the
# checksum being the sum of every byte before it, mod 256; send fills in all but the command and
# the payload. The reply is 5 bytes: [any, counter low, counter high, 0, checksum of the four].
#
# Commands: 0x00 heartbeat (beat), 0x10 image block (download), 0x20 run (run).
#
# download sends block Pcounter of the image: bytes 32 * Pcounter on, 32 of them or the rest,
# with Pcounter as the packet counter. Block 0 carries the image's length, least significant
# byte first, in place of image bytes 6 to 9. An image too short for block 0 to hold its length
# is refused before anything is sent; once nothing is left to send, download says 100 again
# rather than send an empty or broken block. After an accepted block Pcounter moves on, back
# to 0 past 65535, and download returns the share sent so far in percent, 100 at the end.
#
# Pcounter, res and send are read afresh at every use: a host that replaces one between (or
# during) two statements changes what the next statement sees.


def download():
    global Pcounter; print(Pcounter)  # @say_counter
    if len(res) < 9:  # @too_short
        print("镜像太短，装不下镜像长度")  # @say_too_short
        return 0
    if 32 * Pcounter >= len(res):  # @nothing_left
        return 100
    if 32 * (Pcounter + 1) < len(res):  # @full_block
        loop = 32
    else: loop = len(res) - 32 * Pcounter  # @last_block
    buf = [0] * (loop + 5)  # @make_frame
    buf[0] = 16  # @command
    for i in range(loop):  # @each_byte
        buf[i + 4] = res[32 * Pcounter + i]  # @copy_byte
    if Pcounter == 0:  # @first_block
        buf[10:14] = (len(res) % 2 ** 32).to_bytes(4, "little")  # @image_length
    if send(buf, 0) != "ok":  # @exchange
        print("send wrong")  # @say_rejected
        return 0
    Pcounter = Pcounter + 1  # @advance
    if Pcounter > 65535:  # @past_last
        Pcounter = 0  # @wrap
        print("计数值错误")  # @say_counter_wrong
        return 0
    if 32 * Pcounter >= len(res):  # @complete
        return 100
    duty = Pcounter * 3200 / len(res)  # @progress
    return duty


# The reply to the run command is read and printed, never judged.
def run():
    buf = [0] * 5  # @make_frame
    buf[0] = 32  # @command
    send(buf, 1)  # @exchange
    return True


# ---- How to read and change this file ------------------------------------------------------
#
# The extension module is these statements, one C++ statement list per function (module.cpp
# runs the ones at the top at import, as "init downloader"). An exception that leaves a function
# carries one traceback entry, file "downloader", function "downloader.<name>", at the line here
# of the statement that failed. An argument error of send carries one at the line of its
# definition; one of the other functions carries none, as a builtin function's does. The file
# runs as it stands, and the tests use it as the model of the module.
#
# A statement that the C++ names ends in "# @name": statement_lines.py makes each name a
# constant, line::<function>::<name> (line::load::<name> for the statements at the top, and
# line::<function>::definition for each def), in statement_lines.hpp, which the build writes.
# To change a statement, edit it here and in the C++; no line number needs counting.
#
# Where the module differs from what these lines would do as plain Python:
# - open, range and print are the builtins' own (open and range from import on, print from the
#   first message), and so are list, len, sum and int: a module global of one of those names
#   changes nothing.
# - sum adds the items one by one with +, from 0, as the loop it stands for would; the
#   interpreter's own sum of floats rounds more carefully from 3.12 on.
# - download's loop over range(loop) reads Pcounter and res once for all its passes when no pass
#   can run host code (docs/operations.md).
