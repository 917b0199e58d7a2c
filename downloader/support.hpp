// Support shared by every source of the module: the owned-reference type, the one
// error idiom, module-global access by name, the print helper and the traceback entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
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

// Builtins taken once for the life of the process; see the load sequence and say(). The load
// sequence runs under the import lock, before any module function can; print is published
// once, by whichever thread prints first, and never replaced.
struct HeldBuiltins {
    PyObject* dict = nullptr;  // the builtins module's own namespace
    PyObject* open = nullptr;
    PyObject* range = nullptr;
    std::atomic<PyObject*> print{nullptr};  // taken at the first message
};
extern HeldBuiltins held;

// Module globals, read by name at each use: the module namespace, then the builtins.
// A name found in neither raises NameError "name '...' is not defined".
Ref lookup_builtin(PyObject* name, int line);
inline Ref lookup_global(PyObject* globals, PyObject* name, int line) {
#if PY_VERSION_HEX >= 0x030D0000
    // A strong reference from the dict itself: another thread may replace the value at once.
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) <= 0) return lookup_builtin(name, line);
    return Ref::steal(value);
#else
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value) return lookup_builtin(name, line);
    return Ref::incref(value);
#endif
}
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
    PyObject *int_1, *int_5, *int_6645, *int_22336;
};
extern Names names;
bool make_names();

// The ints 0 to 255, the values a frame holds, taken once; handing one out allocates nothing.
extern PyObject* byte_ints[256];

inline PyObject* byte_int(unsigned value) {
    Py_INCREF(byte_ints[value]);
    return byte_ints[value];
}

// ---- Python operations, each with a C branch for exact types --------------------------------
//
// The module functions are written as their statement lists; these helpers perform the
// operations inside the statements. Each takes its C branch only when its operands' exact
// types make the result, and everything host code could observe, the same as the object
// protocol's (an exact int's arithmetic, an exact list's or bytes object's items run no host
// code), and otherwise does what the interpreter does. Raw access to an object's internals
// happens only here and in support.cpp, inside a critical section where another thread could
// change the object (free-threaded builds).

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
    if (a.is_whole() && b.is_whole() && !__builtin_mul_overflow(a.whole_value(), b.whole_value(), &product))
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
