#!/usr/bin/env bash
# Builds a binary wheel of the tree for each CPython version named, into OUTDIR, two at a time,
# each with pip in a fresh virtual environment of that interpreter (so the build backend comes
# from the package index, as it does for a user). 3.13t is the free-threaded build in
# $DOWNLOADER_PY313T; other versions are found as find-python.bash finds them. A version with
# no interpreter on this machine fails the build, or with --skip-missing is left out and said.
#     .ci/lib/build-wheels.sh [--skip-missing] OUTDIR VERSION...
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/checks/find-python.bash
skip_missing=no
if [ "${1:-}" = --skip-missing ]; then skip_missing=yes; shift; fi
out=${1:?usage: build-wheels.sh [--skip-missing] OUTDIR VERSION...}
shift
mkdir -p "$out"
out=$(realpath "$out")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

interpreter() {  # interpreter VERSION: the path of that CPython, or nothing
    if [ "$1" = 3.13t ]; then
        local python=${DOWNLOADER_PY313T:-/var/cache/downloader-ci/py313t}/bin/python3.13t
        if [ -x "$python" ]; then echo "$python"; fi
    else
        find_python "$1" 2>/dev/null || true
    fi
}

build_wheel() {  # build_wheel VERSION PYTHON
    local version=$1 python=$2 began=$SECONDS wheel
    "$python" -m venv "$work/$version"
    # The build in a folder of its own: the tree's build/ may be in use by another build.
    if ! "$work/$version/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$work/wheels-$version" \
        --config-settings=build-dir="$work/build-$version" . \
        >"$work/$version.log" 2>&1; then
        cat "$work/$version.log"
        echo "CPython $version: the wheel failed to build"
        return 1
    fi
    wheel=$(echo "$work/wheels-$version"/*.whl)
    mv "$wheel" "$out/"
    echo "CPython $version: $(basename "$wheel") in $((SECONDS - began)) s"
}

builds=()
for version in "$@"; do
    python=$(interpreter "$version")
    if [ -n "$python" ]; then
        builds+=("$version" "$python")
    elif [ $skip_missing = yes ]; then
        echo "CPython $version: not on this machine, no wheel"
    else
        echo "no CPython $version on this machine"
        exit 1
    fi
done
export -f build_wheel
export work out
[ ${#builds[@]} -eq 0 ] || printf '%s\0' "${builds[@]}" | xargs -0 -n 2 -P 2 bash -c 'build_wheel "$@"' _
