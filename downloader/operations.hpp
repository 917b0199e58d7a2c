// The typed operations: the Python operations inside the module's statements (`+`, `-`, `*`,
// `%`, `/`, `int()`, comparisons, `len`, `x[i]`, `x[i] = v`, a frame's sum, `[0] * n`), each
// named after what it does, with a C branch for exact types.
//
// The module functions are written as their statement lists; these helpers perform the
// operations inside the statements. Each takes its C branch only when its operands' exact
// types make the result, and everything host code could observe, the same as the object
// protocol's (an exact int's arithmetic, an exact list's or bytes object's items run no host
// code), and otherwise does what the interpreter does. Raw access to an object's internals
// happens only here and in operations.cpp, inside a critical section where another thread could
// change the object (free-threaded builds). docs/operations.md says why this keeps every
// statement's observable behaviour.
#pragma once

#include "interpreter.hpp"

#include <limits>

namespace dl {

// The ints 0 to 255, the values a frame holds, made at load (make_byte_ints, false with an
// exception set when one cannot be made); handing one out allocates nothing.
extern PyObject* byte_ints[256];
bool make_byte_ints();

// A new reference to the int `value`, 0 to 255.
inline PyObject* byte_int(unsigned value) {
    Py_INCREF(byte_ints[value]);
    return byte_ints[value];
}
inline Ref small_int(unsigned value) { return Ref::steal(byte_int(value)); }

// Built with DOWNLOADER_GENERIC_ONLY, every operation takes the object protocol: the module
// then measures what the C branches save, and behaves the same.
#if defined(DOWNLOADER_GENERIC_ONLY)
constexpr bool kCBranches = false;
#else
constexpr bool kCBranches = true;
#endif

// The magnitude below which an exact int is held as a C value: every such int converts to a
// double exactly, so true division of two of them is one correctly rounded C division.
constexpr long long kWholeLimit = 1LL << 53;

// The value of an exact int held in one digit or none, of magnitude below 2^30.
inline bool compact_value(PyObject* object, long long* value) {
    if (!PyLong_CheckExact(object)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    PyLongObject* number = reinterpret_cast<PyLongObject*>(object);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    *value = PyUnstable_Long_CompactValue(number);
#else
    const Py_ssize_t size = Py_SIZE(object);  // the digit count, with the sign of the value
    if (size < -1 || size > 1) return false;
    *value = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(object)->ob_digit[0]);
#endif
    return true;
}

// The value of an exact int of magnitude below kWholeLimit.
bool exact_whole_slow(PyObject* object, long long* value);
inline bool exact_whole(PyObject* object, long long* value) {
    return compact_value(object, value) || (PyLong_CheckExact(object) && exact_whole_slow(object, value));
}

// A value in the middle of a statement. An exact int below kWholeLimit is held as a C value
// (a "whole"), the float that true division of two wholes gives as a C double (a "real"); the
// object is made only when something needs it. Any other value is held as the object itself.
class Value {
public:
    static Value of(Ref object) {
        Value result;
        long long whole = 0;
        if (exact_whole(object.get(), &whole)) {
            result.kind_ = Kind::whole;
            result.whole_ = whole;
        }
        result.object_ = std::move(object);
        return result;
    }
    static Value of(PyObject* borrowed) { return of(Ref::incref(borrowed)); }
    static Value whole(long long value) {
        assert(value > -kWholeLimit && value < kWholeLimit);
        Value result;
        result.kind_ = Kind::whole;
        result.whole_ = value;
        return result;
    }
    static Value real(double value) {
        Value result;
        result.kind_ = Kind::real;
        result.real_ = value;
        return result;
    }

    bool is_whole() const { return kCBranches && kind_ == Kind::whole; }
    bool is_real() const { return kCBranches && kind_ == Kind::real; }
    long long whole_value() const { return whole_; }
    double real_value() const { return real_; }

    // The object itself; made now (a new int or float) when only the C value is held.
    PyObject* object(int line) const {
        if (!object_) object_ = make_object(line);
        return object_.get();
    }
    // The object, for the caller to keep.
    Ref take(int line) {
        object(line);
        return std::move(object_);
    }

private:
    enum class Kind : unsigned char { object, whole, real };
    Ref make_object(int line) const;

    Kind kind_ = Kind::object;
    union {
        long long whole_ = 0;
        double real_;
    };
    mutable Ref object_;
};

// a * b for two wholes, false when the product would overflow a long long. The compiler's
// overflow built-in where there is one; elsewhere (MSVC), or built with DOWNLOADER_PORTABLE,
// the same answer by division.
inline bool multiply_within_limit(long long a, long long b, long long* product) {
#if (defined(__GNUC__) || defined(__clang__)) && !defined(DOWNLOADER_PORTABLE)
    return !__builtin_mul_overflow(a, b, product);
#else
    // Wholes are below 2^53 in magnitude, so negating one cannot overflow.
    const long long x = a < 0 ? -a : a, y = b < 0 ? -b : b;
    if (y != 0 && x > std::numeric_limits<long long>::max() / y) return false;
    *product = a * b;
    return true;
#endif
}

// An int of any size as a Value: a whole when it is below the limit.
Value large_number(long long value, int line);
inline Value number(long long value, int line) {
    if (value > -kWholeLimit && value < kWholeLimit) return Value::whole(value);
    return large_number(value, line);
}

// a + b, a - b, a * b, a % b, a / b, int(a), as the interpreter computes them.
Value add_generic(const Value& a, const Value& b, int line);
inline Value add(const Value& a, const Value& b, int line) {
    if (a.is_whole() && b.is_whole()) return number(a.whole_value() + b.whole_value(), line);
    return add_generic(a, b, line);
}
Value subtract(const Value& a, const Value& b, int line);
Value multiply_generic(const Value& a, const Value& b, int line);
inline Value multiply(const Value& a, const Value& b, int line) {
    long long product = 0;
    if (a.is_whole() && b.is_whole() && multiply_within_limit(a.whole_value(), b.whole_value(), &product))
        return number(product, line);
    return multiply_generic(a, b, line);
}
Value remainder_generic(const Value& a, const Value& b, int line);
inline Value remainder(const Value& a, const Value& b, int line) {
    if (a.is_whole() && b.is_whole() && b.whole_value() != 0) {
        // C's remainder takes the sign of the dividend; Python's takes the divisor's.
        long long rest = a.whole_value() % b.whole_value();
        if (rest != 0 && (rest < 0) != (b.whole_value() < 0)) rest += b.whole_value();
        return Value::whole(rest);
    }
    return remainder_generic(a, b, line);
}
Value true_divide(const Value& a, const Value& b, int line);
Value to_int(const Value& a, int line);

// `a op b` by rich comparison, then its truth.
bool compare_generic(const Value& a, const Value& b, int op, int line);
inline bool compare(const Value& a, const Value& b, int op, int line) {
    if (!a.is_whole() || !b.is_whole()) return compare_generic(a, b, op, line);
    const long long x = a.whole_value(), y = b.whole_value();
    switch (op) {
        case Py_LT:
            return x < y;
        case Py_LE:
            return x <= y;
        case Py_EQ:
            return x == y;
        case Py_NE:
            return x != y;
        case Py_GT:
            return x > y;
        default:
            return x >= y;
    }
}

// len(object).
inline Py_ssize_t length(PyObject* object, int line) {
    if (kCBranches && PyList_CheckExact(object)) return PyList_GET_SIZE(object);
    if (kCBranches && PyBytes_CheckExact(object)) return PyBytes_GET_SIZE(object);
    return check_size(PyObject_Size(object), line);
}

// sequence[index], with an int key (a negative one counts from the end, as Python's does).
Value item_generic(PyObject* sequence, Py_ssize_t index, int line);
inline Value item(PyObject* sequence, Py_ssize_t index, int line) {
    if (kCBranches && PyBytes_CheckExact(sequence) && index >= 0 && index < PyBytes_GET_SIZE(sequence))
        return Value::whole(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(sequence))[index]);
    return item_generic(sequence, index, line);
}

// sequence[index] = value.
void set_item(PyObject* sequence, Py_ssize_t index, const Value& value, int line);
void set_item(PyObject* sequence, const Value& index, const Value& value, int line);

// 0 + sequence[0] + sequence[1] + ... + sequence[count - 1], each item read by its index: in C
// while the items of an exact list are exact ints, then on from the partial sum generically,
// the way the builtin sum does.
Value sum_items(PyObject* sequence, Py_ssize_t count, int line);

// [0] * count.
Ref zeros(const Value& count, int line);

// target[target_start + i] = source[source_start + i] for i in range(count), in C, when target
// is an exact list whose items there are exact ints (replacing them runs no host code), source
// exact bytes holding every byte asked for, and the start and count wholes. False, with
// nothing done, otherwise.
bool copy_items(PyObject* target, Py_ssize_t target_start, PyObject* source, const Value& source_start,
                const Value& count);

}  // namespace dl
