// The interpreter plumbing every source of the module shares: the owned-reference type, the
// constants made at load, the one error idiom, module-global access by name, calls, the print
// helper, argument checks and the traceback entry of each module function's shell. What the
// statements compute with is in operations.hpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cassert>
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

// An object the module makes at its first load and keeps for the process: an interned str or an
// int. Each is defined at namespace scope beside the code that uses it and enlists itself when
// the library is loaded; make_all() makes every one of them.
class Constant {
public:
    explicit Constant(const char* text) : text_(text) { enlist(); }
    explicit Constant(long value) : value_(value) { enlist(); }
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const { return object_; }

    // False, with an exception set, when one cannot be made.
    static bool make_all();

private:
    void enlist() {
        next_ = first_;
        first_ = this;
    }
    bool make();

    const char* text_ = nullptr;  // or, when null, the int value_
    long value_ = 0;
    PyObject* object_ = nullptr;
    Constant* next_ = nullptr;
    static Constant* first_;
};

// The one error idiom: set the exception, then fail(line). PythonError is thrown when a Python
// exception is already set; `line` is the source line that the traceback entry reports, and the
// boundary of each module function catches it and adds that entry, once. An argument error of a
// function whose arguments the interpreter would check adds none, as a builtin's does.
struct PythonError {
    int line;
};
constexpr int kNoTracebackEntry = 0;

[[noreturn]] inline void fail(int line) {
    assert(PyErr_Occurred());
    throw PythonError{line};
}

// Sets `type` with the formatted message (PyErr_Format's), then fails at `line`.
[[noreturn]] void raise_error(PyObject* type, int line, const char* format, ...);

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
inline Ref lookup_global(PyObject* globals, const Constant& global, int line) {
    PyObject* name = global.get();
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
void store_global(PyObject* globals, const Constant& global, PyObject* value, int line);

// print(message) through the builtin print, one argument per call.
void say(PyObject* message, int line);
inline void say(const Constant& message, int line) { say(message.get(), line); }

// object.attribute
inline Ref attribute(PyObject* object, const Constant& name, int line) {
    return check(PyObject_GetAttr(object, name.get()), line);
}

// Call helpers that work from CPython 3.8 on.
Ref call0(PyObject* callable, int line);
Ref call1(PyObject* callable, PyObject* arg, int line);
Ref call2(PyObject* callable, PyObject* a, PyObject* b, int line);
Ref call_method0(PyObject* obj, const Constant& name, int line);
Ref call_method1(PyObject* obj, const Constant& name, PyObject* arg, int line);

// Adds one traceback entry (file "downloader", the given function name and line) to the
// pending exception. If the entry cannot be built, the pending exception still wins. With no
// exception pending (releasing an object during the unwinding may run code that clears it),
// the failure is reported as SystemError, as the interpreter reports a failure without one.
void add_traceback(const char* function, int line, PyObject* globals);

// The shell around the body of every module function: runs the body and, when it fails,
// adds the one traceback entry for the failing line. Nothing else escapes to the interpreter.
template <typename Body>
PyObject* guarded(const char* function, int definition_line, PyObject* module, Body&& body) noexcept {
    try {
        if (PyObject* result = body(PyModule_GetDict(module)).release()) return result;
        add_traceback(function, definition_line, PyModule_GetDict(module));  // a body's slip: no result
    } catch (const PythonError& error) {
        if (error.line != kNoTracebackEntry) add_traceback(function, error.line, PyModule_GetDict(module));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        add_traceback(function, definition_line, PyModule_GetDict(module));
    }
    return nullptr;
}

// Argument checks of the functions without arguments and of init(file), run inside their
// shell: a TypeError with no traceback entry. Keywords are refused before the count is looked at.
void take_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames);
void take_one_argument(const char* name, Py_ssize_t nargs, PyObject* kwnames);

// The argument check of a function of two parameters, each by position or by keyword (send's):
// both values held, or a TypeError at `line`.
void take_two_arguments(const char* name, const Constant& first, const Constant& second, PyObject* args,
                        PyObject* kwargs, Ref* first_value, Ref* second_value, int line);

// print(e) for the exception being raised, caught: printed while it is being handled, as in an
// `except Exception as e:` block, then cleared.
void say_caught_exception(int line);

inline Ref bool_object(bool value) { return Ref::incref(value ? Py_True : Py_False); }

}  // namespace dl
