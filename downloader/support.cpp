// Global access by name, printing, calls and traceback entries, as every subsystem uses them.
#include "support.hpp"

#include <frameobject.h>

#include <cstring>

namespace dl {

HeldBuiltins held;
Names names;
PyObject* byte_ints[256];

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

// The builtins' value of `name`, a new reference, or NULL (with an exception when one was set).
PyObject* builtin_value(PyObject* name) {
    if (!held.dict) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    PyDict_GetItemRef(held.dict, name, &value);
    return value;
#else
    PyObject* value = PyDict_GetItemWithError(held.dict, name);
    Py_XINCREF(value);
    return value;
#endif
}

Ref lookup_builtin(PyObject* name, int line) {
    if (PyErr_Occurred()) fail(line);
    Ref value = Ref::steal(builtin_value(name));
    if (!value) {
        if (PyErr_Occurred()) fail(line);
        raise_name_error(name, line);
    }
    return value;
}

void store_global(PyObject* globals, PyObject* name, PyObject* value, int line) {
    check(PyDict_SetItem(globals, name, value), line);
}

void say(PyObject* message, int line) {
    PyObject* print = held.print.load(std::memory_order_acquire);
    if (!print) {
        Ref found = lookup_builtin(names.print, line);
        // Should two threads print their first message at once, the first to publish wins.
        if (held.print.compare_exchange_strong(print, found.get(), std::memory_order_acq_rel)) print = found.release();
    }
    call1(print, message, line);
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
struct TracebackEntry {
    const char* function;
    int line;
    PyCodeObject* code;
};
TracebackEntry traceback_entries[256];
size_t traceback_entries_used = 0;

#if defined(Py_GIL_DISABLED)
// Threads that fail at once share the table. PyMutex lets go of the thread state while it
// waits, so a thread blocked here never holds up the interpreter.
PyMutex traceback_lock = {0};
struct TableLock {
    TableLock() { PyMutex_Lock(&traceback_lock); }
    ~TableLock() { PyMutex_Unlock(&traceback_lock); }
};
#else
struct TableLock {};  // the GIL serialises the table: nothing under a lock releases it
#endif

// The code object kept for the entry (a new reference), or NULL. Call under a TableLock.
PyCodeObject* known_code(const char* function, int line) {
    for (size_t i = 0; i < traceback_entries_used; ++i) {
        const TracebackEntry& entry = traceback_entries[i];
        if (entry.line == line && std::strcmp(entry.function, function) == 0) {
            Py_INCREF(entry.code);
            return entry.code;
        }
    }
    return nullptr;
}

PyCodeObject* traceback_code(const char* function, int line) {
    {
        [[maybe_unused]] TableLock lock;
        if (PyCodeObject* code = known_code(function, line)) return code;
    }
    // Made outside the lock: making it may run the collector, and with it host code that fails
    // in the module and needs the table itself.
    PyCodeObject* code = PyCode_NewEmpty("downloader", function, line);
    if (!code) return nullptr;
    PyCodeObject* known = nullptr;
    {
        [[maybe_unused]] TableLock lock;
        known = known_code(function, line);
        if (!known && traceback_entries_used < sizeof traceback_entries / sizeof traceback_entries[0]) {
            Py_INCREF(code);
            traceback_entries[traceback_entries_used++] = TracebackEntry{function, line, code};
        }
    }
    if (!known) return code;
    Py_DECREF(code);  // another thread, or host code run meanwhile, kept one first
    return known;
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

// ---- the operations -------------------------------------------------------------------------

// A critical section on one object, on free-threaded builds; where a global lock serialises
// the interpreter, nothing is needed. No code inside may raise or run host code.
#if defined(Py_GIL_DISABLED)
#define DL_BEGIN_CRITICAL_SECTION(object) Py_BEGIN_CRITICAL_SECTION(object)
#define DL_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define DL_BEGIN_CRITICAL_SECTION(object) {
#define DL_END_CRITICAL_SECTION() }
#endif

bool exact_whole_slow(PyObject* object, long long* value) {
    int overflow = 0;
    const long long found = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow || found <= -kWholeLimit || found >= kWholeLimit) return false;
    *value = found;
    return true;
}

Ref Value::make_object(int line) const {
    if (kind_ == Kind::real) return check(PyFloat_FromDouble(real_), line);
    if (whole_ >= 0 && whole_ < 256) return Ref::steal(byte_int(static_cast<unsigned>(whole_)));
    return check(PyLong_FromLongLong(whole_), line);
}

Value large_number(long long value, int line) { return Value::of(check(PyLong_FromLongLong(value), line)); }

Value add_generic(const Value& a, const Value& b, int line) {
    return Value::of(check(PyNumber_Add(a.object(line), b.object(line)), line));
}

Value subtract(const Value& a, const Value& b, int line) {
    if (a.is_whole() && b.is_whole()) return number(a.whole_value() - b.whole_value(), line);
    return Value::of(check(PyNumber_Subtract(a.object(line), b.object(line)), line));
}

Value multiply_generic(const Value& a, const Value& b, int line) {
    return Value::of(check(PyNumber_Multiply(a.object(line), b.object(line)), line));
}

Value remainder_generic(const Value& a, const Value& b, int line) {
    return Value::of(check(PyNumber_Remainder(a.object(line), b.object(line)), line));
}

Value true_divide(const Value& a, const Value& b, int line) {
    if (a.is_whole() && b.is_whole() && b.whole_value() != 0)
        return Value::real(static_cast<double>(a.whole_value()) / static_cast<double>(b.whole_value()));
    return Value::of(check(PyNumber_TrueDivide(a.object(line), b.object(line)), line));
}

Value to_int(const Value& a, int line) {
    if (a.is_whole()) return Value::whole(a.whole_value());
    // Truncation toward zero, as int() of a float gives, for every double below the limit.
    if (a.is_real() && a.real_value() > -kWholeLimit && a.real_value() < kWholeLimit)
        return Value::whole(static_cast<long long>(a.real_value()));
    return Value::of(check(PyNumber_Long(a.object(line)), line));
}

bool compare_generic(const Value& a, const Value& b, int op, int line) {
    return compare(a.object(line), b.object(line), op, line);
}

namespace {

// index as a position in a sequence of `size` items, as Python resolves a negative one;
// false when it falls outside.
inline bool position_in(Py_ssize_t size, Py_ssize_t* index) {
    if (*index < 0) *index += size;
    return *index >= 0 && *index < size;
}

Ref key_of(Py_ssize_t index, int line) { return check(PyLong_FromSsize_t(index), line); }

}  // namespace

Value item_generic(PyObject* sequence, Py_ssize_t index, int line) {
    if (!kCBranches) {
    } else if (PyBytes_CheckExact(sequence)) {
        if (position_in(PyBytes_GET_SIZE(sequence), &index))
            return Value::whole(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(sequence))[index]);
    } else if (PyList_CheckExact(sequence)) {
        PyObject* found = nullptr;
        DL_BEGIN_CRITICAL_SECTION(sequence);
        if (position_in(PyList_GET_SIZE(sequence), &index)) {
            found = PyList_GET_ITEM(sequence, index);
            Py_INCREF(found);
        }
        DL_END_CRITICAL_SECTION();
        if (found) return Value::of(Ref::steal(found));
    }
    // Out of range, or any other type: the interpreter's item access raises or asks the object.
    Ref key = key_of(index, line);
    return Value::of(check(PyObject_GetItem(sequence, key.get()), line));
}

void set_item(PyObject* sequence, Py_ssize_t index, const Value& value, int line) {
    if (kCBranches && PyList_CheckExact(sequence)) {
        PyObject* replacement = value.object(line);
        PyObject* old = nullptr;
        DL_BEGIN_CRITICAL_SECTION(sequence);
        if (position_in(PyList_GET_SIZE(sequence), &index)) {
            Py_INCREF(replacement);
            old = PyList_GET_ITEM(sequence, index);
            PyList_SET_ITEM(sequence, index, replacement);
        }
        DL_END_CRITICAL_SECTION();
        // Released after the section, as a list releases a replaced item: that may run host code.
        if (old) {
            Py_DECREF(old);
            return;
        }
    }
    Ref key = key_of(index, line);
    check(PyObject_SetItem(sequence, key.get(), value.object(line)), line);
}

void set_item(PyObject* sequence, const Value& index, const Value& value, int line) {
    if (index.is_whole()) return set_item(sequence, static_cast<Py_ssize_t>(index.whole_value()), value, line);
    check(PyObject_SetItem(sequence, index.object(line), value.object(line)), line);
}

Value sum_items(PyObject* sequence, Py_ssize_t count, int line) {
    Py_ssize_t i = 0;
    long long sum = 0;
    if (kCBranches && PyList_CheckExact(sequence)) {
        DL_BEGIN_CRITICAL_SECTION(sequence);
        // Up to 2^22 compact ints, each below 2^30, add up to less than the limit.
        const Py_ssize_t kMostAdded = Py_ssize_t{1} << 22;
        Py_ssize_t end = count < PyList_GET_SIZE(sequence) ? count : PyList_GET_SIZE(sequence);
        if (end > kMostAdded) end = kMostAdded;
        for (long long value = 0; i < end && compact_value(PyList_GET_ITEM(sequence, i), &value); ++i) sum += value;
        DL_END_CRITICAL_SECTION();
    }
    Value total = Value::whole(sum);
    for (; i < count; ++i) total = add(total, item(sequence, i, line), line);
    return total;
}

Ref zeros(const Value& count, int line) {
    // Longer lists go the interpreter's way, which also refuses sizes it cannot hold.
    const long long kLongest = 1 << 16;
    if (count.is_whole() && count.whole_value() <= kLongest) {
        const Py_ssize_t size = count.whole_value() > 0 ? static_cast<Py_ssize_t>(count.whole_value()) : 0;
        Ref list = check(PyList_New(size), line);
        for (Py_ssize_t i = 0; i < size; ++i) PyList_SET_ITEM(list.get(), i, byte_int(0));
        return list;
    }
    Ref one_zero = check(Py_BuildValue("[i]", 0), line);
    return check(PyNumber_Multiply(one_zero.get(), count.object(line)), line);
}

bool copy_items(PyObject* target, Py_ssize_t target_start, PyObject* source, const Value& source_start,
                const Value& count) {
    if (!kCBranches || !PyList_CheckExact(target) || !PyBytes_CheckExact(source) || !source_start.is_whole() ||
        !count.is_whole())
        return false;
    const long long first = source_start.whole_value(), n = count.whole_value();
    if (first < 0 || n < 0 || first + n > PyBytes_GET_SIZE(source) || target_start < 0) return false;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(source)) + first;
    bool copied = false;
    DL_BEGIN_CRITICAL_SECTION(target);
    PyObject** items = reinterpret_cast<PyListObject*>(target)->ob_item;
    bool replaceable = target_start + n <= PyList_GET_SIZE(target);
    for (long long i = 0; replaceable && i < n; ++i) replaceable = PyLong_CheckExact(items[target_start + i]);
    if (replaceable) {
        for (long long i = 0; i < n; ++i) {
            PyObject* old = items[target_start + i];
            items[target_start + i] = byte_int(data[i]);
            Py_DECREF(old);  // an exact int: releasing it runs no host code
        }
        copied = true;
    }
    DL_END_CRITICAL_SECTION();
    return copied;
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
        {&names.int_1, 1},
        {&names.int_5, 5},
        {&names.int_6645, 6645},
        {&names.int_22336, 22336},
    };
    for (const auto& entry : ints) {
        if (!*entry.first && !(*entry.first = PyLong_FromLong(entry.second))) return false;
    }
    for (long value = 0; value < 256; ++value) {
        if (!byte_ints[value] && !(byte_ints[value] = PyLong_FromLong(value))) return false;
    }
    return true;
}

}  // namespace dl
