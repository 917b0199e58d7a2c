"""The release configuration in pyproject.toml against what the package promises."""
import re
import shlex
from pathlib import Path

import pytest

tomllib = pytest.importorskip("tomllib")  # CPython 3.11 and newer

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"
FREE_THREADED_RELEASES = {"313t"}


@pytest.fixture(scope="module")
def project():
    if not PYPROJECT.exists():
        pytest.skip("no pyproject.toml beside the tests")
    return tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))


def test_release_builds_every_interpreter_the_classifiers_promise(project):
    promised = set()
    for classifier in project["project"]["classifiers"]:
        version = re.fullmatch(r"Programming Language :: Python :: 3\.(\d+)", classifier)
        if version:
            promised.add("3" + version.group(1))
    patterns = project["tool"]["cibuildwheel"]["build"]
    selected = {re.fullmatch(r"cp(\d+t?)-\*", pattern).group(1) for pattern in patterns}
    assert selected == promised | FREE_THREADED_RELEASES


@pytest.mark.parametrize("platform", ["linux", "macos", "windows"])
def test_release_test_commands_select_by_registered_markers(project, platform):
    # pytest takes an unknown name in -m as a mark no test has: the selection would silently
    # change instead of failing.
    cibuildwheel = project["tool"]["cibuildwheel"]
    command = cibuildwheel.get(platform, {}).get("test-command", cibuildwheel["test-command"])
    arguments = shlex.split(command)
    expression = arguments[arguments.index("-m", arguments.index("pytest")) + 1]  # after python -m pytest
    used = set(re.findall(r"\w+", expression)) - {"not", "and", "or"}
    registered = {marker.split(":")[0] for marker in project["tool"]["pytest"]["ini_options"]["markers"]}
    assert used <= registered
    assert ("pty" in used) == (platform == "windows")
