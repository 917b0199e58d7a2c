#!/usr/bin/env bash
# Makes, unless they are cached, what the later checks need from outside the tree: the forky
# root (CPython 3.14 and 3.15), the free-threaded 3.13t, the compiler-less roots and the USB
# guest. .ci/run starts this in the background: the main run's tests mostly wait on devices and
# time-outs, and leave the processors to it. Each piece is locked while it is made, so a check
# that needs one before it is finished waits for it instead of making it again.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib/smoke-roots.bash
start=$SECONDS

prepared() {  # prepared WHAT COMMAND...: runs the command, and says how long it took
    local what=$1 began=$SECONDS
    shift
    "$@"
    echo "prepared: $what in $((SECONDS - began)) s"
}

# In the order the checks need them: 11 the forky root, 12 the free-threaded interpreter,
# 13 the compiler-less roots, 70 the guest.
prepared "forky root" .ci/forky true
prepared "3.13t" bash .ci/lib/build-py313t.sh "${DOWNLOADER_PY313T:-/var/cache/downloader-ci/py313t}"
for pair in $SMOKE_ROOTS; do
    prepared "${pair%%:*} root" bash -c 'source .ci/lib/smoke-roots.bash && prepare_root "$1"' - "${pair%%:*}"
done
prepared "USB guest" bash tests/guest/guest.sh build
echo "prepared everything in $((SECONDS - start)) s"
