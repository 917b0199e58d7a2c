"""Import behaviour, the module's namespace, calling conventions and argument errors."""
import builtins
import sys

import pytest

import downloader
import form
from fakes import FakePort, module_entries, module_state, run_python  # noqa: F401
from form import entry

FUNCTIONS = ["dev_existing", "dev_open", "dev_close", "beat", "init", "send", "download", "run"]


def test_state_right_after_import():
    out = run_python(
        """
        import downloader as d
        names = [k for k in vars(d) if not k.startswith("__")]
        print(names)
        print(d.Pcounter, type(d.Pcounter).__name__, d.res, d.__doc__)
        print(d.ser.isOpen(), d.ser.baudrate, d.ser.timeout, d.ser.port)
        print(d.serial.tools.list_ports.__name__)
        print({f.__doc__ for f in (getattr(d, n) for n in names[5:])}, d.send.__module__)
        """
    )
    assert out.splitlines() == [
        str(["serial", "Pcounter", "res", "ser"] + FUNCTIONS),
        "0 int b'\\x00' None",
        "False 12000000 1 None",
        "serial.tools.list_ports",
        "{None} downloader",
    ]


def test_reimport_and_reload_return_the_same_object_with_its_state():
    out = run_python(
        """
        import importlib, sys
        import downloader
        first = downloader
        first.Pcounter = 7
        first.send = len
        del sys.modules["downloader"]
        import downloader
        again = importlib.reload(downloader)
        print(downloader is first, again is first, again.Pcounter, again.send is len, again.__doc__)
        """
    )
    assert out.split() == ["True", "True", "7", "True", "None"]


FAKE_SERIAL = {
    "missing package": ("import_serial", "ModuleNotFoundError", None),
    "missing list_ports": ("import_list_ports", "ModuleNotFoundError", "class Serial: pass"),
    "Serial() raises": ("port", "OSError", "class Serial:\n    def __init__(self): raise OSError('no')"),
    "baudrate refused": (
        "baudrate",
        "ValueError",
        "class Serial:\n    def __setattr__(self, k, v):\n        if k == 'baudrate': raise ValueError(k)",
    ),
    "timeout refused": (
        "timeout",
        "ValueError",
        "class Serial:\n    def __setattr__(self, k, v):\n        if k == 'timeout': raise ValueError(k)",
    ),
}


@pytest.mark.parametrize("case", FAKE_SERIAL, ids=list(FAKE_SERIAL))
def test_failed_import_reports_the_step_and_the_next_import_starts_afresh(case, tmp_path):
    statement, error, serial_source = FAKE_SERIAL[case]
    line = form.line("load", statement)
    if serial_source is not None:
        (tmp_path / "serial").mkdir()
        (tmp_path / "serial" / "__init__.py").write_text(serial_source + "\n")
        if line > form.line("load", "import_list_ports"):
            (tmp_path / "serial" / "tools").mkdir()
            (tmp_path / "serial" / "tools" / "__init__.py").write_text("")
            (tmp_path / "serial" / "tools" / "list_ports.py").write_text("")
    out = run_python(
        f"""
        import sys, traceback
        sys.path.insert(0, {str(tmp_path)!r})
        if {serial_source is None}:
            sys.modules["serial"] = None
        try:
            import downloader
        except Exception as e:
            entries = traceback.extract_tb(e.__traceback__)
            print(type(e).__name__, [(x.filename, x.lineno, x.name) for x in entries if x.filename == "downloader"])
        print("downloader" in sys.modules)
        sys.path.pop(0)
        for name in [m for m in sys.modules if m.split(".")[0] == "serial"]:
            del sys.modules[name]
        import downloader
        print(downloader.ser.baudrate, downloader.serial.__file__ != {str(tmp_path)!r})
        """
    )
    assert out.splitlines() == [
        f"{error} [('downloader', {line}, 'init downloader')]",
        "False",
        "12000000 True",
    ]


SUBINTERPRETER_IMPORT = """
import os
try:
    import downloader
    result = "imported"
except ImportError as e:
    result = str(e)
os.write({fd}, (result + "\\n").encode())
"""


def test_second_interpreter_is_refused():
    out = run_python(
        f"""
        import os, _testcapi
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        import downloader
        read, write = os.pipe()
        code = {SUBINTERPRETER_IMPORT!r}.format(fd=write)
        _testcapi.run_in_subinterp(code)  # a legacy interpreter sharing the GIL
        isolated = interpreters.create()  # from 3.12 on, one with its own GIL
        interpreters.run_string(isolated, code)
        interpreters.destroy(isolated)
        os.close(write)
        print(os.read(read, 4096).decode(), end="")
        """
    )
    message = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert out.splitlines() == [message, message]


def test_builtins_open_and_range_are_held_and_print_is_taken_at_the_first_message(tmp_path):
    image = tmp_path / "image.bin"
    image.write_bytes(bytes(range(40)))
    out = run_python(
        f"""
        import builtins, downloader as d
        class Port:
            def write(self, data): real_print("wrote", len(bytes(data)))
            def read(self, n): return bytes([0, 0, 0, 0, 0])
        d.ser = Port()
        builtins.open = builtins.range = None
        real_print = builtins.print
        builtins.print = lambda *a: real_print("first print", *a)
        real_print(d.init({str(image)!r}))
        builtins.print = None
        real_print(d.download())
        """
    )
    assert out.splitlines()[:3] == ["first print " + str(image), "first print 文件打开正常", "True"]
    assert out.splitlines()[3:] == ["first print 0", "wrote 37", "first print b'\\x00\\x00\\x00\\x00\\x00'", "80.0"]


NO_ARGUMENT_FUNCTIONS = [n for n in FUNCTIONS if n not in ("init", "send")]
ARGUMENT_ERRORS = (
    [(name, (1,), {}, f"{name}() takes no arguments (1 given)") for name in NO_ARGUMENT_FUNCTIONS]
    + [(name, (1, 2), {"x": 1}, f"{name}() takes no keyword arguments") for name in NO_ARGUMENT_FUNCTIONS]
    + [
        ("init", (), {}, "init() takes exactly one argument (0 given)"),
        ("init", ("a", "b"), {}, "init() takes exactly one argument (2 given)"),
        ("init", (), {"file": "a"}, "init() takes no keyword arguments"),
        ("send", (), {}, "send() takes exactly 2 positional arguments (0 given)"),
        ("send", ([0] * 5,), {}, "send() takes exactly 2 positional arguments (1 given)"),
        ("send", (), {"out": [0] * 5}, "send() takes exactly 2 positional arguments (1 given)"),
        ("send", (), {"res": 1}, "send() takes exactly 2 positional arguments (0 given)"),
        ("send", (1, 2, 3), {}, "send() takes exactly 2 positional arguments (3 given)"),
        ("send", (1, 2, 3), {"res": 1}, "send() takes exactly 2 positional arguments (3 given)"),
        ("send", (1,), {"res": 1, "x": 2}, "send() got an unexpected keyword argument 'x'"),
        ("send", (1, 2), {"out": 3}, "send() got multiple values for keyword argument 'out'"),
        ("send", (1,), {"out": 2, "res": 3}, "send() got multiple values for keyword argument 'out'"),
        ("send", (1, 2), {1: 2}, "send() keywords must be strings"),
    ]
)


@pytest.mark.parametrize("name, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(name, args, kwargs, message, capsys):
    with pytest.raises(TypeError) as excinfo:
        getattr(downloader, name)(*args, **kwargs)
    assert str(excinfo.value) == message
    assert capsys.readouterr().out == ""
    assert module_entries(excinfo) == ([entry("send")] if name == "send" else [])


def test_send_accepts_both_arguments_by_keyword(module_state):
    module_state.ser = FakePort(echo=True)
    assert downloader.send(res=0, out=[0] * 5) == "ok"


def test_globals_fall_back_to_builtins_and_report_missing_names(module_state, monkeypatch):
    port = FakePort(echo=True)
    del module_state.Pcounter
    monkeypatch.setattr(builtins, "Pcounter", 41, raising=False)
    module_state.ser = port
    assert downloader.beat() == "beated"
    assert downloader.Pcounter == 42 and port.written == [bytes([0, 42, 0, 0, 42])]
    monkeypatch.delattr(builtins, "Pcounter")
    del module_state.Pcounter
    with pytest.raises(NameError) as excinfo:
        downloader.beat()
    assert str(excinfo.value) == "name 'Pcounter' is not defined"
    if sys.version_info >= (3, 10):
        assert excinfo.value.name == "Pcounter"
    assert module_entries(excinfo) == [entry("beat", "advance")]
