// downloader: flash a firmware image to a USB serial device from a host Python script.
//
// The module, as Python would write it. Every global lives in the module's namespace and is
// read by name at each use, so a host may replace any of them between calls.
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
// Each function is its statement list, written once; the operations inside the statements take
// a C branch for exact ints, lists and bytes (support.hpp; docs/operations.md says how that
// keeps every statement's observable behaviour).
//
// Each function's errors carry one traceback entry "downloader.<name>" at the line of the
// failing statement; the lines below are those of the definitions.
#pragma once

#include "support.hpp"

namespace dl {

enum DefinitionLine : int {
    kDevExistingLine = 15,
    kDevOpenLine = 42,
    kDevCloseLine = 58,
    kBeatLine = 62,
    kInitLine = 75,
    kSendLine = 91,
    kDownloadLine = 138,
    kRunLine = 169,
};

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

// result == "ok", as beat and download test what send returned; the module's own send
// answers with the interned "ok" itself, which needs no comparison.
inline bool is_ok(PyObject* result, int line) { return result == names.ok || !compare(result, names.ok, Py_NE, line); }

}  // namespace dl
