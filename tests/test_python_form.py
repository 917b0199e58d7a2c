"""The module's Python form: the C++'s statement names agree with it, and it runs as the module does."""
import contextlib
import io

import pytest

import downloader
import form
from fakes import FakePort, ack, module_entries_of, module_state  # noqa: F401

FUNCTIONS = ["dev_existing", "dev_open", "dev_close", "beat", "init", "send", "download", "run"]


def test_the_form_defines_the_eight_functions_in_binding_order():
    assert [name for name in form.STATEMENTS if name != "load"] == FUNCTIONS
    namespace = form.run_form({})
    assert [name for name in namespace if callable(namespace[name]) and name in FUNCTIONS] == FUNCTIONS


def test_a_name_given_twice_in_one_function_is_refused():
    with pytest.raises(ValueError, match=r"^line 3: f\.a is named twice$"):
        form.statement_lines.statements("def f():\n    x = 1  # @a\n    y = 2  # @a\n")


def test_statements_outside_functions_belong_to_the_load_sequence():
    found = form.statement_lines.statements("x = 1  # @a\ndef f():\n    y = 2  # @a\nz = 3  # @b\n")
    assert found == {"load": {"a": (1, "x = 1"), "b": (4, "z = 3")},
                     "f": {"definition": (2, "def f()"), "a": (3, "y = 2")}}


def outcome(call, entries):
    """(printed, result or (exception type, message, traceback entries)) of call()."""
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        try:
            result = call()
        except Exception as error:
            result = (type(error).__name__, str(error), entries(error))
    return output.getvalue(), result


# Faults and outcomes at statements of beat, send, download and run, each with the state (module
# globals, and the device's one reply) that brings it about.
CASES = {
    "beat, Pcounter not a number": ("beat", {"Pcounter": "x"}),
    "beat, no send": ("beat", {"send": None}),
    "send, short reply": ("beat", {"reply": b"\x00\x01"}),
    "send, no reply": ("beat", {"reply": b""}),
    "download, image too short": ("download", {"res": b"12345678"}),
    "download, Pcounter a float": ("download", {"Pcounter": 0.5, "res": bytes(40)}),
    "download, res gone": ("download", {"res": None}),
    "download, rejected block": ("download", {"res": bytes(40), "reply": b"\x00\x00\x00\x00\x01"}),
    "download, last block": ("download", {"res": bytes(40), "Pcounter": 1, "reply": ack(1, 0x10)}),
    "download, counter wraps": ("download", {"res": bytes(2 ** 21 + 64), "Pcounter": 65535, "reply": ack(65535, 0x10)}),
    "run, Pcounter gone": ("run", {"Pcounter": None}),
}


def set_state(namespace, state):
    """Installs the case's globals in namespace; returns the port installed as ser."""
    port = FakePort(state["reply"]) if "reply" in state else FakePort(echo=True)
    namespace["ser"] = port
    for name, value in state.items():
        if name == "reply":
            continue
        if value is None:
            namespace.pop(name, None)
        else:
            namespace[name] = value
    return port


@pytest.mark.parametrize("case", CASES, ids=list(CASES))
def test_the_form_and_the_module_print_return_and_raise_alike(module_state, case):
    function, state = CASES[case]
    namespace = form.run_form({})
    form_port = set_state(namespace, state)
    expected = outcome(namespace[function], form.form_entries)

    module_port = set_state(vars(downloader), state)
    assert outcome(getattr(downloader, function), module_entries_of) == expected
    assert module_port.written == form_port.written
