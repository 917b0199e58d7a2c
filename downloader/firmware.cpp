// Firmware download: loading the image (init), sending it block by block (download) and
// starting it (run).
//
// Block n carries image bytes 32n .. 32n+31 (the last block the remainder) with n as its
// packet counter. Block 0 carries the image length, little-endian, at payload offsets
// 6..9, in place of image bytes 6..9.
#include "downloader.hpp"

namespace dl {
namespace {

const long kBlockSize = 32;
const long kBlockCommand = 0x10;
const long kRunCommand = 0x20;
const Py_ssize_t kPayloadAt = 4;      // list index of a frame's first payload byte
const Py_ssize_t kLengthAt = 10;      // list index of the length in block 0: payload offset 6
const Py_ssize_t kLengthBytes = 4;    // the length goes out as 32 bits, least significant first
const Py_ssize_t kShortestImage = 9;  // block 0 must reach list index 13
const long kLastBlock = 65535;        // the packet counter, which numbers the blocks, is 16 bits
const long kPercentPerBlock = 100 * kBlockSize;
const long kComplete = 100;

const Constant kOpenMode{"rb"};
const Constant kRead{"read"};
const Constant kClose{"close"};
const Constant kOpenedMessage{"文件打开正常"};
const Constant kUnopenableMessage{"文件打不开"};
const Constant kRejectedMessage{"send wrong"};
const Constant kCounterWrongMessage{"计数值错误"};
const Constant kTooShortMessage{"镜像太短，装不下镜像长度"};

Ref report(const Constant& message, Ref result, int line) {
    say(message, line);
    return result;
}

// The file opened for reading bytes, by the builtin open held since import. Failing with an
// exception of the Exception family gives an empty Ref; any other kind propagates.
Ref open_image(PyObject* file) {
    try {
        return call2(held.open, file, kOpenMode.get(), line::init::open);
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return Ref();
    }
}

Ref load_image(PyObject* globals, PyObject* file) {
    say(file, line::init::say_file);
    Ref handle = open_image(file);
    if (!handle) return report(kUnopenableMessage, bool_object(false), line::init::say_unopenable);
    say(kOpenedMessage, line::init::say_opened);
    Ref image = call_method0(handle.get(), kRead, line::init::read);
    store_global(globals, global::res, image.get(), line::init::read);
    store_global(globals, global::Pcounter, small_int(0).get(), line::init::restart_counter);
    call_method0(handle.get(), kClose, line::init::close);
    return bool_object(true);
}

Value image_length(PyObject* globals, int line) {
    Ref image = lookup_global(globals, global::res, line);
    return number(length(image.get(), line), line);
}

Value block_size() { return Value::whole(kBlockSize); }

inline Value counter(PyObject* globals, int line) { return Value::of(lookup_global(globals, global::Pcounter, line)); }

// Nothing of the image is left to send.
bool image_complete(PyObject* globals, int line) {
    Value offset = multiply(block_size(), counter(globals, line), line);
    return compare(offset, image_length(globals, line), Py_GE, line);
}

// The image bytes the next block carries: a whole block, or what is left.
Value data_count(PyObject* globals) {
    const int full = line::download::full_block, last = line::download::last_block;
    Value next = add(counter(globals, full), Value::whole(1), full);
    if (compare(multiply(block_size(), next, full), image_length(globals, full), Py_LT, full)) return block_size();

    Value length = image_length(globals, last);
    Value start = multiply(block_size(), counter(globals, last), last);
    return subtract(length, start, last);
}

// The block's image bytes, after the frame's header.
void copy_block(PyObject* globals, PyObject* buf, const Value& loop) {
    const int line = line::download::copy_byte;
    if (held.range == reinterpret_cast<PyObject*>(&PyRange_Type) && loop.is_whole() && loop.whole_value() > 0) {
        // With the real range and these exact types no pass of the loop runs host code, so
        // none can change what the next pass reads: one read of the globals serves them all.
        Value block = counter(globals, line);
        Ref image = lookup_global(globals, global::res, line);
        if (block.is_whole() && copy_items(buf, kPayloadAt, image.get(), multiply(block_size(), block, line), loop))
            return;
    }
    Ref indices = call1(held.range, loop.object(line::download::each_byte), line::download::each_byte);
    Ref iterator = check(PyObject_GetIter(indices.get()), line::download::each_byte);
    while (Ref i = Ref::steal(PyIter_Next(iterator.get()))) {
        Value index = Value::of(i.get());
        Value position = add(multiply(block_size(), counter(globals, line), line), index, line);
        Ref image = lookup_global(globals, global::res, line);
        Ref value = check(PyObject_GetItem(image.get(), position.object(line)), line);
        set_item(buf, add(index, Value::whole(kPayloadAt), line), Value::of(value.get()), line);
    }
    if (PyErr_Occurred()) fail(line::download::each_byte);
}

// Block 0 only: the image's length over its payload bytes 6..9.
void patch_length(PyObject* globals, PyObject* buf) {
    const int line = line::download::image_length;
    const Py_ssize_t image_bytes = length(lookup_global(globals, global::res, line).get(), line);
    for (Py_ssize_t i = 0; i < kLengthBytes; ++i)
        set_item(buf, kLengthAt + i, Value::whole((image_bytes >> (8 * i)) & 0xFF), line);
}

// The next block's frame: the command, the block's bytes and, in block 0, the length.
Ref build_block(PyObject* globals) {
    Value loop = data_count(globals);
    const int make_frame = line::download::make_frame;
    Ref buf = zeros(add(loop, Value::whole(kFrameOverhead), make_frame), make_frame);
    set_item(buf.get(), 0, Value::whole(kBlockCommand), line::download::command);
    copy_block(globals, buf.get(), loop);
    const int first = line::download::first_block;
    if (compare(counter(globals, first), Value::whole(0), Py_EQ, first)) patch_length(globals, buf.get());
    return buf;
}

// After an accepted block: Pcounter += 1, wrapped to 0 (and reported) past 65535; then 100
// when the image is complete, else the share sent so far in percent.
Ref advance(PyObject* globals) {
    const int line = line::download::advance;
    store_global(globals, global::Pcounter, add(counter(globals, line), Value::whole(1), line).object(line), line);
    const int past_last = line::download::past_last;
    if (compare(counter(globals, past_last), Value::whole(kLastBlock), Py_GT, past_last)) {
        store_global(globals, global::Pcounter, small_int(0).get(), line::download::wrap);
        return report(kCounterWrongMessage, small_int(0), line::download::say_counter_wrong);
    }
    if (image_complete(globals, line::download::complete)) return small_int(kComplete);

    const int progress = line::download::progress;
    Value scaled = multiply(counter(globals, progress), Value::whole(kPercentPerBlock), progress);
    return true_divide(scaled, image_length(globals, progress), progress).take(progress);
}

Ref download_block(PyObject* globals) {
    say(lookup_global(globals, global::Pcounter, line::download::say_counter).get(), line::download::say_counter);
    // An image too short for block 0 to carry its length is refused before anything is sent.
    const int too_short = line::download::too_short;
    if (length(lookup_global(globals, global::res, too_short).get(), too_short) < kShortestImage)
        return report(kTooShortMessage, small_int(0), line::download::say_too_short);
    // Nothing left to send: report completion again rather than send an empty or broken block.
    if (image_complete(globals, line::download::nothing_left)) return small_int(kComplete);
    Ref buf = build_block(globals);

    const int exchange = line::download::exchange;
    Ref result = call_send(globals, buf.get(), small_int(kCheckReply).get(), exchange);
    if (is_not_ok(result.get(), exchange)) return report(kRejectedMessage, small_int(0), line::download::say_rejected);
    return advance(globals);
}

Ref start_image(PyObject* globals) {
    Ref buf = zeros(Value::whole(kFrameOverhead), line::run::make_frame);
    set_item(buf.get(), 0, Value::whole(kRunCommand), line::run::command);
    call_send(globals, buf.get(), small_int(kSkipReplyCheck).get(), line::run::exchange);
    return bool_object(true);
}

}  // namespace

PyObject* init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded("downloader.init", line::init::definition, module, [&](PyObject* globals) {
        take_one_argument("init", nargs, kwnames);
        return load_image(globals, args[0]);
    });
}

PyObject* download(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded("downloader.download", line::download::definition, module, [&](PyObject* globals) {
        take_no_arguments("download", nargs, kwnames);
        return download_block(globals);
    });
}

PyObject* run(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded("downloader.run", line::run::definition, module, [&](PyObject* globals) {
        take_no_arguments("run", nargs, kwnames);
        return start_image(globals);
    });
}

}  // namespace dl
