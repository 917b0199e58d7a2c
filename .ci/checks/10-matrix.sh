#!/usr/bin/env bash
# The whole suite on CPython 3.8 to 3.13, each built from the tree in its own fresh virtual
# environment by its nox session, two sessions at a time (the machine has two cores).
# MATRIX_SESSIONS names other sessions: 11-newest-pythons.sh runs this script inside the
# forky root for 3.14 and 3.15; 12-free-threaded.sh runs 3.13t.
# What the main run covers whatever the interpreter is left to it: the long property runs of
# the ci profile, the long transfers and read time-outs (slow), the terminal's screen and the
# browser's page (once). The thread stress runs 3 s instead of 10; 12-free-threaded.sh, where
# threads matter most, keeps every test but the `once` ones and the full stress.
set -euo pipefail
cd "$(dirname "$0")/../.."
unset HYPOTHESIS_PROFILE
start=$SECONDS

NOX_VENV=${NOX_VENV:-.venv-nox}
[ -x "$NOX_VENV/bin/nox" ] || { python3 -m venv "$NOX_VENV" && "$NOX_VENV/bin/pip" install --quiet nox; }
envdir=${NOX_ENVDIR:-.nox}
logs=$(mktemp -d)
sessions=${MATRIX_SESSIONS:-tests-3.8 tests-3.9 tests-3.10 tests-3.11 tests-3.12 tests-3.13}
markers=${MATRIX_MARKERS:-not slow and not once}
export DOWNLOADER_STRESS_SECONDS=${DOWNLOADER_STRESS_SECONDS:-3}

run_session() {
    local session=$1 began=$SECONDS
    if "$NOX_VENV/bin/nox" --envdir "$envdir" -s "$session" -- -p no:cacheprovider -m "$markers" >"$logs/$session.log" 2>&1; then
        echo "$session passed in $((SECONDS - began)) s"
    else
        echo "$session FAILED in $((SECONDS - began)) s"
        return 1
    fi
}
export -f run_session
export NOX_VENV envdir logs markers

status=0
printf '%s\n' $sessions | xargs -P 2 -I{} bash -c 'run_session {}' || status=1
for log in "$logs"/*.log; do
    echo "--- $(basename "$log" .log)"
    if [ $status -ne 0 ]; then cat "$log"; else grep -E '^platform |^=+ .* in [0-9.]+s' "$log" || true; fi
done
rm -rf "$logs"
echo "matrix: $sessions in $((SECONDS - start)) s"
exit $status
