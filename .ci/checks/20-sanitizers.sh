#!/usr/bin/env bash
# The module's tests (marked `module`, tests/conftest.py) against a build of the module with
# AddressSanitizer and UndefinedBehaviorSanitizer (made by .ci/lib/prepare-caches.sh, or here).
# The interpreter is the ordinary one: the ASan runtime is preloaded, Python's allocator is switched to malloc so that ASan sees every object, and
# leak detection is off (the interpreter keeps memory until exit by design). Any report,
# from the test process or any child, fails the check.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib/sanitizer-venv.bash
unset HYPOTHESIS_PROFILE
start=$SECONDS

venv=$SANITIZER_VENV
sanitizer_venv python3 "$venv" "${SANITIZER_BUILD_DIR:-build/sanitizers}"
module=$("$venv/bin/python" -c 'import importlib.util; print(importlib.util.find_spec("downloader").origin)')
# Captured first, not piped into grep -q: grep quitting early makes ldd die of SIGPIPE,
# which pipefail reports as a failure on a loaded machine.
libraries=$(ldd "$module")
[[ $libraries == *libasan* ]] || { echo "$module is not an ASan build"; exit 1; }
echo "sanitizer build ready in $((SECONDS - start)) s"

reports=$(mktemp -d)
# The C++ runtime is preloaded too: ASan's exception interceptor must find it at start-up,
# and the interpreter itself does not link it.
preload="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so)"
status=0
env LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    "$venv/bin/python" -m pytest -p no:cacheprovider -m module || status=$?

if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:"
    cat "$reports"/*
    status=1
fi
rm -rf "$reports"
echo "sanitizers: exit $status in $((SECONDS - start)) s"
exit $status
