#!/usr/bin/env bash
# ci: untimed (it measures no time and waits on nothing: .ci/run gives it the processors no test wants)
# Typing. On the oldest and the newest interpreter (TYPING_VERSIONS; 3.15, which this host
# lacks, is checked inside the forky root by 61-newest-pythons.sh), this run's wheel for it
# (.ci/lib/wheels.bash) is installed into a fresh virtual environment with mypy, and mypy's
# stubtest compares the installed stubs with the built module (allowlist: stubtest-allowlist.txt, every entry explained), and the installed
# flashing tool, the simulator with its pytest plugin, the wire rules and the example scripts (one of them a
# host's test using the plugin's fixtures) pass `mypy --strict` for that interpreter's version. Everything runs outside the tree, so that only installed
# packages are found. CPython 3.8 needs mypy 1.14, the last release that runs on it.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/checks/find-python.bash
source .ci/lib/wheels.bash
repo=$PWD
start=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check() {  # check VERSION MYPY-REQUIREMENT
    local version=$1 mypy=$2 venv="$work/venv-$1" wheel
    wheel=$(ci_wheel "$version")
    "$(find_python "$version")" -m venv "$venv"
    "$venv/bin/pip" install --quiet --upgrade pip
    "$venv/bin/pip" install --quiet "$mypy" types-pyserial types-tqdm pytest "$wheel[station]" >"$work/install-$version.log" 2>&1 \
        || { cat "$work/install-$version.log"; return 1; }
    (cd "$work" && "$venv/bin/python" -m mypy.stubtest --allowlist "$repo/.ci/checks/stubtest-allowlist.txt" downloader)
    (cd "$work" && "$venv/bin/mypy" --config-file "$repo/pyproject.toml" --strict \
        -p downloader_wire -p downloader_sim -p downloader_flash)
    (cd "$work" && "$venv/bin/mypy" --config-file "$repo/pyproject.toml" --strict "$repo"/examples/*.py)
    echo "stubtest and mypy --strict on $("$venv/bin/python" -V) with mypy $("$venv/bin/mypy" --version | cut -d' ' -f2): clean"
}

for version in ${TYPING_VERSIONS:-3.8}; do
    if [ "$version" = 3.8 ]; then check 3.8 "mypy==1.14.*"; else check "$version" mypy; fi
done
echo "typing: passed in $((SECONDS - start)) s"
