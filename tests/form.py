"""The module's Python form (downloader/python_form.py): its statements' lines, and the form run.

The lines of the module's traceback entries are those of the form, by function and by the name
a statement carries there ("# @name"); ``line("send", "write")`` is the line of ``ser.write(out)``.
"""
import importlib.util
from pathlib import Path

SOURCES = Path(__file__).resolve().parent.parent / "downloader"
FORM = SOURCES / "python_form.py"


def _statement_lines():
    spec = importlib.util.spec_from_file_location("statement_lines", SOURCES / "statement_lines.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


statement_lines = _statement_lines()
STATEMENTS = statement_lines.statements(FORM.read_text(encoding="utf-8"))
CODE = compile(FORM.read_text(encoding="utf-8"), str(FORM), "exec")


def line(function, name="definition"):
    """The line of a named statement; "load" names the statements run at import."""
    return STATEMENTS[function][name][0]


def entry(function, name="definition"):
    """The traceback entry the module adds for a failure at that statement: (line, function)."""
    return line(function, name), "init downloader" if function == "load" else "downloader." + function


def run_form(namespace):
    """Runs the form in ``namespace`` (a dict), as importing the module runs its statements."""
    exec(CODE, namespace)
    return namespace


def form_entries(error):
    """The form's frames in an exception's traceback, as the module's entries: (line, function)."""
    entries = []
    traceback = error.__traceback__
    while traceback is not None:
        code = traceback.tb_frame.f_code
        if code.co_filename == str(FORM) and code.co_name in STATEMENTS:
            entries.append((traceback.tb_lineno, "downloader." + code.co_name))
        traceback = traceback.tb_next
    return entries
