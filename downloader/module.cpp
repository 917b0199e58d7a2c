// The module object: its definition, the create step (one module per process, one
// interpreter), and the load sequence that fills its namespace.
#include "downloader.hpp"

#include <cstdint>

namespace dl {

namespace global {
const Constant serial{"serial"};
const Constant Pcounter{"Pcounter"};
const Constant res{"res"};
const Constant ser{"ser"};
}  // namespace global

namespace {

const Constant kPortClass{"Serial"};
const Constant kBaudrateAttribute{"baudrate"};
const Constant kTimeoutAttribute{"timeout"};
const long kBaudrate = 12000000;
const long kReadTimeoutSeconds = 1;

const char kInterpreterChanged[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";

// The process's module object, once a load sequence has run on it, and the interpreter
// that first imported the module.
PyObject* the_module = nullptr;
bool the_module_loaded = false;
int64_t importing_interpreter = -1;

template <typename Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

const int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// No docstrings, and bound in this order.
PyMethodDef functions[] = {
    {"dev_existing", as_cfunction(dev_existing), kFastcall, nullptr},
    {"dev_open", as_cfunction(dev_open), kFastcall, nullptr},
    {"dev_close", as_cfunction(dev_close), kFastcall, nullptr},
    {"beat", as_cfunction(beat), kFastcall, nullptr},
    {"init", as_cfunction(init), kFastcall, nullptr},
    // send takes its keywords as a dict, so that it can refuse non-string keys itself.
    {"send", as_cfunction(send), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"download", as_cfunction(download), kFastcall, nullptr},
    {"run", as_cfunction(run), kFastcall, nullptr},
};
const int function_lines[] = {line::dev_existing::definition, line::dev_open::definition, line::dev_close::definition,
                              line::beat::definition,         line::init::definition,     line::send::definition,
                              line::download::definition,     line::run::definition};

void take_builtins(int line) {
    Ref builtins = check(PyImport_ImportModule("builtins"), line);
    PyObject* dict = PyModule_GetDict(builtins.get());
    // New references, which another thread's change to the builtins cannot take away.
    PyObject* open = PyObject_GetAttrString(builtins.get(), "open");
    PyObject* range = open ? PyObject_GetAttrString(builtins.get(), "range") : nullptr;
    if (!open || !range) {
        Py_XDECREF(open);
        PyErr_Clear();
        raise_error(PyExc_ImportError, line, "the builtins module has no open or range");
    }
    Py_INCREF(dict);
    Py_XSETREF(held.dict, dict);
    Py_XSETREF(held.open, open);
    Py_XSETREF(held.range, range);
}

void import_serial(PyObject* globals, const char* module_name, int line) {
    Ref name = check(PyUnicode_FromString(module_name), line);
    // An absolute import; for a dotted name the interpreter hands back the top-level package.
    Ref package = check(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, nullptr, 0), line);
    store_global(globals, global::serial, package.get(), line);
}

// ser.<attribute> = value
void set_port_setting(PyObject* globals, const Constant& attribute, long value, int line) {
    Ref number = check(PyLong_FromLong(value), line);
    check(PyObject_SetAttr(lookup_global(globals, global::ser, line).get(), attribute.get(), number.get()), line);
}

void create_port(PyObject* globals) {
    Ref serial = lookup_global(globals, global::serial, line::load::port);
    Ref port_class = attribute(serial.get(), kPortClass, line::load::port);
    Ref port = call0(port_class.get(), line::load::port);
    store_global(globals, global::ser, port.get(), line::load::port);

    set_port_setting(globals, kBaudrateAttribute, kBaudrate, line::load::baudrate);
    set_port_setting(globals, kTimeoutAttribute, kReadTimeoutSeconds, line::load::timeout);
}

void bind_functions(PyObject* module, PyObject* globals) {
    Ref module_name = check(PyModule_GetNameObject(module), function_lines[0]);
    for (size_t i = 0; i < sizeof functions / sizeof functions[0]; ++i) {
        int line = function_lines[i];
        Ref function = check(PyCFunction_NewEx(&functions[i], module, module_name.get()), line);
        Ref name = check(PyUnicode_InternFromString(functions[i].ml_name), line);
        check(PyDict_SetItem(globals, name.get(), function.get()), line);
    }
}

void load_sequence(PyObject* module, PyObject* globals) {
    if (!Constant::make_all() || !make_byte_ints()) fail(line::load::builtins);
    take_builtins(line::load::builtins);
    import_serial(globals, "serial", line::load::import_serial);
    import_serial(globals, "serial.tools.list_ports", line::load::import_list_ports);
    store_global(globals, global::Pcounter, small_int(0).get(), line::load::counter);
    Ref placeholder = check(PyBytes_FromStringAndSize("\0", 1), line::load::image);
    store_global(globals, global::res, placeholder.get(), line::load::image);
    create_port(globals);
    bind_functions(module, globals);
}

// Hands back the process's module object once one exists; only the first interpreter to
// import the module may have it.
PyObject* create_module(PyObject* import_spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (current < 0) return nullptr;
    if (importing_interpreter < 0) importing_interpreter = current;
    if (current != importing_interpreter) {
        PyErr_SetString(PyExc_ImportError, kInterpreterChanged);
        return nullptr;
    }
    if (the_module) {
        Py_INCREF(the_module);
        return the_module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

void forget_module() {
    Py_CLEAR(the_module);
    the_module_loaded = false;
}

int exec_module(PyObject* module) {
    if (module == the_module && the_module_loaded) return 0;
    Py_INCREF(module);
    Py_XSETREF(the_module, module);
    the_module_loaded = false;
    PyObject* globals = PyModule_GetDict(module);
    try {
        load_sequence(module, globals);
        the_module_loaded = true;
        return 0;
    } catch (const PythonError& error) {
        add_traceback("init downloader", error.line, globals);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        add_traceback("init downloader", line::load::builtins, globals);
    }
    // A failed import discards the module object: the next import starts afresh.
    forget_module();
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // Safe without the GIL: the process-wide state is made at the first load, under the import
    // lock, or published once (print, traceback code objects under a lock), and the list items
    // the operations touch are read and written inside critical sections.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef Py_mod_multiple_interpreters
    // Lets every kind of interpreter reach create_module, which gives the refusal itself.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

// No m_methods and no m_doc: the import system would re-apply them on every re-import,
// undoing a host's replacement of a function. The functions are bound once, by exec_module.
PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "downloader", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace dl

// Before 3.9 PyMODINIT_FUNC does not mark the entry point visible, and the rest is hidden.
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif
PyMODINIT_FUNC PyInit_downloader(void) { return PyModuleDef_Init(&dl::definition); }
#if defined(__GNUC__)
#pragma GCC visibility pop
#endif
