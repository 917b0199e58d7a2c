// Device protocol: one command exchange (send) and the heartbeat (beat).
//
// A request is [command, counter low, counter high, payload length, payload..., checksum],
// the checksum being the sum of all bytes before it, mod 256. The reply is 5 bytes:
// [any, counter low, counter high, 0, checksum of the four].
#include "downloader.hpp"

namespace dl {
namespace {

// Pcounter % 256 and int(Pcounter / 256): plain arithmetic for a counter in range.
Ref counter_low_byte(PyObject* counter, int line) {
    long value = 0;
    if (counter_in_range(counter, &value)) return integer(value & 0xFF, line);
    return check(PyNumber_Remainder(counter, names.int_256), line);
}

Ref counter_high_byte(PyObject* counter, int line) {
    long value = 0;
    if (counter_in_range(counter, &value)) return integer(value >> 8, line);
    Ref quotient = check(PyNumber_TrueDivide(counter, names.int_256), line);
    return check(PyNumber_Long(quotient.get()), line);
}

// True when out[1], out[2] and out[3] of an exact list are cached byte ints: replacing them
// then runs no host code, so Pcounter read for out[1] is still the value that out[2] reads.
bool counter_slots_replaceable(PyObject* out) {
    unsigned ignored = 0;
    if (!PyList_CheckExact(out) || PyList_GET_SIZE(out) < 4) return false;
    for (Py_ssize_t i = 1; i < 4; ++i)
        if (!byte_int_value(PyList_GET_ITEM(out, i), &ignored)) return false;
    return true;
}

// out[1] = Pcounter % 256; out[2] = int(Pcounter / 256); out[3] = n - 5
void stamp_counter_and_length(PyObject* globals, PyObject* out, Py_ssize_t n) {
    Ref counter = lookup_global(globals, names.Pcounter, 93);
    long value = 0;
    if (n >= 5 && n <= 260 && counter_slots_replaceable(out) && counter_in_range(counter.get(), &value)) {
        PyObject** items = reinterpret_cast<PyListObject*>(out)->ob_item;
        for (Py_ssize_t i = 1; i < 4; ++i) {
            const unsigned byte = i == 1 ? value & 0xFF : i == 2 ? value >> 8 : static_cast<unsigned>(n - 5);
            PyObject* old = items[i];
            items[i] = byte_int(byte);
            Py_DECREF(old);  // a cached int: never freed here
        }
        return;
    }
    set_item(out, 1, counter_low_byte(counter.get(), 93).get(), 93);
    counter = lookup_global(globals, names.Pcounter, 94);
    set_item(out, 2, counter_high_byte(counter.get(), 94).get(), 94);
    set_item(out, 3, check(PyLong_FromSsize_t(n - 5), 95).get(), 95);
}

// Adds out[0], out[1], ... to *total in C while they are exact ints that fit; returns how
// many it added.
Py_ssize_t add_directly(PyObject* out, Py_ssize_t n, long long* total) {
    if (!PyList_CheckExact(out)) return 0;
    PyObject* const* items = reinterpret_cast<PyListObject*>(out)->ob_item;
    const Py_ssize_t end = n - 1 < PyList_GET_SIZE(out) ? n - 1 : PyList_GET_SIZE(out);
    if (byte_ints.addressable && end > 0) {
        // A frame of cached byte ints: the distance of each item from the int 0 has bits only
        // where a byte's value goes, and the distances add up to the sum, scaled.
        const uintptr_t first = byte_ints.first;
        uintptr_t distances = 0, seen = 0;
        for (Py_ssize_t i = 0; i < end; ++i) {
            const uintptr_t distance = reinterpret_cast<uintptr_t>(items[i]) - first;
            distances += distance;
            seen |= distance;
        }
        if (!(seen & ~(uintptr_t{0xFF} << byte_ints.shift))) {
            *total = static_cast<long long>(distances >> byte_ints.shift);
            return end;
        }
    }
    long long sum = 0;
    Py_ssize_t i = 0;
    for (; i < end; ++i) {
        unsigned byte = 0;
        if (byte_int_value(items[i], &byte)) {
            sum += byte;
            continue;
        }
        if (!PyLong_CheckExact(items[i])) break;
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(items[i], &overflow);
        if (overflow || value > (1L << 30) || value < -(1L << 30)) break;
        sum += value;
    }
    *total = sum;
    return i;
}

// s = sum(out[0:n-1]); out[n - 1] = s % 256
void stamp_checksum(PyObject* out, Py_ssize_t n) {
    long long total = 0;
    Py_ssize_t i = add_directly(out, n, &total);
    if (i >= n - 1) {
        set_item(out, n - 1, byte_ints.item[(total % 256 + 256) % 256], 97);
        return;
    }
    Ref sum = check(PyLong_FromLongLong(total), 96);
    for (; i < n - 1; ++i) {
        Ref item = get_item(out, i, 96);
        sum = check(PyNumber_Add(sum.get(), item.get()), 96);
    }
    set_item(out, n - 1, check(PyNumber_Remainder(sum.get(), names.int_256), 97).get(), 97);
}

// print(e) for an exception caught in the exchange. Should the printing itself fail, the
// new exception keeps the caught one as its context, as an `except` block would.
void print_caught_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    Ref caught = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Ref caught = Ref::steal(value);
#endif
    try {
        say(caught.get(), 103);
    } catch (const PythonError&) {
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, caught.release());
        PyErr_SetRaisedException(raised);
#else
        PyObject *raised_type, *raised, *raised_traceback;
        PyErr_Fetch(&raised_type, &raised, &raised_traceback);
        PyErr_NormalizeException(&raised_type, &raised, &raised_traceback);
        PyException_SetContext(raised, caught.release());
        PyErr_Restore(raised_type, raised, raised_traceback);
#endif
        throw;
    }
}

// ser.write(out); reply = ser.read(5); print(reply). An exception of the Exception family
// is printed and gives an empty Ref ("error"); any other kind propagates.
Ref transmit(PyObject* globals, PyObject* out) {
    try {
        Ref port = lookup_global(globals, names.ser, 99);
        call_method1(port.get(), names.write, out, 99);
        port = lookup_global(globals, names.ser, 100);
        Ref reply = call_method1(port.get(), names.read, names.int_5, 100);
        say(reply.get(), 101);
        return reply;
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        print_caught_exception();
        return Ref();
    }
}

// The reply's bytes 0..4 as C values, when it is a bytes object of at least 5 bytes.
bool reply_bytes(PyObject* reply, long bytes[5]) {
    if (!PyBytes_CheckExact(reply) || PyBytes_GET_SIZE(reply) < 5) return false;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(reply));
    for (int i = 0; i < 5; ++i) bytes[i] = data[i];
    return true;
}

Ref report(PyObject* message, PyObject* result, int line) {
    say(message, line);
    return Ref::incref(result);
}

Ref report_formatted(PyObject* format, PyObject* values, PyObject* result, int line) {
    Ref message = check(PyUnicode_Format(format, values), line);
    return report(message.get(), result, line);
}

// len(reply) < 5 or reply[3] != 0
bool bad_length(PyObject* reply) {
    const int line = 107;
    if (check_size(PyObject_Size(reply), line) < 5) return true;
    Ref length_byte = get_item(reply, 3, line);
    Ref zero = integer(0, line);
    return compare(length_byte.get(), zero.get(), Py_NE, line);
}

// (reply[0] + reply[1] + reply[2] + reply[3]) % 256
Ref reply_sum(PyObject* reply) {
    const int line = 110;
    long bytes[5];
    if (reply_bytes(reply, bytes)) return integer((bytes[0] + bytes[1] + bytes[2] + bytes[3]) % 256, line);
    Ref sum = get_item(reply, 0, line);
    for (Py_ssize_t i = 1; i < 4; ++i) {
        Ref item = get_item(reply, i, line);
        sum = check(PyNumber_Add(sum.get(), item.get()), line);
    }
    return check(PyNumber_Remainder(sum.get(), names.int_256), line);
}

// reply[2] * 256 + reply[1]
Ref reply_counter(PyObject* reply) {
    const int line = 114;
    long bytes[5];
    if (reply_bytes(reply, bytes)) return integer(bytes[2] * 256 + bytes[1], line);
    Ref high = get_item(reply, 2, line);
    Ref scaled = check(PyNumber_Multiply(high.get(), names.int_256), line);
    Ref low = get_item(reply, 1, line);
    return check(PyNumber_Add(scaled.get(), low.get()), line);
}

Ref judge_reply(PyObject* globals, PyObject* reply) {
    if (bad_length(reply)) return report(names.length_wrong, names.length, 108);

    Ref sum = reply_sum(reply);
    Ref checksum = get_item(reply, 4, 111);
    if (compare(sum.get(), checksum.get(), Py_NE, 111))
        return report_formatted(names.checksum_wrong, sum.get(), names.checksum, 112);

    Ref reply_count = reply_counter(reply);
    Ref counter = lookup_global(globals, names.Pcounter, 115);
    if (compare(reply_count.get(), counter.get(), Py_NE, 115)) {
        counter = lookup_global(globals, names.Pcounter, 116);
        Ref values = check(PyTuple_Pack(2, reply_count.get(), counter.get()), 116);
        return report_formatted(names.counter_mismatch, values.get(), names.counter, 116);
    }
    return Ref::incref(names.ok);
}

// The checks of judge_reply, in C, for a bytes reply and an exact int Pcounter: true when the
// reply passes them all. Otherwise judge_reply runs them again (no host code has run since,
// so they come out the same) and reports the one that fails.
bool reply_accepted_directly(PyObject* globals, PyObject* reply, const BuiltRequest* built) {
    long bytes[5];
    if (!reply_bytes(reply, bytes) || bytes[3] != 0 || (bytes[0] + bytes[1] + bytes[2]) % 256 != bytes[4]) return false;
    Ref counter = lookup_global(globals, names.Pcounter, 115);
    long value = 0;
    return known_counter(counter.get(), built, &value) && value == bytes[2] * 256 + bytes[1];
}

// res == 1
bool validation_off(PyObject* validation) {
    if (validation == byte_ints.item[0]) return false;
    if (PyLong_CheckExact(validation)) {
        int overflow = 0;
        return PyLong_AsLongAndOverflow(validation, &overflow) == 1 && !overflow;
    }
    return compare(validation, names.int_1, Py_EQ, 105);
}

// Statements 93 to 97 for a request described by `built`, when Pcounter is still the counter
// it was built under: its counter, length and checksum slots hold cached ints, so replacing
// them runs no host code, and the checksum is the known sum plus the stamped bytes.
bool stamp_built(PyObject* globals, PyObject* out, Py_ssize_t n, const BuiltRequest& built) {
    Ref counter = lookup_global(globals, names.Pcounter, 93);
    if (counter.get() != built.counter || n < 5 || n > 260) return false;
    const long value = built.value;
    const unsigned stamped[3] = {static_cast<unsigned>(value & 0xFF), static_cast<unsigned>(value >> 8),
                                 static_cast<unsigned>(n - 5)};
    PyObject** items = reinterpret_cast<PyListObject*>(out)->ob_item;
    for (int i = 0; i < 3; ++i) {
        PyObject* old = items[i + 1];
        items[i + 1] = byte_int(stamped[i]);
        Py_DECREF(old);
    }
    PyObject* old = items[n - 1];
    items[n - 1] = byte_int((built.other_bytes + stamped[0] + stamped[1] + stamped[2]) & 0xFF);
    Py_DECREF(old);
    return true;
}

Ref exchange(PyObject* globals, PyObject* out, PyObject* validation, const BuiltRequest* built) {
    Py_ssize_t n = PyList_CheckExact(out) ? PyList_GET_SIZE(out) : check_size(PyObject_Size(out), 92);
    if (!built || !stamp_built(globals, out, n, *built)) {
        stamp_counter_and_length(globals, out, n);
        stamp_checksum(out, n);
    }
    Ref reply = transmit(globals, out);
    if (!reply) return Ref::incref(names.error);
    if (validation_off(validation)) return Ref::incref(names.ok);
    if (reply_accepted_directly(globals, reply.get(), built)) return Ref::incref(names.ok);
    return judge_reply(globals, reply.get());
}

PyObject* exchange_guarded(PyObject* module, PyObject* out, PyObject* validation, const BuiltRequest* built = nullptr) {
    return guarded("downloader.send", kSendLine, module,
                   [&](PyObject* globals) { return exchange(globals, out, validation, built); });
}

bool is_module_send(PyObject* function) {
    return PyCFunction_Check(function) &&
           PyCFunction_GET_FUNCTION(function) == reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(send)) &&
           PyModule_Check(PyCFunction_GET_SELF(function));
}

// Argument errors of send, in the order they are detected.
bool count_error(Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "send", "exactly",
                 static_cast<Py_ssize_t>(2), "s", given);
    return false;
}

// 0 for "out", 1 for "res", -1 for any other name.
int parameter_index(PyObject* key) {
    if (PyUnicode_Compare(key, names.out) == 0) return 0;
    if (PyUnicode_Compare(key, names.res) == 0) return 1;
    return -1;
}

// Keywords left over once out and res are filled: each is a repeat of a positional
// argument, an unknown name, or not a string at all.
bool refuse_extra_keywords(PyObject* kwargs, Py_ssize_t nargs) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "send");
            return false;
        }
        int index = parameter_index(key);
        if (index >= nargs) continue;  // the keyword that filled this parameter
        if (index >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "send", key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "send", key);
        return false;
    }
    return true;
}

bool parse_send_arguments(PyObject* args, PyObject* kwargs, PyObject* values[2]) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t keywords = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs > 2 || (keywords == 0 && nargs != 2)) return count_error(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = PyTuple_GET_ITEM(args, i);
    if (keywords == 0) return true;

    Py_ssize_t unused = keywords;
    for (Py_ssize_t i = nargs; i < 2; ++i) {
        values[i] = PyDict_GetItemWithError(kwargs, i == 0 ? names.out : names.res);
        if (!values[i]) return PyErr_Occurred() ? false : count_error(i == 0 ? nargs : 1);
        --unused;
    }
    return unused == 0 || refuse_extra_keywords(kwargs, nargs);
}

Ref heartbeat(PyObject* globals) {
    Ref counter = lookup_global(globals, names.Pcounter, 64);
    long value = 0;
    if (counter_in_range(counter.get(), &value)) {
        // The old value is still held here, so the store runs no host code and line 65 would
        // read back value + 1.
        store_global(globals, names.Pcounter, integer(value + 1, 64).get(), 64);
        if (value + 1 > 65535) store_global(globals, names.Pcounter, byte_ints.item[0], 66);
    } else {
        Ref advanced = check(PyNumber_Add(counter.get(), names.int_1), 64);
        store_global(globals, names.Pcounter, advanced.get(), 64);
        counter = lookup_global(globals, names.Pcounter, 65);
        if (compare(counter.get(), names.int_65535, Py_GT, 65))
            store_global(globals, names.Pcounter, integer(0, 66).get(), 66);
    }

    Ref buf = check(PyList_New(5), 67);
    for (Py_ssize_t i = 0; i < 5; ++i) PyList_SET_ITEM(buf.get(), i, byte_int(0));
    check(PyList_SetItem(buf.get(), 0, byte_int(0)), 68);

    Ref result = call_send(globals, buf.get(), byte_ints.item[0], 69);
    if (!is_ok(result.get(), 69)) return report(names.beat_error, names.beat_error, 70);
    return Ref::incref(names.beated);
}

}  // namespace

Ref call_send(PyObject* globals, PyObject* out, PyObject* validation, int line, const BuiltRequest* built) {
    Ref function = lookup_global(globals, names.send, line);
    if (is_module_send(function.get()))
        return check(exchange_guarded(PyCFunction_GET_SELF(function.get()), out, validation, built), line);
    return call2(function.get(), out, validation, line);
}

PyObject* send(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* values[2] = {nullptr, nullptr};
    if (!parse_send_arguments(args, kwargs, values)) {
        add_traceback("downloader.send", kSendLine, PyModule_GetDict(module));
        return nullptr;
    }
    // Held for the call: the host's code may change the keyword dict while it runs.
    Ref out = Ref::incref(values[0]);
    Ref validation = Ref::incref(values[1]);
    return exchange_guarded(module, out.get(), validation.get());
}

PyObject* beat(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_no_arguments("beat", nargs, kwnames)) return nullptr;
    return guarded("downloader.beat", kBeatLine, module, heartbeat);
}

}  // namespace dl
