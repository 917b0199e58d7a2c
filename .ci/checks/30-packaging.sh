#!/usr/bin/env bash
# Packaging, on CPython 3.8, the oldest interpreter. `python -m build` makes the sdist and, from
# it, the wheel. The wheel must hold the extension, its stubs, the wire rules, the flashing tool
# and the simulator and nothing else, under the version that CHANGELOG.md last released. That
# wheel, installed into a fresh virtual environment with the oldest pyserial that pyproject.toml
# allows, must pass the test suite taken from the sdist itself (with the examples it runs), away
# from any source tree: a file missing from the sdist fails here. This is also the suite's run
# on the oldest interpreter, the tool's tests included (tests/conftest.py).
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/checks/find-python.bash
start=$SECONDS
unset HYPOTHESIS_PROFILE  # the long property runs happen once, in the main run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python=$(find_python 3.8)

"$python" -m venv "$work/tools"
"$work/tools/bin/pip" install --quiet --upgrade pip build
"$work/tools/bin/python" -m build --outdir "$work/dist" . >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
sdist=$(echo "$work"/dist/*.tar.gz)
wheel=$(echo "$work"/dist/*.whl)
echo "built $(basename "$sdist") and $(basename "$wheel") in $((SECONDS - start)) s"

# The wheel: exactly the extension, the stubs, the wire rules', the flashing tool's and the simulator's sources
# and the metadata, with the console script downloader-flash.
"$work/tools/bin/python" - "$wheel" "$sdist" CHANGELOG.md <<'PY'
import re, sys, tarfile, zipfile

wheel, sdist, changelog = sys.argv[1:]
names = sorted(zipfile.ZipFile(wheel).namelist())
print("wheel contents:\n  " + "\n  ".join(names))
version = re.match(r"downloader-([^-]+)-", wheel.rsplit("/", 1)[-1]).group(1)
with tarfile.open(sdist) as archive:
    names_in_sdist = archive.getnames()

def sources(package):
    return {name.split("/", 1)[1] for name in names_in_sdist if re.fullmatch(rf"[^/]+/{package}/[^/]+\.py", name)}

simulator, tool, wire = sources("downloader_sim"), sources("downloader_flash"), sources("downloader_wire")
# The station's page: its HTML, CSS and script, served from the package.
page = {name.split("/", 1)[1] for name in names_in_sdist if re.fullmatch(r"[^/]+/downloader_flash/static/[^/]+", name)}
expected = ({"downloader-stubs/__init__.pyi", "downloader_flash/py.typed", "downloader_flash/record.schema.json",
             "downloader_sim/py.typed", "downloader_wire/py.typed"}
            | simulator | tool | wire | page)
payload = [name for name in names if not name.startswith(f"downloader-{version}.dist-info/")]
extensions = [name for name in payload if re.fullmatch(r"downloader\.cpython-\d+[^/]*\.so", name)]
problems = []
if len(extensions) != 1:
    problems.append(f"expected one extension module, found {extensions}")
if not simulator or not tool or not wire or not page:
    problems.append("the sdist lacks the downloader_sim, the downloader_flash or the downloader_wire sources")
entry_points = zipfile.ZipFile(wheel).read(f"downloader-{version}.dist-info/entry_points.txt").decode()
if "downloader-flash = downloader_flash.__main__:main" not in entry_points:
    problems.append(f"no console script downloader-flash in entry_points.txt:\n{entry_points}")
if sorted(set(payload) - set(extensions)) != sorted(expected):
    problems.append(f"unexpected: {sorted(set(payload) - set(extensions) - expected)}, "
                    f"missing: {sorted(expected - set(payload))}")
released = re.search(r"^## \[(\d[^\]]*)\]", open(changelog, encoding="utf-8").read(), re.M)
if not released or released.group(1) != version:
    problems.append(f"wheel version {version} is not CHANGELOG.md's latest release "
                    f"{released.group(1) if released else '(none)'}")
if problems:
    sys.exit("wheel check failed:\n  " + "\n  ".join(problems))
print(f"wheel holds the extension, the stubs, the wire rules, {len(tool)} files of the flashing tool and "
      f"{len(simulator)} of the simulator; "
      f"version {version}")
PY

# The wheel built from the sdist, installed with the oldest pyserial allowed, against the sdist's tests.
oldest=$(tar -xzOf "$sdist" --wildcards '*/PKG-INFO' | sed -n 's/^Requires-Dist: pyserial>=\([0-9.]*\)$/\1/p')
[ -n "$oldest" ] || { echo "PKG-INFO names no lower bound for pyserial"; exit 1; }
echo "pyserial==$oldest" >"$work/constraints.txt"
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --upgrade pip
"$work/venv/bin/pip" install --quiet --constraint "$work/constraints.txt" "downloader[test] @ file://$wheel" \
    >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
echo "installed the wheel with pyserial $oldest in $((SECONDS - start)) s so far"

mkdir "$work/src" "$work/run"
tar -xzf "$sdist" -C "$work/src" --strip-components=1
# The tests read the module's Python form, and the script that names its statements, from downloader/.
mkdir "$work/run/downloader"
cp "$work/src/downloader/python_form.py" "$work/src/downloader/statement_lines.py" "$work/run/downloader/"
cp -r "$work/src/tests" "$work/src/examples" "$work/src/pyproject.toml" "$work/run/"
cd "$work/run"
"$work/venv/bin/python" -I -c '
import sys, downloader, downloader_flash, downloader_sim, downloader_wire
for module in (downloader, downloader_flash, downloader_sim, downloader_wire):
    assert module.__file__.startswith(sys.prefix), module.__file__
'''
"$work/venv/bin/downloader-flash" --version
# The long runs and what no interpreter changes are the main run's; here the point is the sdist.
"$work/venv/bin/pytest" -p no:cacheprovider -q -m "not slow and not once"
echo "packaging: passed in $((SECONDS - start)) s"
