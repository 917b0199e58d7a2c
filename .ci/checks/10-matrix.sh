#!/usr/bin/env bash
# The module's tests (marked `module`, tests/conftest.py) on CPython 3.9, 3.10, 3.12 and 3.13,
# each in its own fresh virtual environment made by its nox session, with the wheel that this
# run built once for that interpreter (.ci/lib/wheels.bash) installed, two sessions at a time
# (the machine has two cores). 3.11 is the main run's; 3.8, the oldest, is 30-packaging.sh's,
# which runs the tool's tests there too.
# MATRIX_SESSIONS names other sessions, and MATRIX_WHOLE those of them that run the tool's tests
# as well: 61-newest-pythons.sh runs this script inside the forky root for 3.14 and 3.15 (the
# newest, whole), with DOWNLOADER_WHEELS naming the wheels' folder there.
# What the main run covers whatever the interpreter is left to it: the long property runs of
# the ci profile, the long transfers and read time-outs (slow), the terminal's screen and the
# browser's page (once). The thread stress runs 3 s instead of 10; 64-free-threaded.sh, where
# threads matter most, keeps the full stress.
set -euo pipefail
cd "$(dirname "$0")/../.."
unset HYPOTHESIS_PROFILE
start=$SECONDS

NOX_VENV=${NOX_VENV:-.venv-nox}
[ -x "$NOX_VENV/bin/nox" ] || { python3 -m venv "$NOX_VENV" && "$NOX_VENV/bin/pip" install --quiet nox; }
envdir=${NOX_ENVDIR:-.nox}
logs=$(mktemp -d)
sessions=${MATRIX_SESSIONS:-tests-3.9 tests-3.10 tests-3.12 tests-3.13}
whole=${MATRIX_WHOLE:-}
export DOWNLOADER_STRESS_SECONDS=${DOWNLOADER_STRESS_SECONDS:-3}
source .ci/lib/wheels.bash
for session in $sessions; do ci_wheel "${session#tests-}" >/dev/null; done
export DOWNLOADER_WHEELS=$CI_WHEELS

run_session() {
    local session=$1 began=$SECONDS markers="module and not slow"
    [[ " $whole " != *" $session "* ]] || markers="not slow and not once"
    if "$NOX_VENV/bin/nox" --envdir "$envdir" -s "$session" -- -p no:cacheprovider -m "$markers" >"$logs/$session.log" 2>&1; then
        echo "$session ($markers) passed in $((SECONDS - began)) s"
    else
        echo "$session ($markers) FAILED in $((SECONDS - began)) s"
        return 1
    fi
}
export -f run_session
export NOX_VENV envdir logs whole

status=0
printf '%s\n' $sessions | xargs -P 2 -I{} bash -c 'run_session {}' || status=1
for log in "$logs"/*.log; do
    echo "--- $(basename "$log" .log)"
    if [ $status -ne 0 ]; then cat "$log"; else grep -E '^platform |^=+ .* in [0-9.]+s' "$log" || true; fi
done
rm -rf "$logs"
echo "matrix: $sessions in $((SECONDS - start)) s"
exit $status
