// Device protocol: one command exchange (send) and the heartbeat (beat).
//
// A request is [command, counter low, counter high, payload length, payload..., checksum],
// the checksum being the sum of all bytes before it, mod 256. The reply is 5 bytes:
// [any, counter low, counter high, 0, checksum of the four].
#include "downloader.hpp"

namespace dl {
namespace {

// out[1] = Pcounter % 256; out[2] = int(Pcounter / 256); out[3] = n - 5
void stamp_counter_and_length(PyObject* globals, PyObject* out, Py_ssize_t n) {
    const Value divisor = Value::whole(256);
    Value counter = Value::of(lookup_global(globals, names.Pcounter, 93));
    set_item(out, 1, remainder(counter, divisor, 93), 93);
    counter = Value::of(lookup_global(globals, names.Pcounter, 94));
    set_item(out, 2, to_int(true_divide(counter, divisor, 94), 94), 94);
    set_item(out, 3, number(n - 5, 95), 95);
}

// out[n - 1] = sum(out[0:n - 1]) % 256
void stamp_checksum(PyObject* out, Py_ssize_t n) {
    Value sum = sum_items(out, n - 1, 96);
    set_item(out, n - 1, remainder(sum, Value::whole(256), 97), 97);
}

// The raised exception, taken from the interpreter: normalised, its traceback attached.
Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// For its lifetime, `exception` is the exception being handled, as in an `except` block:
// sys.exc_info() shows it, and the interpreter chains what is raised meanwhile to it (never
// to itself, and cutting any cycle through the context chain). The previous one comes back.
class Handling {
public:
    explicit Handling(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030B0000
        previous_ = PyErr_GetHandledException();
        PyErr_SetHandledException(exception);
#else
        PyErr_GetExcInfo(&previous_type_, &previous_, &previous_traceback_);
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
        PyObject* traceback = PyException_GetTraceback(exception);  // a new reference, or NULL
        Py_INCREF(type);
        Py_INCREF(exception);
        PyErr_SetExcInfo(type, exception, traceback);
#endif
    }
    ~Handling() {
#if PY_VERSION_HEX >= 0x030B0000
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
#else
        PyErr_SetExcInfo(previous_type_, previous_, previous_traceback_);
#endif
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_ = nullptr;
#if PY_VERSION_HEX < 0x030B0000
    PyObject* previous_type_ = nullptr;
    PyObject* previous_traceback_ = nullptr;
#endif
};

// print(e) for an exception caught in the exchange, while it is being handled.
void print_caught_exception() {
    Ref caught = take_raised_exception();
    Handling handling(caught.get());
    say(caught.get(), 103);
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
    if (length(reply, line) < 5) return true;
    return compare(item(reply, 3, line), Value::whole(0), Py_NE, line);
}

// (reply[0] + reply[1] + reply[2] + reply[3]) % 256
Value reply_sum(PyObject* reply) {
    const int line = 110;
    Value sum = item(reply, 0, line);
    for (Py_ssize_t i = 1; i < 4; ++i) sum = add(sum, item(reply, i, line), line);
    return remainder(sum, Value::whole(256), line);
}

// reply[2] * 256 + reply[1]
Value reply_counter(PyObject* reply) {
    const int line = 114;
    Value scaled = multiply(item(reply, 2, line), Value::whole(256), line);
    return add(scaled, item(reply, 1, line), line);
}

Ref judge_reply(PyObject* globals, PyObject* reply) {
    if (bad_length(reply)) return report(names.length_wrong, names.length, 108);

    Value sum = reply_sum(reply);
    if (compare(sum, item(reply, 4, 111), Py_NE, 111))
        return report_formatted(names.checksum_wrong, sum.object(112), names.checksum, 112);

    Value reply_count = reply_counter(reply);
    if (compare(reply_count, Value::of(lookup_global(globals, names.Pcounter, 115)), Py_NE, 115)) {
        Ref counter = lookup_global(globals, names.Pcounter, 116);
        Ref values = check(PyTuple_Pack(2, reply_count.object(116), counter.get()), 116);
        return report_formatted(names.counter_mismatch, values.get(), names.counter, 116);
    }
    return Ref::incref(names.ok);
}

// res == 1
bool validation_off(PyObject* validation) { return compare(Value::of(validation), Value::whole(1), Py_EQ, 105); }

Ref exchange(PyObject* globals, PyObject* out, PyObject* validation) {
    const Py_ssize_t n = length(out, 92);
    stamp_counter_and_length(globals, out, n);
    stamp_checksum(out, n);
    Ref reply = transmit(globals, out);
    if (!reply) return Ref::incref(names.error);
    if (validation_off(validation)) return Ref::incref(names.ok);
    return judge_reply(globals, reply.get());
}

PyObject* exchange_guarded(PyObject* module, PyObject* out, PyObject* validation) {
    return guarded("downloader.send", kSendLine, module,
                   [&](PyObject* globals) { return exchange(globals, out, validation); });
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
    Value counter = Value::of(lookup_global(globals, names.Pcounter, 64));
    store_global(globals, names.Pcounter, add(counter, Value::whole(1), 64).object(64), 64);
    counter = Value::of(lookup_global(globals, names.Pcounter, 65));
    if (compare(counter, Value::whole(65535), Py_GT, 65))
        store_global(globals, names.Pcounter, integer(0, 66).get(), 66);

    Ref buf = zeros(Value::whole(5), 67);
    set_item(buf.get(), 0, Value::whole(0), 68);

    Ref zero = integer(0, 69);
    Ref result = call_send(globals, buf.get(), zero.get(), 69);
    if (!is_ok(result.get(), 69)) return report(names.beat_error, names.beat_error, 70);
    return Ref::incref(names.beated);
}

}  // namespace

Ref call_send(PyObject* globals, PyObject* out, PyObject* validation, int line) {
    Ref function = lookup_global(globals, names.send, line);
    if (is_module_send(function.get()))
        return check(exchange_guarded(PyCFunction_GET_SELF(function.get()), out, validation), line);
    return call2(function.get(), out, validation, line);
}

PyObject* send(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* values[2] = {nullptr, nullptr};
#if defined(Py_GIL_DISABLED)
    // A caller's own dict may be changed by another thread while it is parsed: parse a copy.
    Ref keywords = Ref::steal(kwargs ? PyDict_Copy(kwargs) : nullptr);
    if (kwargs && !keywords) {
        add_traceback("downloader.send", kSendLine, PyModule_GetDict(module));
        return nullptr;
    }
    kwargs = keywords.get();
#endif
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
