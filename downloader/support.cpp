// Global access by name, printing, calls and traceback entries, as every subsystem uses them.
#include "support.hpp"

#include <frameobject.h>

#include <cstring>

namespace dl {

HeldBuiltins held;
Names names;
ByteInts byte_ints;

namespace {

#if PY_VERSION_HEX >= 0x03090000
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf) {
    return PyObject_Vectorcall(callable, args, nargsf, nullptr);
}
#else
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf) {
    return _PyObject_Vectorcall(callable, args, nargsf, nullptr);
}
#endif

[[noreturn]] void raise_name_error(PyObject* name, int line) {
    Ref message = check(PyUnicode_FromFormat("name '%U' is not defined", name), line);
    Ref error = call1(PyExc_NameError, message.get(), line);
#if PY_VERSION_HEX >= 0x030A0000
    // From 3.10 the interpreter's own NameError carries the name (used for suggestions).
    check(PyObject_SetAttr(error.get(), names.name, name), line);
#endif
    PyErr_SetObject(PyExc_NameError, error.get());
    fail(line);
}

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

}  // namespace

bool compare(PyObject* a, PyObject* b, int op, int line) {
    Ref result = check(PyObject_RichCompare(a, b, op), line);
    return truth(result.get(), line);
}

namespace {

// The positional count a function without keywords takes, with the message for any other.
bool takes_positional(const char* name, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t wanted, const char* message) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
        return false;
    }
    if (nargs != wanted) {
        PyErr_Format(PyExc_TypeError, message, name, nargs);
        return false;
    }
    return true;
}

}  // namespace

bool takes_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    return takes_positional(name, nargs, kwnames, 0, "%.200s() takes no arguments (%zd given)");
}

bool takes_one_argument(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    return takes_positional(name, nargs, kwnames, 1, "%.200s() takes exactly one argument (%zd given)");
}

void set_item(PyObject* out, Py_ssize_t index, PyObject* value, int line) {
    if (PyList_CheckExact(out)) {
        Py_INCREF(value);
        check(PyList_SetItem(out, index, value), line);
        return;
    }
    Ref key = check(PyLong_FromSsize_t(index), line);
    check(PyObject_SetItem(out, key.get(), value), line);
}

Ref get_item(PyObject* sequence, Py_ssize_t index, int line) {
    Ref key = check(PyLong_FromSsize_t(index), line);
    return check(PyObject_GetItem(sequence, key.get()), line);
}

namespace {

// The builtins, for a global that the module namespace lacks; NameError when they lack it too.
Ref lookup_builtin(PyObject* name, int line) {
    if (PyErr_Occurred()) fail(line);
    PyObject* value = held.dict ? PyDict_GetItemWithError(held.dict, name) : nullptr;
    if (!value) {
        if (PyErr_Occurred()) fail(line);
        raise_name_error(name, line);
    }
    return Ref::incref(value);
}

}  // namespace

Ref lookup_global(PyObject* globals, PyObject* name, int line) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value) return lookup_builtin(name, line);
    return Ref::incref(value);
}

void store_global(PyObject* globals, PyObject* name, PyObject* value, int line) {
    check(PyDict_SetItem(globals, name, value), line);
}

void say(PyObject* message, int line) {
    if (!held.print) {
        PyObject* print = PyDict_GetItemWithError(held.dict, names.print);
        if (!print) {
            if (PyErr_Occurred()) fail(line);
            raise_name_error(names.print, line);
        }
        Py_INCREF(print);
        held.print = print;
    }
    call1(held.print, message, line);
}

Ref call0(PyObject* callable, int line) { return check(vectorcall(callable, nullptr, 0), line); }

Ref call1(PyObject* callable, PyObject* arg, int line) {
    PyObject* args[2] = {nullptr, arg};
    return check(vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET), line);
}

Ref call2(PyObject* callable, PyObject* a, PyObject* b, int line) {
    PyObject* args[3] = {nullptr, a, b};
    return check(vectorcall(callable, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET), line);
}

#if PY_VERSION_HEX >= 0x03090000
Ref call_method0(PyObject* obj, PyObject* name, int line) {
    return check(PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr), line);
}
Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg, int line) {
    PyObject* args[2] = {obj, arg};
    return check(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr), line);
}
#else
Ref call_method0(PyObject* obj, PyObject* name, int line) {
    return check(PyObject_CallMethodObjArgs(obj, name, nullptr), line);
}
Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg, int line) {
    return check(PyObject_CallMethodObjArgs(obj, name, arg, nullptr), line);
}
#endif

namespace {

// The code object of a traceback entry, one per function and line, made at the first failure
// there and kept for the process. A host that hits the same fault for hours then makes no new
// code object per failure; from 3.13 each new one would intern its names afresh, and every
// few thousand failures the interpreter would rebuild its whole table of interned strings.
// Past the table's capacity a code object is made for the entry alone (a new reference).
PyCodeObject* traceback_code(const char* function, int line) {
    struct Entry {
        const char* function;
        int line;
        PyCodeObject* code;
    };
    static Entry entries[256];
    static size_t used = 0;
    for (size_t i = 0; i < used; ++i) {
        if (entries[i].line == line && std::strcmp(entries[i].function, function) == 0) {
            Py_INCREF(entries[i].code);
            return entries[i].code;
        }
    }
    PyCodeObject* code = PyCode_NewEmpty("downloader", function, line);
    if (code && used < sizeof entries / sizeof entries[0]) {
        Py_INCREF(code);
        entries[used++] = Entry{function, line, code};
    }
    return code;
}

}  // namespace

void add_traceback(const char* function, int line, PyObject* globals) {
    // Set the pending exception aside while the code object and frame are built, the way
    // the interpreter's own helpers do, so that a failure there cannot replace it.
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* pending = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
#endif
    PyCodeObject* code = traceback_code(function, line);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(pending);
#else
    PyErr_Restore(type, value, traceback);
#endif
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

bool make_names() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry strings[] = {
        {&names.serial, "serial"},
        {&names.ser, "ser"},
        {&names.Pcounter, "Pcounter"},
        {&names.res, "res"},
        {&names.com, "com"},
        {&names.vid, "vid"},
        {&names.pid, "pid"},
        {&names.send, "send"},
        {&names.Serial, "Serial"},
        {&names.baudrate, "baudrate"},
        {&names.timeout, "timeout"},
        {&names.tools, "tools"},
        {&names.list_ports, "list_ports"},
        {&names.comports, "comports"},
        {&names.device, "device"},
        {&names.isOpen, "isOpen"},
        {&names.setPort, "setPort"},
        {&names.open, "open"},
        {&names.close, "close"},
        {&names.write, "write"},
        {&names.read, "read"},
        {&names.out, "out"},
        {&names.print, "print"},
        {&names.name, "name"},
        {&names.empty, ""},
        {&names.rb, "rb"},
        {&names.ok, "ok"},
        {&names.error, "error"},
        {&names.checksum, "checksum"},
        {&names.counter, "counter"},
        {&names.length, "length"},
        {&names.beated, "beated"},
        {&names.beat_error, "beaat error"},
        {&names.no_port, "没有可用的串口"},
        {&names.port_already_open, "串口已打开"},
        {&names.port_opened, "串口打开成功"},
        {&names.port_open_failed, "串口打开失败"},
        {&names.file_opened, "文件打开正常"},
        {&names.file_unopenable, "文件打不开"},
        {&names.send_wrong, "send wrong"},
        {&names.counter_wrong, "计数值错误"},
        {&names.image_too_short, "镜像太短，装不下镜像长度"},
        {&names.length_wrong, "packet length error"},
        {&names.checksum_wrong, "packet checksum error: %d"},
        {&names.counter_mismatch, "packet counter error %d %d"},
        {&names.product, "QLX-RB7"},
        {&names.maker, "Velmor"},
        {&names.identifier, "K40372"},
    };
    for (const Entry& entry : strings) {
        if (!*entry.slot && !(*entry.slot = intern(entry.text))) return false;
    }
    const std::pair<PyObject**, long> ints[] = {
        {&names.int_1, 1},         {&names.int_5, 5},         {&names.int_256, 256},   {&names.int_6645, 6645},
        {&names.int_22336, 22336}, {&names.int_65535, 65535}, {&names.int_3200, 3200},
    };
    for (const auto& entry : ints) {
        if (!*entry.first && !(*entry.first = PyLong_FromLong(entry.second))) return false;
    }
    return true;
}

bool make_byte_ints() {
    if (byte_ints.item[255]) return true;
    for (long value = 0; value < 256; ++value) {
        PyObject* item = PyLong_FromLong(value);
        if (!item) return false;
        byte_ints.item[value] = item;
    }
    // Values are read off addresses only where the interpreter hands out the very same
    // objects again, at one fixed power-of-two distance from each other.
    const uintptr_t first = reinterpret_cast<uintptr_t>(byte_ints.item[0]);
    const uintptr_t step = reinterpret_cast<uintptr_t>(byte_ints.item[1]) - first;
    unsigned shift = 0;
    while (shift < 16 && (uintptr_t{1} << shift) < step) ++shift;
    bool addressable = step != 0 && (uintptr_t{1} << shift) == step;
    for (long value = 0; value < 256 && addressable; ++value) {
        PyObject* again = PyLong_FromLong(value);
        if (!again) return false;
        addressable = again == byte_ints.item[value] &&
                      reinterpret_cast<uintptr_t>(again) == first + (static_cast<uintptr_t>(value) << shift);
        Py_DECREF(again);
    }
    byte_ints.first = first;
    byte_ints.shift = shift;
    byte_ints.addressable = addressable;
    return true;
}

}  // namespace dl
