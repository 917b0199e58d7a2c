#!/usr/bin/env bash
# The free-threaded build of CPython 3.13 (3.13t), built from Debian's source package by
# .ci/lib/build-py313t.sh and kept in $DOWNLOADER_PY313T between runs.
#   1. The module's tests, with this run's 3.13t wheel (.ci/lib/wheels.bash) installed by the
#      tests-3.13t nox session, and the GIL left as the interpreter starts it: off. Once the
#      module declares that it runs without the GIL, importing it must leave the GIL off, and the suite's warnings-as-errors would
#      catch the warning that turning it on gives. A module without the declaration turns the
#      GIL on at import; that one warning is then tolerated, on this build only, and said.
#   2. The thread stress tests against an AddressSanitizer build of the module, the GIL off:
#      among them six threads calling beat() while a seventh keeps replacing Pcounter with a
#      bytearray, run for DOWNLOADER_BYTEARRAY_STRESS_SECONDS (default here 30).
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib/wheels.bash
source .ci/lib/sanitizer-venv.bash
unset HYPOTHESIS_PROFILE PYTHON_GIL
start=$SECONDS

export DOWNLOADER_PY313T=${DOWNLOADER_PY313T:-/var/cache/downloader-ci/py313t}
bash .ci/lib/build-py313t.sh "$DOWNLOADER_PY313T"
python=$DOWNLOADER_PY313T/bin/python3.13t
NOX_VENV=${NOX_VENV:-.venv-nox}
[ -x "$NOX_VENV/bin/nox" ] || { python3 -m venv "$NOX_VENV" && "$NOX_VENV/bin/pip" install --quiet nox; }
envdir=${NOX_ENVDIR:-.nox}

pytest_args=(-p no:cacheprovider -m module)
if grep -q "Py_mod_gil" downloader/*.cpp; then
    declared=yes
else
    declared=no
    echo "3.13t: the module does not declare that it runs without the GIL; its import turns the GIL on"
    # The same filter for pytest (whose own filters come first) and for the scripts that the
    # tests start; both take the message literally.
    tolerated="ignore:The global interpreter lock (GIL) has been enabled to load module 'downloader':RuntimeWarning"
    pytest_args+=(-W "$tolerated")
    export PYTHONWARNINGS=$tolerated
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
ci_wheel 3.13t >/dev/null
began=$SECONDS
if ! DOWNLOADER_WHEELS=$CI_WHEELS "$NOX_VENV/bin/nox" --envdir "$envdir" -s tests-3.13t -- "${pytest_args[@]}" >"$log" 2>&1; then
    cat "$log"
    echo "tests-3.13t FAILED in $((SECONDS - began)) s"
    exit 1
fi
grep -E '^platform |^=+ .* in [0-9.]+s' "$log" || true
echo "tests-3.13t passed in $((SECONDS - began)) s"

venv=$envdir/tests-3-13t
gil=$("$venv/bin/python" -c 'import sys, downloader; print("on" if sys._is_gil_enabled() else "off")')
echo "3.13t: GIL $gil after importing the module"
if [ "$declared" = yes ] && [ "$gil" != off ]; then
    echo "the module declares that it runs without the GIL, yet importing it turned the GIL on"
    exit 1
fi

# The stress test under ASan, as 20-sanitizers.sh runs the suite, the runtime preloaded and
# leaks not reported. The free-threaded build allows no allocator but its mimalloc, so ASan
# sees the module's own heap while the allocator's debug hooks guard Python's objects.
began=$SECONDS
asan_venv=$FREE_THREADED_ASAN_VENV
sanitizer_venv "$python" "$asan_venv" build/sanitizers-313t
reports=$(mktemp -d)
trap 'rm -f "$log"; rm -rf "$reports"' EXIT
preload="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so)"
status=0
env LD_PRELOAD="$preload" PYTHONMALLOC=mimalloc_debug DOWNLOADER_STRESS_SECONDS=${DOWNLOADER_STRESS_SECONDS:-10} \
    DOWNLOADER_BYTEARRAY_STRESS_SECONDS=${DOWNLOADER_BYTEARRAY_STRESS_SECONDS:-30} \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    "$asan_venv/bin/python" -m pytest "${pytest_args[@]}" -q -rP tests/test_stress.py || status=$?
if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:"
    cat "$reports"/*
    status=1
fi
echo "3.13t stress test under ASan: exit $status in $((SECONDS - began)) s"
[ $status -eq 0 ] || exit $status
echo "free-threaded: passed in $((SECONDS - start)) s"
