# Sourced: the module's binary wheels of this run, built once per interpreter and installed by
# every check that tests the release build on it (the interpreters' module tests, the newest,
# the free-threaded, the wheels' own checks, the typing, the benchmark and the USB guest).
# They are kept in $CI_WHEELS (default build/ci-wheels, in the tree of the run); each is built
# under a lock, so that a check needing one that .ci/lib/prepare-caches.sh is building waits for
# it, and one that nothing has built yet is built then. 3.14 and 3.15 are built in the forky
# root (.ci/forky), together; 3.13t by the interpreter that .ci/lib/build-py313t.sh makes.
# Where DOWNLOADER_WHEELS names a folder (inside the forky root, say), the wheels are taken from
# there and never built.
CI_WHEELS=${DOWNLOADER_WHEELS:-${CI_WHEELS:-$PWD/build/ci-wheels}}
export CI_WHEELS
FORKY_VERSIONS="3.14 3.15"
HOST_VERSIONS="3.8 3.9 3.10 3.11 3.12 3.13"  # the interpreters of this machine (pyenv)

wheel_abi() {  # wheel_abi VERSION: 3.12 -> cp312-cp312, 3.13t -> cp313-cp313t
    local digits=${1//./}
    echo "cp${digits%t}-cp$digits"
}

found_wheel() {  # found_wheel VERSION: the path of its wheel in $CI_WHEELS, or nothing
    find "$CI_WHEELS" -maxdepth 1 -name "downloader-*-$(wheel_abi "$1")-*.whl" | head -n 1
}

ci_wheel() {  # ci_wheel VERSION: prints the path of that interpreter's wheel, built first if need be
    local version=$1 wheel
    [ -n "${DOWNLOADER_WHEELS:-}" ] || build_once "$version"
    wheel=$(found_wheel "$version")
    [ -n "$wheel" ] || { echo "no CPython $version wheel in $CI_WHEELS" >&2; return 1; }
    echo "$wheel"
}

build_once() {  # build_once VERSION: builds its wheel unless it is there, under a lock
    local version=$1 lock=$1
    [[ " $FORKY_VERSIONS " != *" $version "* ]] || lock=forky
    mkdir -p "$CI_WHEELS"
    (
        flock 6
        [ -z "$(found_wheel "$version")" ] || exit 0
        if [ "$lock" = forky ]; then
            build_forky_wheels
        else
            [ "$version" != 3.13t ] || bash .ci/lib/build-py313t.sh "${DOWNLOADER_PY313T:-/var/cache/downloader-ci/py313t}" >&2
            bash .ci/lib/build-wheels.sh "$CI_WHEELS" "$version" >&2
        fi
    ) 6>"$CI_WHEELS/$lock.lock"
}

host_wheels() {  # the wheels of this machine's interpreters, two at a time
    printf '%s\n' $HOST_VERSIONS | xargs -P 2 -I{} bash -c 'source .ci/lib/wheels.bash && ci_wheel {} >/dev/null'
}

build_forky_wheels() {  # inside the forky root, whose /tmp is emptied on leaving it
    local root=${FORKY_ROOT:-/var/cache/downloader-ci/forky} inside=/var/tmp/downloader-wheels-$$
    .ci/forky bash .ci/lib/build-wheels.sh "$inside" $FORKY_VERSIONS >&2
    mv "$root$inside"/*.whl "$CI_WHEELS/"
    rm -rf "${root:?}$inside"
}
