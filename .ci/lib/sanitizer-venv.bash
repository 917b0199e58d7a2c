# Sourced: sanitizer_venv PYTHON VENV BUILD-DIR makes VENV, a virtual environment of PYTHON with
# the test extras and a build of the module from the tree with AddressSanitizer and
# UndefinedBehaviorSanitizer, unless a finished one is there. Under a lock: .ci/lib/prepare-caches.sh
# makes them ahead of 20-sanitizers.sh and 64-free-threaded.sh, which wait for it or make it.
SANITIZER_VENV=${SANITIZER_VENV:-.venv-sanitizers}                  # the host's python3
FREE_THREADED_ASAN_VENV=${FREE_THREADED_ASAN_VENV:-.venv-313t-asan}  # 3.13t
sanitizer_venv() {
    local python=$1 venv=$2 build=$3
    mkdir -p "$(dirname "$venv")"
    (
        flock 5
        [ ! -e "$venv/.complete" ] || exit 0
        "$python" -m venv --clear "$venv"
        "$venv/bin/pip" install --quiet --upgrade pip
        # hypothesis as a wheel: see noxfile.py
        "$venv/bin/pip" install --quiet --only-binary hypothesis \
            --config-settings=build-dir="$build" \
            --config-settings=cmake.define.DOWNLOADER_SANITIZE=ON \
            --config-settings=cmake.build-type=RelWithDebInfo \
            ".[test,flasher]"
        touch "$venv/.complete"
    ) 5>"$venv.lock"
}
