#!/usr/bin/env bash
# Binary wheels for Linux, and whether they work where no compiler is.
#   1. One wheel per interpreter: CPython 3.8 to 3.13 and 3.13t here, 3.14 and 3.15 inside the
#      forky root, the ones this run built once for all its checks (.ci/lib/wheels.bash).
#   2. auditwheel checks each and repairs it to manylinux2014 (manylinux_2_17); a wheel that
#      needs a newer glibc than that (the forky ones may) is repaired to the policy it meets
#      (.ci/lib/repair-wheels.sh).
#   3. Each wheel whose interpreter a compiler-less Debian root has is installed there with
#      pip, pyserial and tqdm from the package index, then the module is imported and the tool
#      flashes two simulated devices. bullseye has 3.9 (the oldest glibc the mirror serves),
#      bookworm 3.11. The roots are made with debootstrap on first use and kept in
#      /var/cache/downloader-ci; a root in which any compiler is found fails the check.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/checks/find-python.bash
source .ci/lib/smoke-roots.bash
source .ci/lib/wheels.bash
unset HYPOTHESIS_PROFILE
start=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

SMOKE_COMMAND="downloader-flash --simulate 2 --all --sample 100000"

# The roots are mostly downloading and unpacking: made meanwhile, if prepare-caches.sh has not
# made them already.
preparing=()
for pair in $SMOKE_ROOTS; do
    (prepare_root "${pair%%:*}") >"$work/root-${pair%%:*}.log" 2>&1 &
    preparing+=($!)
done

# 1. The wheels.
mkdir "$work/built"
for version in ${WHEEL_VERSIONS:-3.8 3.9 3.10 3.11 3.12 3.13 3.13t 3.14 3.15}; do
    cp "$(ci_wheel "$version")" "$work/built/"
done
echo "$(ls "$work/built" | wc -l) wheels ready in $((SECONDS - start)) s"

# 2. auditwheel.
began=$SECONDS
bash .ci/lib/repair-wheels.sh "$work/built" "$work/wheelhouse"
shown=$(ls "$work"/built/*cp311-cp311*.show)
echo "auditwheel show $(basename "${shown%.show}"):"
grep -v '^INFO:' "$shown"
echo "auditwheel: $(ls "$work/wheelhouse" | wc -l) wheels repaired in $((SECONDS - began)) s"

# 3. The compiler-less roots.
began=$SECONDS
for job in "${preparing[@]}"; do wait "$job" || status=$?; done
cat "$work"/root-*.log
[ "${status:-0}" -eq 0 ] || exit 1
echo "roots ready $((SECONDS - began)) s after the wheels"

smoke_in_root() {  # smoke_in_root SUITE VERSION, in a subshell of its own for the traps
    local suite=$1 version=$2 began=$SECONDS tag wheel
    tag=cp${version//./}-cp${version//./}
    wheel=$(find "$work/wheelhouse" -name "downloader-*-$tag-*.whl")
    [ -n "$wheel" ] || { echo "no $tag wheel for $suite"; return 1; }
    prepare_root "$suite"
    trap 'root_unmount; rm -rf "${ROOT_DIR:?}/tmp/smoke"' EXIT
    root_mount
    mkdir -p "$ROOT_DIR/tmp/smoke"
    cp "$wheel" "$ROOT_DIR/tmp/smoke/"
    root_run bash -c '
        set -euo pipefail
        for compiler in cc c++ gcc g++ clang; do
            ! command -v $compiler >/dev/null || { echo "a compiler in the root: $(command -v $compiler)"; exit 1; }
        done
        echo "$(. /etc/os-release && echo "$PRETTY_NAME"), $(python3 -V), no compiler"
        python3 -m venv /tmp/smoke/venv
        began=$EPOCHREALTIME
        /tmp/smoke/venv/bin/pip install --quiet --only-binary :all: /tmp/smoke/*.whl
        echo "installed $(basename /tmp/smoke/*.whl) in $(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $began }") s"
        cd /tmp/smoke
        venv/bin/python -c "import time; began = time.perf_counter(); import downloader; print(f\"imported {downloader.__file__} in {time.perf_counter() - began:.2f} s\")"
        venv/bin/'"$SMOKE_COMMAND"
    echo "$suite: passed in $((SECONDS - began)) s"
}
for pair in $SMOKE_ROOTS; do
    (smoke_in_root "${pair%%:*}" "${pair#*:}")
done
echo "wheels: passed in $((SECONDS - start)) s"
