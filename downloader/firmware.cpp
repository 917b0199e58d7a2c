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
const Py_ssize_t kLengthOffset = 10;  // list index of the length in block 0: payload offset 6
const Py_ssize_t kShortestImage = 9;  // block 0 must reach list index 13

Ref report(PyObject* message, Ref result, int line) {
    say(message, line);
    return result;
}

// open(file, "rb") through the builtin open held since import. Failing with an exception of
// the Exception family gives an empty Ref; any other kind propagates.
Ref open_image(PyObject* file) {
    try {
        return call2(held.open, file, names.rb, 80);
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return Ref();
    }
}

Ref load_image(PyObject* globals, PyObject* file) {
    say(file, 78);
    Ref handle = open_image(file);
    if (!handle) return report(names.file_unopenable, bool_object(false), 82);
    say(names.file_opened, 84);
    Ref image = call_method0(handle.get(), names.read, 85);
    store_global(globals, names.res, image.get(), 85);
    store_global(globals, names.Pcounter, integer(0, 86).get(), 86);
    call_method0(handle.get(), names.close, 87);
    return bool_object(true);
}

Value image_length(PyObject* globals, int line) {
    Ref image = lookup_global(globals, names.res, line);
    return number(length(image.get(), line), line);
}

Value block_size() { return Value::whole(kBlockSize); }

// 32 * Pcounter >= len(res): nothing of the image is left to send.
bool image_complete(PyObject* globals, int line) {
    Value offset = multiply(block_size(), Value::of(lookup_global(globals, names.Pcounter, line)), line);
    return compare(offset, image_length(globals, line), Py_GE, line);
}

// loop = 32 if 32 * (Pcounter + 1) < len(res) else len(res) - 32 * Pcounter
Value data_count(PyObject* globals) {
    Value next = add(Value::of(lookup_global(globals, names.Pcounter, 145)), Value::whole(1), 145);
    if (compare(multiply(block_size(), next, 145), image_length(globals, 145), Py_LT, 145)) return block_size();

    Value length = image_length(globals, 147);
    Value start = multiply(block_size(), Value::of(lookup_global(globals, names.Pcounter, 147)), 147);
    return subtract(length, start, 147);
}

// buf[i + 4] = res[32 * Pcounter + i] for i in range(loop)
void copy_block(PyObject* globals, PyObject* buf, const Value& loop) {
    const int line = 151;
    if (held.range == reinterpret_cast<PyObject*>(&PyRange_Type) && loop.is_whole() && loop.whole_value() > 0) {
        // With the real range and these exact types no pass of the loop runs host code, so
        // none can change what the next pass reads: one read of the globals serves them all.
        Value counter = Value::of(lookup_global(globals, names.Pcounter, line));
        Ref image = lookup_global(globals, names.res, line);
        if (counter.is_whole() && copy_items(buf, 4, image.get(), multiply(block_size(), counter, line), loop)) return;
    }
    Ref indices = call1(held.range, loop.object(150), 150);
    Ref iterator = check(PyObject_GetIter(indices.get()), 150);
    while (Ref i = Ref::steal(PyIter_Next(iterator.get()))) {
        Value index = Value::of(i.get());
        Value start = multiply(block_size(), Value::of(lookup_global(globals, names.Pcounter, line)), line);
        Value position = add(start, index, line);
        Ref image = lookup_global(globals, names.res, line);
        Ref value = check(PyObject_GetItem(image.get(), position.object(line)), line);
        set_item(buf, add(index, Value::whole(4), line), Value::of(value.get()), line);
    }
    if (PyErr_Occurred()) fail(150);
}

// buf[10:14] = the image length, least significant byte first
void patch_length(PyObject* globals, PyObject* buf) {
    const int line = 153;
    const Py_ssize_t image_bytes = length(lookup_global(globals, names.res, line).get(), line);
    for (Py_ssize_t i = 0; i < 4; ++i)
        set_item(buf, kLengthOffset + i, Value::whole((image_bytes >> (8 * i)) & 0xFF), line);
}

// buf = [0] * (loop + 5); buf[0] = 16; the block's bytes; the length in block 0.
Ref build_block(PyObject* globals) {
    Value loop = data_count(globals);
    Ref buf = zeros(add(loop, Value::whole(5), 148), 148);
    set_item(buf.get(), 0, Value::whole(16), 149);
    copy_block(globals, buf.get(), loop);
    if (compare(Value::of(lookup_global(globals, names.Pcounter, 152)), Value::whole(0), Py_EQ, 152))
        patch_length(globals, buf.get());
    return buf;
}

// Pcounter = 0 and "计数值错误" once the counter would pass 65535.
Ref wrap_counter(PyObject* globals) {
    store_global(globals, names.Pcounter, integer(0, 159).get(), 159);
    return report(names.counter_wrong, integer(0, 161), 160);
}

// After an accepted block: Pcounter += 1, wrapped to 0 (and reported) past 65535; then 100
// when the image is complete, else the share sent so far in percent.
Ref advance(PyObject* globals) {
    Value next = add(Value::of(lookup_global(globals, names.Pcounter, 157)), Value::whole(1), 157);
    store_global(globals, names.Pcounter, next.object(157), 157);
    if (compare(Value::of(lookup_global(globals, names.Pcounter, 158)), Value::whole(65535), Py_GT, 158))
        return wrap_counter(globals);
    if (image_complete(globals, 162)) return integer(100, 163);

    Value scaled = multiply(Value::of(lookup_global(globals, names.Pcounter, 164)), Value::whole(3200), 164);
    return true_divide(scaled, image_length(globals, 164), 164).take(164);
}

Ref download_block(PyObject* globals) {
    say(lookup_global(globals, names.Pcounter, 139).get(), 139);
    // An image too short for block 0 to carry its length is refused before anything is sent.
    if (length(lookup_global(globals, names.res, 140).get(), 140) < kShortestImage)
        return report(names.image_too_short, integer(0, 142), 141);
    // Nothing left to send: report completion again rather than send an empty or broken block.
    if (image_complete(globals, 143)) return integer(100, 144);
    Ref buf = build_block(globals);

    Ref zero = integer(0, 154);
    Ref result = call_send(globals, buf.get(), zero.get(), 154);
    if (!is_ok(result.get(), 154)) return report(names.send_wrong, integer(0, 156), 155);
    return advance(globals);
}

Ref start_image(PyObject* globals) {
    Ref buf = zeros(Value::whole(5), 170);
    set_item(buf.get(), 0, Value::whole(32), 171);
    Ref one = integer(1, 172);
    call_send(globals, buf.get(), one.get(), 172);
    return bool_object(true);
}

}  // namespace

PyObject* init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_one_argument("init", nargs, kwnames)) return nullptr;
    PyObject* file = args[0];
    return guarded("downloader.init", kInitLine, module,
                   [file](PyObject* globals) { return load_image(globals, file); });
}

PyObject* download(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_no_arguments("download", nargs, kwnames)) return nullptr;
    return guarded("downloader.download", kDownloadLine, module, download_block);
}

PyObject* run(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_no_arguments("run", nargs, kwnames)) return nullptr;
    return guarded("downloader.run", kRunLine, module, start_image);
}

}  // namespace dl
