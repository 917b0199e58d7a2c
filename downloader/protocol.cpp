// Device protocol: one command exchange (send) and the heartbeat (beat).
//
// A request is [command, counter low, counter high, payload length, payload..., checksum],
// the checksum being the sum of all bytes before it, mod 256. The reply is 5 bytes:
// [any, counter low, counter high, 0, checksum of the four].
#include "downloader.hpp"

namespace dl {
namespace {

const long kByteValues = 256;  // a frame byte holds a value mod this
// Where a frame, request or reply, holds its fields; a reply is a frame without payload.
const Py_ssize_t kCounterLowAt = 1;
const Py_ssize_t kCounterHighAt = 2;
const Py_ssize_t kPayloadLengthAt = 3;
const Py_ssize_t kReplyChecksumAt = 4;
const long kReplyLength = 5;
const long kHeartbeatCommand = 0x00;
const long kLastCounter = 65535;  // the packet counter is 16 bits wide

const Constant kReplySize{kReplyLength};  // ser.read(5)
const Constant kSend{"send"};
const Constant kOut{"out"};  // send's parameters
const Constant kRes{"res"};
const Constant kWrite{"write"};
const Constant kRead{"read"};

// What send returns, and beat.
const Constant kOk{"ok"};
const Constant kError{"error"};
const Constant kLength{"length"};
const Constant kChecksum{"checksum"};
const Constant kCounter{"counter"};
const Constant kBeated{"beated"};
const Constant kBeatError{"beaat error"};

const Constant kBadLengthMessage{"packet length error"};
const Constant kBadChecksumFormat{"packet checksum error: %d"};
const Constant kBadCounterFormat{"packet counter error %d %d"};

Value byte_values() { return Value::whole(kByteValues); }

void stamp_counter_and_length(PyObject* globals, PyObject* out, Py_ssize_t n) {
    const int low = line::send::counter_low, high = line::send::counter_high;
    Value counter = Value::of(lookup_global(globals, global::Pcounter, low));
    set_item(out, kCounterLowAt, remainder(counter, byte_values(), low), low);
    counter = Value::of(lookup_global(globals, global::Pcounter, high));
    set_item(out, kCounterHighAt, to_int(true_divide(counter, byte_values(), high), high), high);
    const int length_line = line::send::payload_length;
    set_item(out, kPayloadLengthAt, number(n - kFrameOverhead, length_line), length_line);
}

void stamp_checksum(PyObject* out, Py_ssize_t n) {
    Value sum = sum_items(out, n - 1, line::send::add_up);
    set_item(out, n - 1, remainder(sum, byte_values(), line::send::checksum), line::send::checksum);
}

// The request out, and the device's reply, printed. An exception of the Exception family is
// printed and gives an empty Ref ("error"); any other kind propagates.
Ref transmit(PyObject* globals, PyObject* out) {
    try {
        Ref port = lookup_global(globals, global::ser, line::send::write);
        call_method1(port.get(), kWrite, out, line::send::write);
        port = lookup_global(globals, global::ser, line::send::read);
        Ref reply = call_method1(port.get(), kRead, kReplySize.get(), line::send::read);
        say(reply.get(), line::send::say_reply);
        return reply;
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        say_caught_exception(line::send::say_caught);
        return Ref();
    }
}

Ref report(const Constant& message, const Constant& result, int line) {
    say(message, line);
    return Ref::incref(result.get());
}

Ref report_formatted(const Constant& format, PyObject* values, const Constant& result, int line) {
    Ref message = check(PyUnicode_Format(format.get(), values), line);
    say(message.get(), line);
    return Ref::incref(result.get());
}

bool bad_length(PyObject* reply) {
    const int line = line::send::bad_length;
    if (length(reply, line) < kReplyLength) return true;
    return compare(item(reply, kPayloadLengthAt, line), Value::whole(0), Py_NE, line);
}

Value reply_sum(PyObject* reply) {
    const int line = line::send::reply_sum;
    Value sum = item(reply, 0, line);
    for (Py_ssize_t i = 1; i < kReplyChecksumAt; ++i) sum = add(sum, item(reply, i, line), line);
    return remainder(sum, byte_values(), line);
}

Value reply_counter(PyObject* reply) {
    const int line = line::send::reply_counter;
    Value scaled = multiply(item(reply, kCounterHighAt, line), byte_values(), line);
    return add(scaled, item(reply, kCounterLowAt, line), line);
}

bool bad_checksum(const Value& sum, PyObject* reply) {
    const int line = line::send::bad_checksum;
    return compare(sum, item(reply, kReplyChecksumAt, line), Py_NE, line);
}

bool bad_counter(PyObject* globals, const Value& count) {
    const int line = line::send::bad_counter;
    return compare(count, Value::of(lookup_global(globals, global::Pcounter, line)), Py_NE, line);
}

Ref report_counter_mismatch(PyObject* globals, const Value& count) {
    const int line = line::send::say_bad_counter;
    Ref counter = lookup_global(globals, global::Pcounter, line);
    Ref values = check(PyTuple_Pack(2, count.object(line), counter.get()), line);
    return report_formatted(kBadCounterFormat, values.get(), kCounter, line);
}

Ref judge_reply(PyObject* globals, PyObject* reply) {
    if (bad_length(reply)) return report(kBadLengthMessage, kLength, line::send::say_bad_length);
    Value sum = reply_sum(reply);
    if (bad_checksum(sum, reply)) {
        const int line = line::send::say_bad_checksum;
        return report_formatted(kBadChecksumFormat, sum.object(line), kChecksum, line);
    }
    Value count = reply_counter(reply);
    if (bad_counter(globals, count)) return report_counter_mismatch(globals, count);
    return Ref::incref(kOk.get());
}

bool validation_off(PyObject* validation) {
    return compare(Value::of(validation), Value::whole(kSkipReplyCheck), Py_EQ, line::send::unchecked);
}

Ref exchange(PyObject* globals, PyObject* out, PyObject* validation) {
    const Py_ssize_t n = length(out, line::send::measure);
    stamp_counter_and_length(globals, out, n);
    stamp_checksum(out, n);
    Ref reply = transmit(globals, out);
    if (!reply) return Ref::incref(kError.get());
    if (validation_off(validation)) return Ref::incref(kOk.get());
    return judge_reply(globals, reply.get());
}

PyObject* exchange_guarded(PyObject* module, PyObject* out, PyObject* validation) {
    return guarded("downloader.send", line::send::definition, module,
                   [&](PyObject* globals) { return exchange(globals, out, validation); });
}

bool is_module_send(PyObject* function) {
    return PyCFunction_Check(function) &&
           PyCFunction_GET_FUNCTION(function) == reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(send)) &&
           PyModule_Check(PyCFunction_GET_SELF(function));
}

void advance_counter(PyObject* globals) {
    const int line = line::beat::advance;
    Value counter = Value::of(lookup_global(globals, global::Pcounter, line));
    store_global(globals, global::Pcounter, add(counter, Value::whole(1), line).object(line), line);
    counter = Value::of(lookup_global(globals, global::Pcounter, line::beat::past_last));
    if (compare(counter, Value::whole(kLastCounter), Py_GT, line::beat::past_last))
        store_global(globals, global::Pcounter, small_int(0).get(), line::beat::wrap);
}

Ref heartbeat(PyObject* globals) {
    advance_counter(globals);
    Ref buf = zeros(Value::whole(kFrameOverhead), line::beat::make_frame);
    set_item(buf.get(), 0, Value::whole(kHeartbeatCommand), line::beat::command);

    Ref result = call_send(globals, buf.get(), small_int(kCheckReply).get(), line::beat::exchange);
    if (is_not_ok(result.get(), line::beat::exchange)) return report(kBeatError, kBeatError, line::beat::say_error);
    return Ref::incref(kBeated.get());
}

}  // namespace

bool is_not_ok(PyObject* result, int line) { return result != kOk.get() && compare(result, kOk.get(), Py_NE, line); }

Ref call_send(PyObject* globals, PyObject* out, PyObject* validation, int line) {
    Ref function = lookup_global(globals, kSend, line);
    if (is_module_send(function.get()))
        return check(exchange_guarded(PyCFunction_GET_SELF(function.get()), out, validation), line);
    return call2(function.get(), out, validation, line);
}

PyObject* send(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded("downloader.send", line::send::definition, module, [&](PyObject* globals) {
        // Held for the call: the host's code may change the keyword dict while it runs. Should
        // releasing them run host code that clears the exception, the shell reports SystemError.
        Ref out, validation;
        take_two_arguments("send", kOut, kRes, args, kwargs, &out, &validation, line::send::definition);
        return exchange(globals, out.get(), validation.get());
    });
}

PyObject* beat(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded("downloader.beat", line::beat::definition, module, [&](PyObject* globals) {
        take_no_arguments("beat", nargs, kwnames);
        return heartbeat(globals);
    });
}

}  // namespace dl
