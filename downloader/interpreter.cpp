// The interpreter plumbing: constants, global access by name, printing, calls, argument checks
// and traceback entries, as every subsystem uses them.
#include "interpreter.hpp"

#include <frameobject.h>

#include <cstdarg>
#include <cstring>

namespace dl {

HeldBuiltins held;
Constant* Constant::first_ = nullptr;

namespace {

const Constant kPrint{"print"};
const Constant kNameAttribute{"name"};  // where NameError keeps the missing name

// What the interpreter says of a failure that carries no exception.
const char kNoException[] = "error return without exception set";

#if PY_VERSION_HEX >= 0x03090000
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf) {
    return PyObject_Vectorcall(callable, args, nargsf, nullptr);
}
#else
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf) {
    return _PyObject_Vectorcall(callable, args, nargsf, nullptr);
}
#endif

[[noreturn]] void raise_name_error(PyObject* name, int line) {
    Ref message = check(PyUnicode_FromFormat("name '%U' is not defined", name), line);
    Ref error = call1(PyExc_NameError, message.get(), line);
#if PY_VERSION_HEX >= 0x030A0000
    // From 3.10 the interpreter's own NameError carries the name (used for suggestions).
    check(PyObject_SetAttr(error.get(), kNameAttribute.get(), name), line);
#endif
    PyErr_SetObject(PyExc_NameError, error.get());
    fail(line);
}

}  // namespace

bool Constant::make() {
    if (!object_) object_ = text_ ? PyUnicode_InternFromString(text_) : PyLong_FromLong(value_);
    return object_ != nullptr;
}

bool Constant::make_all() {
    for (Constant* constant = first_; constant; constant = constant->next_) {
        if (!constant->make()) return false;
    }
    return true;
}

bool compare(PyObject* a, PyObject* b, int op, int line) {
    Ref result = check(PyObject_RichCompare(a, b, op), line);
    return truth(result.get(), line);
}

void raise_error(PyObject* type, int line, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    fail(line);
}

namespace {

// The positional count a function without keywords takes, with the message for any other.
void take_positional(const char* name, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t wanted, const char* message) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
        raise_error(PyExc_TypeError, kNoTracebackEntry, "%.200s() takes no keyword arguments", name);
    if (nargs != wanted) raise_error(PyExc_TypeError, kNoTracebackEntry, message, name, nargs);
}

}  // namespace

void take_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    take_positional(name, nargs, kwnames, 0, "%.200s() takes no arguments (%zd given)");
}

void take_one_argument(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    take_positional(name, nargs, kwnames, 1, "%.200s() takes exactly one argument (%zd given)");
}

// The builtins' value of `name`, a new reference, or NULL (with an exception when one was set).
PyObject* builtin_value(PyObject* name) {
    if (!held.dict) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    PyDict_GetItemRef(held.dict, name, &value);
    return value;
#else
    PyObject* value = PyDict_GetItemWithError(held.dict, name);
    Py_XINCREF(value);
    return value;
#endif
}

Ref lookup_builtin(PyObject* name, int line) {
    if (PyErr_Occurred()) fail(line);
    Ref value = Ref::steal(builtin_value(name));
    if (!value) {
        if (PyErr_Occurred()) fail(line);
        raise_name_error(name, line);
    }
    return value;
}

void store_global(PyObject* globals, const Constant& global, PyObject* value, int line) {
    check(PyDict_SetItem(globals, global.get(), value), line);
}

void say(PyObject* message, int line) {
    PyObject* print = held.print.load(std::memory_order_acquire);
    if (!print) {
        Ref found = lookup_builtin(kPrint.get(), line);
        // Should two threads print their first message at once, the first to publish wins.
        if (held.print.compare_exchange_strong(print, found.get(), std::memory_order_acq_rel)) print = found.release();
    }
    call1(print, message, line);
}

Ref call0(PyObject* callable, int line) { return check(vectorcall(callable, nullptr, 0), line); }

Ref call1(PyObject* callable, PyObject* arg, int line) {
    PyObject* args[2] = {nullptr, arg};
    return check(vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET), line);
}

Ref call2(PyObject* callable, PyObject* a, PyObject* b, int line) {
    PyObject* args[3] = {nullptr, a, b};
    return check(vectorcall(callable, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET), line);
}

#if PY_VERSION_HEX >= 0x03090000
Ref call_method0(PyObject* obj, const Constant& name, int line) {
    return check(PyObject_VectorcallMethod(name.get(), &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr), line);
}
Ref call_method1(PyObject* obj, const Constant& name, PyObject* arg, int line) {
    PyObject* args[2] = {obj, arg};
    return check(PyObject_VectorcallMethod(name.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr), line);
}
#else
Ref call_method0(PyObject* obj, const Constant& name, int line) {
    return check(PyObject_CallMethodObjArgs(obj, name.get(), nullptr), line);
}
Ref call_method1(PyObject* obj, const Constant& name, PyObject* arg, int line) {
    return check(PyObject_CallMethodObjArgs(obj, name.get(), arg, nullptr), line);
}
#endif

namespace {

// The code object of a traceback entry, one per function and line, made at the first failure
// there and kept for the process. A host that hits the same fault for hours then makes no new
// code object per failure; from 3.13 each new one would intern its names afresh, and every
// few thousand failures the interpreter would rebuild its whole table of interned strings.
// Past the table's capacity a code object is made for the entry alone (a new reference).
struct TracebackEntry {
    const char* function;
    int line;
    PyCodeObject* code;
};
TracebackEntry traceback_entries[256];
size_t traceback_entries_used = 0;

#if defined(Py_GIL_DISABLED)
// Threads that fail at once share the table. PyMutex lets go of the thread state while it
// waits, so a thread blocked here never holds up the interpreter.
PyMutex traceback_lock = {0};
struct TableLock {
    TableLock() { PyMutex_Lock(&traceback_lock); }
    ~TableLock() { PyMutex_Unlock(&traceback_lock); }
};
#else
struct TableLock {};  // the GIL serialises the table: nothing under a lock releases it
#endif

// The code object kept for the entry (a new reference), or NULL. Call under a TableLock.
PyCodeObject* known_code(const char* function, int line) {
    for (size_t i = 0; i < traceback_entries_used; ++i) {
        const TracebackEntry& entry = traceback_entries[i];
        if (entry.line == line && std::strcmp(entry.function, function) == 0) {
            Py_INCREF(entry.code);
            return entry.code;
        }
    }
    return nullptr;
}

PyCodeObject* traceback_code(const char* function, int line) {
    {
        [[maybe_unused]] TableLock lock;
        if (PyCodeObject* code = known_code(function, line)) return code;
    }
    // Made outside the lock: making it may run the collector, and with it host code that fails
    // in the module and needs the table itself.
    PyCodeObject* code = PyCode_NewEmpty("downloader", function, line);
    if (!code) return nullptr;
    PyCodeObject* known = nullptr;
    {
        [[maybe_unused]] TableLock lock;
        known = known_code(function, line);
        if (!known && traceback_entries_used < sizeof traceback_entries / sizeof traceback_entries[0]) {
            Py_INCREF(code);
            traceback_entries[traceback_entries_used++] = TracebackEntry{function, line, code};
        }
    }
    if (!known) return code;
    Py_DECREF(code);  // another thread, or host code run meanwhile, kept one first
    return known;
}

}  // namespace

void add_traceback(const char* function, int line, PyObject* globals) {
    // A failure with no exception pending (see the header) is reported as the interpreter does.
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, kNoException);
    }
    // Set the pending exception aside while the code object and frame are built, the way the
    // interpreter's own helpers do, so that a failure there cannot replace it.
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* pending = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
#endif
    PyCodeObject* code = traceback_code(function, line);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(pending);
#else
    PyErr_Restore(type, value, traceback);
#endif
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// ---- an exception caught and printed ------------------------------------------------------

namespace {

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

}  // namespace

void say_caught_exception(int line) {
    Ref caught = take_raised_exception();
    Handling handling(caught.get());
    say(caught.get(), line);
}

// ---- two parameters, by position or by keyword ---------------------------------------------

namespace {

// The TypeErrors of a missing or extra argument, in the order they are detected.
[[noreturn]] void count_error(const char* name, Py_ssize_t given, int line) {
    raise_error(PyExc_TypeError, line, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, "exactly",
                static_cast<Py_ssize_t>(2), "s", given);
}

// 0 for the first parameter's name, 1 for the second's, -1 for any other.
int parameter_index(PyObject* key, const Constant& first, const Constant& second) {
    if (PyUnicode_Compare(key, first.get()) == 0) return 0;
    if (PyUnicode_Compare(key, second.get()) == 0) return 1;
    return -1;
}

// Keywords left over once both parameters are filled: each is a repeat of a positional
// argument, an unknown name, or not a string at all.
void refuse_extra_keywords(const char* name, const Constant& first, const Constant& second, PyObject* kwargs,
                           Py_ssize_t nargs, int line) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) raise_error(PyExc_TypeError, line, "%.200s() keywords must be strings", name);
        int index = parameter_index(key, first, second);
        if (index >= nargs) continue;  // the keyword that filled this parameter
        if (index >= 0)
            raise_error(PyExc_TypeError, line, "%s() got multiple values for keyword argument '%U'", name, key);
        raise_error(PyExc_TypeError, line, "%s() got an unexpected keyword argument '%U'", name, key);
    }
}

void parse_two_arguments(const char* name, const Constant& first, const Constant& second, PyObject* args,
                         PyObject* kwargs, PyObject* values[2], int line) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t keywords = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs > 2 || (keywords == 0 && nargs != 2)) count_error(name, nargs, line);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = PyTuple_GET_ITEM(args, i);
    if (keywords == 0) return;

    Py_ssize_t unused = keywords;
    for (Py_ssize_t i = nargs; i < 2; ++i) {
        values[i] = PyDict_GetItemWithError(kwargs, (i == 0 ? first : second).get());
        if (!values[i]) {
            if (PyErr_Occurred()) fail(line);
            count_error(name, i == 0 ? nargs : 1, line);
        }
        --unused;
    }
    if (unused != 0) refuse_extra_keywords(name, first, second, kwargs, nargs, line);
}

}  // namespace

void take_two_arguments(const char* name, const Constant& first, const Constant& second, PyObject* args,
                        PyObject* kwargs, Ref* first_value, Ref* second_value, int line) {
#if defined(Py_GIL_DISABLED)
    // A caller's own dict may be changed by another thread while it is parsed: parse a copy.
    Ref keywords = kwargs ? check(PyDict_Copy(kwargs), line) : Ref();
    kwargs = keywords.get();
#endif
    PyObject* values[2] = {nullptr, nullptr};
    parse_two_arguments(name, first, second, args, kwargs, values, line);
    *first_value = Ref::incref(values[0]);
    *second_value = Ref::incref(values[1]);
}

}  // namespace dl
