// Serial link: finding the device among the serial ports, opening and closing `ser`.
#include "downloader.hpp"

namespace dl {
namespace {

// serial.tools.list_ports.comports(), turned into a new list the way list() does.
Ref enumerate_ports(PyObject* globals) {
    const int line = 19;
    Ref serial = lookup_global(globals, names.serial, line);
    Ref tools = check(PyObject_GetAttr(serial.get(), names.tools), line);
    Ref list_ports = check(PyObject_GetAttr(tools.get(), names.list_ports), line);
    Ref comports = check(PyObject_GetAttr(list_ports.get(), names.comports), line);
    Ref ports = call0(comports.get(), line);
    return check(PySequence_List(ports.get()), line);
}

bool attribute_equals(PyObject* port, PyObject* attribute, PyObject* wanted, int line) {
    Ref value = check(PyObject_GetAttr(port, attribute), line);
    return compare(value.get(), wanted, Py_EQ, line);
}

bool is_target_device(PyObject* port) {
    return attribute_equals(port, names.vid, names.int_6645, 29) &&
           attribute_equals(port, names.pid, names.int_22336, 29);
}

// com, vid and pid from the matched port, each attribute read afresh.
void record_port(PyObject* globals, PyObject* port) {
    const std::pair<PyObject*, PyObject*> fields[] = {
        {names.com, names.device}, {names.vid, names.vid}, {names.pid, names.pid}};
    int line = 30;
    for (const auto& field : fields) {
        Ref value = check(PyObject_GetAttr(port, field.second), line);
        store_global(globals, field.first, value.get(), line);
        ++line;
    }
}

bool port_recorded(PyObject* globals) {
    const int line = 34;
    for (PyObject* name : {names.com, names.vid, names.pid}) {
        if (!truth(lookup_global(globals, name, line).get(), line)) return false;
    }
    return true;
}

Ref find_device(PyObject* globals) {
    Ref port_list = enumerate_ports(globals);
    if (length(port_list.get(), 20) == 0) {
        say(names.no_port, 21);
        return bool_object(false);
    }
    check(PyList_Sort(port_list.get()), 24);
    store_global(globals, names.com, names.empty, 25);
    store_global(globals, names.vid, names.empty, 26);
    store_global(globals, names.pid, names.empty, 27);

    // port_list is private to this call, so its items stay put while host code runs.
    const Py_ssize_t count = length(port_list.get(), 28);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Value port = item(port_list.get(), i, 28);
        if (is_target_device(port.object(28))) {
            record_port(globals, port.object(30));
            break;
        }
    }
    if (!port_recorded(globals)) return Ref::incref(Py_None);

    Ref com = lookup_global(globals, names.com, 35);
    Ref description = check(Py_BuildValue("[OOOO]", com.get(), names.product, names.maker, names.identifier), 35);
    say(description.get(), 36);
    return description;
}

// ser.setPort(com); ser.open(). Any exception, of any class, means "did not open".
bool select_and_open(PyObject* globals) {
    try {
        Ref port = lookup_global(globals, names.ser, 48);
        Ref set_port = check(PyObject_GetAttr(port.get(), names.setPort), 48);
        Ref com = lookup_global(globals, names.com, 48);
        call1(set_port.get(), com.get(), 48);
        call_method0(lookup_global(globals, names.ser, 49).get(), names.open, 49);
        return true;
    } catch (const PythonError&) {
        PyErr_Clear();
        return false;
    }
}

Ref open_port(PyObject* globals) {
    Ref port = lookup_global(globals, names.ser, 45);
    Ref is_open = call_method0(port.get(), names.isOpen, 45);
    if (truth(is_open.get(), 45)) {
        say(names.port_already_open, 46);
        return bool_object(true);
    }
    if (!select_and_open(globals)) {
        say(names.port_open_failed, 52);
        return bool_object(false);
    }
    say(names.port_opened, 54);
    return bool_object(true);
}

Ref close_port(PyObject* globals) {
    Ref port = lookup_global(globals, names.ser, 59);
    call_method0(port.get(), names.close, 59);
    return Ref::incref(Py_None);
}

}  // namespace

PyObject* dev_existing(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_no_arguments("dev_existing", nargs, kwnames)) return nullptr;
    return guarded("downloader.dev_existing", kDevExistingLine, module, find_device);
}

PyObject* dev_open(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_no_arguments("dev_open", nargs, kwnames)) return nullptr;
    return guarded("downloader.dev_open", kDevOpenLine, module, open_port);
}

PyObject* dev_close(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_no_arguments("dev_close", nargs, kwnames)) return nullptr;
    return guarded("downloader.dev_close", kDevCloseLine, module, close_port);
}

}  // namespace dl
