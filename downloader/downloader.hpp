// downloader: flash a firmware image to a USB serial device from a host Python script.
//
// The module is python_form.py beside this header: the eight functions as Python would write
// them, whose lines are the lines of the traceback entries. In short:
//
//   import serial, serial.tools.list_ports
//   Pcounter = 0          # packet counter, and the number of the next image block
//   res = b"\x00"         # the image; init() replaces it
//   ser = serial.Serial(); ser.baudrate = 12000000; ser.timeout = 1
//   # com, vid, pid: appear at the first dev_existing() that sees a serial port
//
//   def dev_existing()  -> [com, "QLX-RB7", "Velmor", "K40372"] | None | False   serial_link
//   def dev_open()      -> True | False     ser.setPort(com); ser.open()          serial_link
//   def dev_close()     -> None             ser.close()                            serial_link
//   def beat()          -> "beated" | "beaat error"      Pcounter += 1; send       protocol
//   def send(out, res)  -> "ok" | "error" | "length" | "checksum" | "counter"      protocol
//   def init(file)      -> True | False     res = file's bytes; Pcounter = 0       firmware
//   def download()      -> 0 | progress in percent | 100  one 32-byte block        firmware
//   def run()           -> True             command 0x20, reply not checked        firmware
//
// Each function is its statement list, written once. The C++ names each statement by its
// line in python_form.py, line::<function>::<name> (statement_lines.hpp, generated from it);
// the interpreter plumbing is in interpreter.hpp, and the operations inside the statements,
// with a C branch for exact ints, lists and bytes, in operations.hpp.
#pragma once

#include "interpreter.hpp"
#include "operations.hpp"
#include "statement_lines.hpp"

namespace dl {

// The names of the module globals that more than one subsystem reads or writes.
namespace global {
extern const Constant serial, Pcounter, res, ser;
}

// A request frame's bytes around its payload: command, counter low and high, payload length and
// checksum; a frame without payload is this long.
constexpr long kFrameOverhead = 5;

// The second argument of send(out, res): 1 reads and prints the reply without judging it; the
// module's callers pass 0 to have it judged.
constexpr long kCheckReply = 0;
constexpr long kSkipReplyCheck = 1;

// The eight module functions (module.cpp binds them in this order).
PyObject* dev_existing(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dev_open(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dev_close(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* beat(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* send(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* download(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* run(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// send(out, res) through the module global `send`, as beat, download and run call it.
// The module's own send is entered directly (the same shell, without argument parsing).
Ref call_send(PyObject* globals, PyObject* out, PyObject* validation, int line);

// send(...) != "ok", as beat and download judge what send returned; the module's own send
// answers with the interned "ok" itself, which needs no comparison.
bool is_not_ok(PyObject* result, int line);

}  // namespace dl
