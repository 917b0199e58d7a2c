# The compiler-less Debian roots that the binary wheels are tried in, with the CPython each has:
# bullseye (the oldest glibc the mirror serves) and bookworm. Sourced by 13-wheels.sh, and by
# prepare-caches.sh, which makes them ahead of it.
source "$(dirname "${BASH_SOURCE[0]}")/debian-root.bash"

SMOKE_ROOTS="bullseye:3.9 bookworm:3.11"

prepare_root() {  # prepare_root SUITE: makes that compiler-less root unless it is cached, and locks it
    ROOT_DIR=${SMOKE_ROOTS_DIR:-/var/cache/downloader-ci}/$1
    ROOT_SUITE=$1
    ROOT_PACKAGES=python3,python3-venv,ca-certificates
    mkdir -p "$(dirname "$ROOT_DIR")"
    exec 9>"$ROOT_DIR.lock"
    flock 9  # one user of the root at a time: mounting and unmounting are not shared
    root_ensure
}
