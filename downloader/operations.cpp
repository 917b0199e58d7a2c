// The typed operations: a C branch for exact ints, lists and bytes, the object protocol for the
// rest (see operations.hpp).
#include "operations.hpp"

namespace dl {

PyObject* byte_ints[256];

bool make_byte_ints() {
    for (long value = 0; value < 256; ++value) {
        if (!byte_ints[value] && !(byte_ints[value] = PyLong_FromLong(value))) return false;
    }
    return true;
}

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

}  // namespace dl
