#!/usr/bin/env bash
# Makes, unless they are there already, what the checks need beyond what .ci/run makes first
# (the .venv and this machine's wheels): the wheels for 3.13t, 3.14 and 3.15
# (.ci/lib/wheels.bash), the module's sanitizer builds, the forky root (CPython 3.14 and
# 3.15), the free-threaded 3.13t, the compiler-less roots and the USB guest. .ci/run starts
# this at idle priority beside the timed tests. Each piece is locked while it is made, so a
# check that needs one before it is finished waits for it (and the idle work then has the
# processors) instead of making it again. Two lines at once: one mostly downloads and
# unpacks, the other compiles; each in the order the checks need its pieces.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib/smoke-roots.bash
source .ci/lib/wheels.bash
source .ci/lib/sanitizer-venv.bash
start=$SECONDS
py313t=${DOWNLOADER_PY313T:-/var/cache/downloader-ci/py313t}

prepared() {  # prepared WHAT COMMAND...: runs the command, and says how long it took
    local what=$1 began=$SECONDS
    shift
    "$@"
    echo "prepared: $what in $((SECONDS - began)) s"
}

downloading() {  # 16 the guest, 61 the forky root and its wheels, 63 the compiler-less roots
    prepared "USB guest" bash tests/guest/guest.sh build
    prepared "forky root" .ci/forky true
    prepared "3.14 and 3.15 wheels" ci_wheel 3.14
    for pair in $SMOKE_ROOTS; do
        prepared "${pair%%:*} root" bash -c 'source .ci/lib/smoke-roots.bash && prepare_root "$1"' - "${pair%%:*}"
    done
}

compiling() {  # 63 and 64 3.13t, 20 the sanitizer build (made there if it comes first)
    prepared "3.13t" bash .ci/lib/build-py313t.sh "$py313t"
    prepared "3.13t wheel" ci_wheel 3.13t
    prepared "sanitizer build" sanitizer_venv python3 "$SANITIZER_VENV" build/sanitizers
    prepared "3.13t sanitizer build" sanitizer_venv "$py313t/bin/python3.13t" "$FREE_THREADED_ASAN_VENV" build/sanitizers-313t
}

downloading &
fetching=$!
compiling &
compiling=$!
status=0
wait $fetching || status=1
wait $compiling || status=1
[ $status -eq 0 ] || { echo "preparing failed"; exit 1; }
echo "prepared everything in $((SECONDS - start)) s"
