// The line of each statement of the module's Python form, by function and name.
// Generated from python_form.py by statement_lines.py; edit those, not this file.
#pragma once

namespace dl::line {

namespace load {
constexpr int builtins = 1;           // """The module downloader as Python would write it: each line here is its tra...
constexpr int import_serial = 4;      // import serial
constexpr int import_list_ports = 5;  // import serial.tools.list_ports
constexpr int counter = 8;            // Pcounter = 0
constexpr int image = 9;              // res = b"\x00"
constexpr int port = 10;              // ser = serial.Serial()
constexpr int baudrate = 11;          // ser.baudrate = 12000000
constexpr int timeout = 12;           // ser.timeout = 1
}  // namespace load

namespace dev_existing {
constexpr int definition = 15;       // def dev_existing()
constexpr int list_ports = 19;       // port_list = list(serial.tools.list_ports.comports())
constexpr int none_listed = 20;      // if len(port_list) == 0:
constexpr int say_no_port = 21;      // print("没有可用的串口")
constexpr int sort = 24;             // port_list.sort()
constexpr int clear_com = 25;        // com = ""
constexpr int clear_vid = 26;        // vid = ""
constexpr int clear_pid = 27;        // pid = ""
constexpr int each_port = 28;        // for i in range(len(port_list)):
constexpr int match = 29;            // if port_list[i].vid == 6645 and port_list[i].pid == 22336:
constexpr int record_com = 30;       // com = port_list[i].device
constexpr int record_vid = 31;       // vid = port_list[i].vid
constexpr int record_pid = 32;       // pid = port_list[i].pid
constexpr int recorded = 34;         // if com and vid and pid:
constexpr int describe = 35;         // dev = [com, "QLX-RB7", "Velmor", "K40372"]
constexpr int say_description = 36;  // print(dev)
}  // namespace dev_existing

namespace dev_open {
constexpr int definition = 42;        // def dev_open()
constexpr int is_open = 45;           // if ser.isOpen():
constexpr int say_already_open = 46;  // print("串口已打开")
constexpr int set_port = 49;          // ser.setPort(com)
constexpr int open = 50;              // ser.open()
constexpr int say_open_failed = 52;   // print("串口打开失败")
constexpr int say_opened = 54;        // print("串口打开成功")
}  // namespace dev_open

namespace dev_close {
constexpr int definition = 58;  // def dev_close()
constexpr int close = 59;       // ser.close()
}  // namespace dev_close

namespace beat {
constexpr int definition = 62;  // def beat()
constexpr int advance = 64;     // Pcounter = Pcounter + 1
constexpr int past_last = 65;   // if Pcounter > 65535:
constexpr int wrap = 66;        // Pcounter = 0
constexpr int make_frame = 67;  // buf = [0] * 5
constexpr int command = 68;     // buf[0] = 0
constexpr int exchange = 69;    // if send(buf, 0) != "ok":
constexpr int say_error = 70;   // print("beaat error")
}  // namespace beat

namespace init {
constexpr int definition = 75;       // def init(file)
constexpr int say_file = 78;         // print(file)
constexpr int open = 80;             // fi = open(file, "rb")
constexpr int say_unopenable = 82;   // print("文件打不开")
constexpr int say_opened = 84;       // print("文件打开正常")
constexpr int read = 85;             // res = fi.read()
constexpr int restart_counter = 86;  // Pcounter = 0
constexpr int close = 87;            // fi.close()
}  // namespace init

namespace send {
constexpr int definition = 91;         // def send(out, res)
constexpr int measure = 92;            // n = len(out)
constexpr int counter_low = 93;        // out[1] = Pcounter % 256
constexpr int counter_high = 94;       // out[2] = int(Pcounter / 256)
constexpr int payload_length = 95;     // out[3] = n - 5
constexpr int add_up = 96;             // s = sum(out[i] for i in range(n - 1))
constexpr int checksum = 97;           // out[n - 1] = s % 256
constexpr int write = 99;              // ser.write(out)
constexpr int read = 100;              // reply = ser.read(5)
constexpr int say_reply = 101;         // print(reply)
constexpr int say_caught = 103;        // print(e)
constexpr int unchecked = 105;         // if res == 1:
constexpr int bad_length = 107;        // if len(reply) < 5 or reply[3] != 0:
constexpr int say_bad_length = 108;    // print("packet length error")
constexpr int reply_sum = 110;         // s = (reply[0] + reply[1] + reply[2] + reply[3]) % 256
constexpr int bad_checksum = 111;      // if s != reply[4]:
constexpr int say_bad_checksum = 112;  // print("packet checksum error: %d" % s)
constexpr int reply_counter = 114;     // count = reply[2] * 256 + reply[1]
constexpr int bad_counter = 115;       // if count != Pcounter:
constexpr int say_bad_counter = 116;   // print("packet counter error %d %d" % (count, Pcounter))
}  // namespace send

namespace download {
constexpr int definition = 138;         // def download()
constexpr int say_counter = 139;        // global Pcounter; print(Pcounter)
constexpr int too_short = 140;          // if len(res) < 9:
constexpr int say_too_short = 141;      // print("镜像太短，装不下镜像长度")
constexpr int nothing_left = 143;       // if 32 * Pcounter >= len(res):
constexpr int full_block = 145;         // if 32 * (Pcounter + 1) < len(res):
constexpr int last_block = 147;         // else: loop = len(res) - 32 * Pcounter
constexpr int make_frame = 148;         // buf = [0] * (loop + 5)
constexpr int command = 149;            // buf[0] = 16
constexpr int each_byte = 150;          // for i in range(loop):
constexpr int copy_byte = 151;          // buf[i + 4] = res[32 * Pcounter + i]
constexpr int first_block = 152;        // if Pcounter == 0:
constexpr int image_length = 153;       // buf[10:14] = (len(res) % 2 ** 32).to_bytes(4, "little")
constexpr int exchange = 154;           // if send(buf, 0) != "ok":
constexpr int say_rejected = 155;       // print("send wrong")
constexpr int advance = 157;            // Pcounter = Pcounter + 1
constexpr int past_last = 158;          // if Pcounter > 65535:
constexpr int wrap = 159;               // Pcounter = 0
constexpr int say_counter_wrong = 160;  // print("计数值错误")
constexpr int complete = 162;           // if 32 * Pcounter >= len(res):
constexpr int progress = 164;           // duty = Pcounter * 3200 / len(res)
}  // namespace download

namespace run {
constexpr int definition = 169;  // def run()
constexpr int make_frame = 170;  // buf = [0] * 5
constexpr int command = 171;     // buf[0] = 32
constexpr int exchange = 172;    // send(buf, 1)
}  // namespace run

}  // namespace dl::line
