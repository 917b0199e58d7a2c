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

Py_ssize_t image_length(PyObject* globals, int line) {
    Ref image = lookup_global(globals, names.res, line);
    return check_size(PyObject_Size(image.get()), line);
}

// 32 * Pcounter >= len(res): nothing of the image is left to send.
bool image_complete(PyObject* globals, int line) {
    Ref counter = lookup_global(globals, names.Pcounter, line);
    long value = 0;
    if (counter_in_range(counter.get(), &value)) return kBlockSize * value >= image_length(globals, line);
    Ref block_size = integer(kBlockSize, line);
    Ref offset = check(PyNumber_Multiply(block_size.get(), counter.get()), line);
    Ref length = check(PyLong_FromSsize_t(image_length(globals, line)), line);
    return compare(offset.get(), length.get(), Py_GE, line);
}

// The request for block n when Pcounter is an exact int, res exact bytes holding block n,
// and range the real one: no host code can run, so plain C gives the same list. *other_bytes
// gets the sum of its bytes that send does not stamp (all but list entries 1 to 3 and the last).
Ref build_block_directly(long n, PyObject* image, long* other_bytes) {
    const int line = 148;
    const Py_ssize_t length = PyBytes_GET_SIZE(image);
    const Py_ssize_t first = kBlockSize * n;
    const Py_ssize_t count = kBlockSize * (n + 1) < length ? kBlockSize : length - first;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(image)) + first;
#if defined(__GNUC__)
    // Blocks go in order, one per call, with the interpreter's work between: ask for the bytes
    // of a call a few blocks on now, so that they are in the cache when that call comes.
    if (first + 8 * kBlockSize < length) __builtin_prefetch(data + 8 * kBlockSize);
#endif

    Ref buf = check(PyList_New(count + 5), line);
    PyObject* list = buf.get();
    long sum = 16;
    PyList_SET_ITEM(list, 0, byte_int(16));
    for (Py_ssize_t i = 1; i < 4; ++i) PyList_SET_ITEM(list, i, byte_int(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list, i + 4, byte_int(data[i]));
        sum += data[i];
    }
    PyList_SET_ITEM(list, count + 4, byte_int(0));
    if (n == 0) {
        for (Py_ssize_t i = 0; i < 4; ++i) {
            const unsigned byte = (length >> (8 * i)) & 0xFF;
            check(PyList_SetItem(list, kLengthOffset + i, byte_int(byte)), 153);
            // For a 9-byte image the top length byte lands in the checksum entry.
            if (kLengthOffset + i < count + 4) sum += static_cast<long>(byte) - data[kLengthOffset - 4 + i];
        }
    }
    *other_bytes = sum;
    return buf;
}

// loop = 32 if 32 * (Pcounter + 1) < len(res) else len(res) - 32 * Pcounter
Ref data_count(PyObject* globals) {
    Ref block_size = integer(kBlockSize, 145);
    Ref counter = lookup_global(globals, names.Pcounter, 145);
    Ref next = check(PyNumber_Add(counter.get(), names.int_1), 145);
    Ref end = check(PyNumber_Multiply(block_size.get(), next.get()), 145);
    Ref length = check(PyLong_FromSsize_t(image_length(globals, 145)), 145);
    if (compare(end.get(), length.get(), Py_LT, 145)) return block_size;

    length = check(PyLong_FromSsize_t(image_length(globals, 147)), 147);
    counter = lookup_global(globals, names.Pcounter, 147);
    Ref start = check(PyNumber_Multiply(block_size.get(), counter.get()), 147);
    return check(PyNumber_Subtract(length.get(), start.get()), 147);
}

// buf[i + 4] = res[32 * Pcounter + i] for i in range(loop)
void copy_block(PyObject* globals, PyObject* buf, PyObject* loop) {
    Ref indices = call1(held.range, loop, 150);
    Ref iterator = check(PyObject_GetIter(indices.get()), 150);
    Ref block_size = integer(kBlockSize, 151);
    Ref four = integer(4, 151);
    while (Ref i = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref counter = lookup_global(globals, names.Pcounter, 151);
        Ref start = check(PyNumber_Multiply(block_size.get(), counter.get()), 151);
        Ref position = check(PyNumber_Add(start.get(), i.get()), 151);
        Ref image = lookup_global(globals, names.res, 151);
        Ref value = check(PyObject_GetItem(image.get(), position.get()), 151);
        Ref target = check(PyNumber_Add(i.get(), four.get()), 151);
        check(PyObject_SetItem(buf, target.get(), value.get()), 151);
    }
    if (PyErr_Occurred()) fail(150);
}

// buf[10:14] = the image length, least significant byte first
void patch_length(PyObject* globals, PyObject* buf) {
    const int line = 153;
    const Py_ssize_t length = image_length(globals, line);
    for (Py_ssize_t i = 0; i < 4; ++i)
        set_item(buf, kLengthOffset + i, integer((length >> (8 * i)) & 0xFF, line).get(), line);
}

// The same statements as build_block_directly, each through the object protocol.
Ref build_block_generically(PyObject* globals) {
    Ref loop = data_count(globals);
    Ref zeros = check(Py_BuildValue("[i]", 0), 148);
    Ref frame_size = check(PyNumber_Add(loop.get(), names.int_5), 148);
    Ref buf = check(PyNumber_Multiply(zeros.get(), frame_size.get()), 148);
    set_item(buf.get(), 0, integer(16, 149).get(), 149);
    copy_block(globals, buf.get(), loop.get());
    Ref counter = lookup_global(globals, names.Pcounter, 152);
    Ref zero = integer(0, 152);
    if (compare(counter.get(), zero.get(), Py_EQ, 152)) patch_length(globals, buf.get());
    return buf;
}

// Pcounter = 0 and "计数值错误" once the counter would pass 65535.
Ref wrap_counter(PyObject* globals) {
    store_global(globals, names.Pcounter, integer(0, 159).get(), 159);
    return report(names.counter_wrong, integer(0, 161), 160);
}

// The largest length whose quotient below is what true division of the two ints gives:
// both operands are then exact doubles, and one correctly rounded division is the result.
const Py_ssize_t kExactDivisor = Py_ssize_t{1} << 53;

// After an accepted block: Pcounter += 1, wrapped to 0 (and reported) past 65535; then 100
// when the image is complete, else the share sent so far in percent.
Ref advance(PyObject* globals, const BuiltRequest* built) {
    Ref counter = lookup_global(globals, names.Pcounter, 157);
    long value = 0;
    if (known_counter(counter.get(), built, &value)) {
        // The old value is still held here, so the store runs no host code and lines 158 to
        // 164 would read back value + 1.
        const long next = value + 1;
        store_global(globals, names.Pcounter, integer(next, 157).get(), 157);
        if (next > 65535) return wrap_counter(globals);
        Ref image = lookup_global(globals, names.res, 162);
        const Py_ssize_t length = PyBytes_CheckExact(image.get()) ? PyBytes_GET_SIZE(image.get()) : 0;
        if (length > 0 && length < kExactDivisor) {
            if (kBlockSize * next >= length) return integer(100, 163);
            return check(PyFloat_FromDouble(static_cast<double>(next * 3200) / static_cast<double>(length)), 164);
        }
    } else {
        Ref next = check(PyNumber_Add(counter.get(), names.int_1), 157);
        store_global(globals, names.Pcounter, next.get(), 157);
        counter = lookup_global(globals, names.Pcounter, 158);
        if (compare(counter.get(), names.int_65535, Py_GT, 158)) return wrap_counter(globals);
    }
    if (image_complete(globals, 162)) return integer(100, 163);

    counter = lookup_global(globals, names.Pcounter, 164);
    Ref scaled = check(PyNumber_Multiply(counter.get(), names.int_3200), 164);
    Ref length = check(PyLong_FromSsize_t(image_length(globals, 164)), 164);
    return check(PyNumber_TrueDivide(scaled.get(), length.get()), 164);
}

// Lines 140 to 153 in C when res is exact bytes, Pcounter an exact int in range and range the
// real one: after the print, each global is read once, since no host code runs until the
// request goes to send. Gives an early result, or the request in *buf; false hands the call to
// the object-protocol statements, which read the globals again.
bool prepare_directly(PyObject* globals, Ref* early, Ref* buf, Ref* counter, BuiltRequest* built) {
    Ref image = lookup_global(globals, names.res, 140);
    if (!PyBytes_CheckExact(image.get())) return false;
    const Py_ssize_t length = PyBytes_GET_SIZE(image.get());
    if (length < kShortestImage) {
        *early = report(names.image_too_short, integer(0, 142), 141);
        return true;
    }
    *counter = lookup_global(globals, names.Pcounter, 143);
    long n = 0;
    if (!counter_in_range(counter->get(), &n) || held.range != reinterpret_cast<PyObject*>(&PyRange_Type)) return false;
    if (kBlockSize * n >= length) {
        *early = integer(100, 144);
    } else {
        *buf = build_block_directly(n, image.get(), &built->other_bytes);
        *built = BuiltRequest{counter->get(), n, built->other_bytes};
    }
    return true;
}

Ref download_block(PyObject* globals) {
    say(lookup_global(globals, names.Pcounter, 139).get(), 139);
    Ref early, buf, counter;
    BuiltRequest built = {nullptr, 0, 0};
    if (!prepare_directly(globals, &early, &buf, &counter, &built)) {
        // An image too short for block 0 to carry its length is refused before anything is sent.
        if (image_length(globals, 140) < kShortestImage) return report(names.image_too_short, integer(0, 142), 141);
        // Nothing left to send: report completion again rather than send an empty or broken block.
        if (image_complete(globals, 143)) return integer(100, 144);
        buf = build_block_generically(globals);
    }
    if (early) return early;

    Ref result = call_send(globals, buf.get(), byte_ints.item[0], 154, built.counter ? &built : nullptr);
    if (!is_ok(result.get(), 154)) return report(names.send_wrong, integer(0, 156), 155);
    return advance(globals, built.counter ? &built : nullptr);
}

Ref start_image(PyObject* globals) {
    Ref buf = check(PyList_New(5), 170);
    for (Py_ssize_t i = 0; i < 5; ++i) PyList_SET_ITEM(buf.get(), i, byte_int(0));
    check(PyList_SetItem(buf.get(), 0, byte_int(32)), 171);
    call_send(globals, buf.get(), names.int_1, 172);
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
