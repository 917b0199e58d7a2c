// Serial link: finding the device among the serial ports, opening and closing `ser`.
#include "downloader.hpp"

namespace dl {
namespace {

// The device: the first port, in sorted order, with these USB ids.
const Constant kVendorId{6645L};
const Constant kProductId{22336L};

// What dev_existing describes the device as, after its port's name.
const Constant kProduct{"QLX-RB7"};
const Constant kMaker{"Velmor"};
const Constant kIdentifier{"K40372"};

const Constant kNoPortMessage{"没有可用的串口"};
const Constant kAlreadyOpenMessage{"串口已打开"};
const Constant kOpenedMessage{"串口打开成功"};
const Constant kOpenFailedMessage{"串口打开失败"};

// The globals only the serial link uses: the matched port's name and USB ids.
const Constant kCom{"com"};
const Constant kVid{"vid"};
const Constant kPid{"pid"};

const Constant kTools{"tools"};
const Constant kListPorts{"list_ports"};
const Constant kComports{"comports"};
const Constant kDevice{"device"};
const Constant kVidAttribute{"vid"};
const Constant kPidAttribute{"pid"};
const Constant kIsOpen{"isOpen"};
const Constant kSetPort{"setPort"};
const Constant kOpen{"open"};
const Constant kClose{"close"};
const Constant kNothing{""};

// The listed serial ports, in a new list, as list() makes one.
Ref enumerate_ports(PyObject* globals) {
    const int line = line::dev_existing::list_ports;
    Ref serial = lookup_global(globals, global::serial, line);
    Ref tools = attribute(serial.get(), kTools, line);
    Ref list_ports = attribute(tools.get(), kListPorts, line);
    Ref comports = attribute(list_ports.get(), kComports, line);
    Ref ports = call0(comports.get(), line);
    return check(PySequence_List(ports.get()), line);
}

bool attribute_equals(PyObject* port, const Constant& name, const Constant& wanted, int line) {
    Ref value = attribute(port, name, line);
    return compare(value.get(), wanted.get(), Py_EQ, line);
}

bool is_target_device(PyObject* port) {
    const int line = line::dev_existing::match;
    return attribute_equals(port, kVidAttribute, kVendorId, line) &&
           attribute_equals(port, kPidAttribute, kProductId, line);
}

// com, vid and pid from the matched port, each attribute read afresh.
void record_port(PyObject* globals, PyObject* port) {
    struct Field {
        const Constant& global;
        const Constant& attribute;
        int line;
    };
    const Field fields[] = {{kCom, kDevice, line::dev_existing::record_com},
                            {kVid, kVidAttribute, line::dev_existing::record_vid},
                            {kPid, kPidAttribute, line::dev_existing::record_pid}};
    for (const Field& field : fields) {
        Ref value = attribute(port, field.attribute, field.line);
        store_global(globals, field.global, value.get(), field.line);
    }
}

bool port_recorded(PyObject* globals) {
    const int line = line::dev_existing::recorded;
    for (const Constant* name : {&kCom, &kVid, &kPid}) {
        if (!truth(lookup_global(globals, *name, line).get(), line)) return false;
    }
    return true;
}

void clear_recorded_port(PyObject* globals) {
    store_global(globals, kCom, kNothing.get(), line::dev_existing::clear_com);
    store_global(globals, kVid, kNothing.get(), line::dev_existing::clear_vid);
    store_global(globals, kPid, kNothing.get(), line::dev_existing::clear_pid);
}

Ref describe_device(PyObject* globals) {
    const int line = line::dev_existing::describe;
    Ref com = lookup_global(globals, kCom, line);
    Ref description = check(Py_BuildValue("[OOOO]", com.get(), kProduct.get(), kMaker.get(), kIdentifier.get()), line);
    say(description.get(), line::dev_existing::say_description);
    return description;
}

Ref find_device(PyObject* globals) {
    Ref port_list = enumerate_ports(globals);
    if (length(port_list.get(), line::dev_existing::none_listed) == 0) {
        say(kNoPortMessage, line::dev_existing::say_no_port);
        return bool_object(false);
    }
    check(PyList_Sort(port_list.get()), line::dev_existing::sort);
    clear_recorded_port(globals);

    // port_list is private to this call, so its items stay put while host code runs.
    const Py_ssize_t count = length(port_list.get(), line::dev_existing::each_port);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Value port = item(port_list.get(), i, line::dev_existing::match);
        if (is_target_device(port.object(line::dev_existing::match))) {
            record_port(globals, port.object(line::dev_existing::record_com));
            break;
        }
    }
    if (!port_recorded(globals)) return Ref::incref(Py_None);
    return describe_device(globals);
}

// Any exception, of any class, means "did not open".
bool select_and_open(PyObject* globals) {
    try {
        const int line = line::dev_open::set_port;
        Ref port = lookup_global(globals, global::ser, line);
        Ref set_port = attribute(port.get(), kSetPort, line);
        Ref com = lookup_global(globals, kCom, line);
        call1(set_port.get(), com.get(), line);
        call_method0(lookup_global(globals, global::ser, line::dev_open::open).get(), kOpen, line::dev_open::open);
        return true;
    } catch (const PythonError&) {
        PyErr_Clear();
        return false;
    }
}

Ref open_port(PyObject* globals) {
    const int line = line::dev_open::is_open;
    Ref port = lookup_global(globals, global::ser, line);
    Ref is_open = call_method0(port.get(), kIsOpen, line);
    if (truth(is_open.get(), line)) {
        say(kAlreadyOpenMessage, line::dev_open::say_already_open);
        return bool_object(true);
    }
    if (!select_and_open(globals)) {
        say(kOpenFailedMessage, line::dev_open::say_open_failed);
        return bool_object(false);
    }
    say(kOpenedMessage, line::dev_open::say_opened);
    return bool_object(true);
}

Ref close_port(PyObject* globals) {
    Ref port = lookup_global(globals, global::ser, line::dev_close::close);
    call_method0(port.get(), kClose, line::dev_close::close);
    return Ref::incref(Py_None);
}

}  // namespace

PyObject* dev_existing(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded("downloader.dev_existing", line::dev_existing::definition, module, [&](PyObject* globals) {
        take_no_arguments("dev_existing", nargs, kwnames);
        return find_device(globals);
    });
}

PyObject* dev_open(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded("downloader.dev_open", line::dev_open::definition, module, [&](PyObject* globals) {
        take_no_arguments("dev_open", nargs, kwnames);
        return open_port(globals);
    });
}

PyObject* dev_close(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded("downloader.dev_close", line::dev_close::definition, module, [&](PyObject* globals) {
        take_no_arguments("dev_close", nargs, kwnames);
        return close_port(globals);
    });
}

}  // namespace dl
