#!/usr/bin/env bash
# valgrind memcheck over a representative subset of the suite: every module function through
# its paths (the leak test, scaled down), the subsystem tests, the property tests at the
# default profile and a short thread run. Python's allocator is switched to malloc so that
# memcheck sees every object; .ci/valgrind/python.supp holds the interpreter's own noise.
# Fails on any invalid read or write, invalid free or definite leak that is not suppressed.
set -euo pipefail
cd "$(dirname "$0")/../.."
unset HYPOTHESIS_PROFILE
start=$SECONDS

venv=${VALGRIND_VENV:-.venv}
if ! "$venv/bin/python" -c 'import downloader' 2>/dev/null; then
    python3 -m venv "$venv"
    "$venv/bin/pip" install --quiet ".[test,flasher]"
fi

log=$(mktemp -d)
status=0
env PYTHONMALLOC=malloc DOWNLOADER_LEAK_CALLS=5000 DOWNLOADER_STRESS_SECONDS=2 \
    valgrind --tool=memcheck --error-exitcode=99 --undef-value-errors=no \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --suppressions=.ci/valgrind/python.supp --num-callers=40 --log-file="$log/memcheck.%p" \
    "$venv/bin/python" -m pytest -p no:cacheprovider -q \
        tests/test_protocol.py tests/test_firmware.py tests/test_serial_link.py tests/test_leaks.py \
        tests/test_stress.py tests/test_properties.py \
        -k "not largest and not overflow" || status=$?

summary=$(grep -h "ERROR SUMMARY" "$log"/memcheck.* || true)
echo "$summary"
if [ $status -ne 0 ]; then
    cat "$log"/memcheck.*
fi
rm -rf "$log"
echo "valgrind: exit $status in $((SECONDS - start)) s"
exit $status
