// Support shared by every source of the module: the owned-reference type, the one
// error idiom, module-global access by name, the print helper and the traceback entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <cstdint>
#include <new>
#include <utility>

namespace dl {

// An owned (strong) reference, released on scope exit. Made only through steal() or
// incref(), so every place that creates one says which kind of reference it receives.
class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref incref(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // Hands the reference to the caller; only in a `return` to the interpreter.
    PyObject* release() {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }

private:
    explicit Ref(PyObject* p) : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Thrown when a Python exception is already set. `line` is the source line that the
// traceback entry reports; the boundary of each module function catches it and adds
// that entry, once.
struct PythonError {
    int line;
};

[[noreturn]] inline void fail(int line) {
    assert(PyErr_Occurred());
    throw PythonError{line};
}

// Turn the C API's failure signals (NULL, -1) into a PythonError for `line`.
inline Ref check(PyObject* new_reference, int line) {
    if (!new_reference) fail(line);
    return Ref::steal(new_reference);
}
inline int check(int status, int line) {
    if (status < 0) fail(line);
    return status;
}

inline Py_ssize_t check_size(Py_ssize_t size, int line) {
    if (size < 0) fail(line);
    return size;
}

// Truth of an object, as `if x:` tests it.
inline bool truth(PyObject* obj, int line) { return check(PyObject_IsTrue(obj), line) != 0; }

// `a op b` by the interpreter's rich comparison, then its truth (no identity shortcut).
bool compare(PyObject* a, PyObject* b, int op, int line);

// Builtins taken once for the life of the process; see the load sequence and say().
struct HeldBuiltins {
    PyObject* dict = nullptr;  // the builtins module's own namespace
    PyObject* open = nullptr;
    PyObject* range = nullptr;
    PyObject* print = nullptr;  // taken at the first message
};
extern HeldBuiltins held;

// sequence[index] = value and sequence[index], as the interpreter's item access does them
// (an int key, so that mappings and list subclasses see what Python code would give them).
void set_item(PyObject* sequence, Py_ssize_t index, PyObject* value, int line);
Ref get_item(PyObject* sequence, Py_ssize_t index, int line);

// Module globals, read by name at each use: the module namespace, then the builtins.
// A name found in neither raises NameError "name '...' is not defined".
Ref lookup_global(PyObject* globals, PyObject* name, int line);
void store_global(PyObject* globals, PyObject* name, PyObject* value, int line);

// print(message) through the builtin print, one argument per call.
void say(PyObject* message, int line);

// Call helpers that work from CPython 3.8 on.
Ref call0(PyObject* callable, int line);
Ref call1(PyObject* callable, PyObject* arg, int line);
Ref call2(PyObject* callable, PyObject* a, PyObject* b, int line);
Ref call_method0(PyObject* obj, PyObject* name, int line);
Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg, int line);

// Adds one traceback entry (file "downloader", the given function name and line) to the
// pending exception. If the entry cannot be built, the pending exception still wins.
void add_traceback(const char* function, int line, PyObject* globals);

// The shell around the body of every module function: runs the body and, when it fails,
// adds the one traceback entry for the failing line. Nothing else escapes to the interpreter.
template <typename Body>
PyObject* guarded(const char* function, int definition_line, PyObject* module, Body&& body) noexcept {
    try {
        return body(PyModule_GetDict(module)).release();
    } catch (const PythonError& error) {
        add_traceback(function, error.line, PyModule_GetDict(module));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        add_traceback(function, definition_line, PyModule_GetDict(module));
    }
    return nullptr;
}

// Argument checks of the functions without arguments and of init(file); false with
// TypeError set. Keywords are refused before the count is looked at.
bool takes_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames);
bool takes_one_argument(const char* name, Py_ssize_t nargs, PyObject* kwnames);

inline Ref integer(long value, int line) { return check(PyLong_FromLong(value), line); }

// Pcounter as a C value when it is an exact int in the counter's range, 0 to 65535: the
// fast paths then compute with plain arithmetic what the number protocol would give.
inline bool counter_in_range(PyObject* counter, long* value) {
    if (!PyLong_CheckExact(counter)) return false;
    int overflow = 0;
    *value = PyLong_AsLongAndOverflow(counter, &overflow);
    return !overflow && *value >= 0 && *value <= 65535;
}

inline Ref bool_object(bool value) { return Ref::incref(value ? Py_True : Py_False); }

// Interned strings and cached ints used across the module; made once, kept for the process.
struct Names {
    // globals
    PyObject *serial, *ser, *Pcounter, *res, *com, *vid, *pid, *send;
    // attributes and methods
    PyObject *Serial, *baudrate, *timeout, *tools, *list_ports, *comports, *device;
    PyObject *isOpen, *setPort, *open, *close, *write, *read;
    // argument names of send; builtins and attributes the support code needs
    PyObject *out, *print, *name;
    // constants
    PyObject *empty, *rb, *ok, *error, *checksum, *counter, *length, *beated, *beat_error;
    // messages and the device description
    PyObject *no_port, *port_already_open, *port_opened, *port_open_failed;
    PyObject *file_opened, *file_unopenable, *send_wrong, *counter_wrong, *image_too_short;
    PyObject *length_wrong, *checksum_wrong, *counter_mismatch, *product, *maker, *identifier;
    PyObject *int_1, *int_5, *int_256, *int_6645, *int_22336, *int_65535, *int_3200;
};
extern Names names;
bool make_names();

// The ints 0 to 255, the values a frame holds, taken once from the interpreter, which caches
// them. Handing one out allocates nothing; dropping one from a list never frees it, so never
// runs host code; and one found in a list is an exact int whose value its address tells.
struct ByteInts {
    PyObject* item[256];
    uintptr_t first;   // address of the int 0
    unsigned shift;    // log2 of the distance between consecutive ints
    bool addressable;  // the interpreter lays them out evenly, so values can be read off
};
extern ByteInts byte_ints;
bool make_byte_ints();

// A new reference to the int `value`, 0 to 255.
inline PyObject* byte_int(unsigned value) {
    PyObject* item = byte_ints.item[value];
    Py_INCREF(item);
    return item;
}

// The value of `item` when it is one of the cached ints 0 to 255.
inline bool byte_int_value(PyObject* item, unsigned* value) {
    const uintptr_t offset = reinterpret_cast<uintptr_t>(item) - byte_ints.first;
    const uintptr_t index = offset >> byte_ints.shift;
    if (index > 255 || (index << byte_ints.shift) != offset || !byte_ints.addressable) return false;
    *value = static_cast<unsigned>(index);
    return true;
}

}  // namespace dl
