"""Names the lines of python_form.py for the C++: the build writes statement_lines.hpp from it.

    python3 downloader/statement_lines.py OUTPUT    # write the header to OUTPUT

A statement whose line ends in "# @name" becomes line::<function>::<name>; each def gives
line::<function>::definition; the statements outside any function belong to line::load.
"""
import re
import sys
import unicodedata
from pathlib import Path
from typing import Dict, List, Tuple

HERE = Path(__file__).resolve().parent
FORM = HERE / "python_form.py"

COLUMNS = 120  # the C++ layout's line length (.clang-format)
LOAD = "load"  # the statements run at import, reported as "init downloader"
DEFINITION = re.compile(r"def (\w+)\(")
TAG = re.compile(r"^(?P<statement>.*?)\s*#\s*@(?P<name>\w+)\s*$")

# (line, statement text) by function, then by name; functions in the file's order.
Statements = Dict[str, Dict[str, Tuple[int, str]]]


def statements(text: str) -> Statements:
    """Every named line of the listing, with the statement it holds."""
    found: Statements = {LOAD: {}}
    function = LOAD
    for number, line in enumerate(text.splitlines(), start=1):
        definition = DEFINITION.match(line)
        if definition:
            function = definition.group(1)
            found[function] = {"definition": (number, line.rstrip(":"))}
        elif line and not line[0].isspace() and not line.startswith("#"):
            function = LOAD
        tag = TAG.match(line)
        if tag:
            names = found[function]
            if tag.group("name") in names:
                raise ValueError(f"line {number}: {function}.{tag.group('name')} is named twice")
            names[tag.group("name")] = (number, tag.group("statement").strip())
    return found


def line_of(function: str, name: str = "definition") -> int:
    """The line of a named statement of the listing, as the module's traceback reports it."""
    return statements(FORM.read_text(encoding="utf-8"))[function][name][0]


def header(found: Statements) -> str:
    out: List[str] = [
        "// The line of each statement of the module's Python form, by function and name.",
        "// Written by the build from python_form.py (statement_lines.py); edit those, not this file.",
        "#pragma once",
        "",
        "namespace dl::line {",
    ]
    for function, names in found.items():
        out += ["", f"namespace {function} {{"]
        constants = [f"constexpr int {name} = {number};" for name, (number, _) in names.items()]
        column = max(len(constant) for constant in constants) + 2  # trailing comments aligned
        for constant, (_, statement) in zip(constants, names.values()):
            out += [constant.ljust(column) + "// " + cut(statement, COLUMNS - column - 3)]
        out += [f"}}  // namespace {function}"]
    out += ["", "}  // namespace dl::line", ""]
    return "\n".join(out)


def width(text: str) -> int:
    """Columns that text takes, wide characters counting two, as the C++ layout counts them."""
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def cut(statement: str, room: int) -> str:
    """The statement, cut to fit in room columns."""
    if width(statement) <= room:
        return statement
    while width(statement) > room - 3:
        statement = statement[:-1]
    return statement.rstrip() + "..."


def main(argv: List[str]) -> int:
    if len(argv) != 2:
        print(f"usage: {Path(argv[0]).name} OUTPUT", file=sys.stderr)
        return 2
    wanted = header(statements(FORM.read_text(encoding="utf-8")))
    output = Path(argv[1])
    output.parent.mkdir(parents=True, exist_ok=True)
    # Rewritten only when it changes, so that an unchanged form rebuilds nothing.
    if not output.exists() or output.read_text(encoding="utf-8") != wanted:
        output.write_text(wanted, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
