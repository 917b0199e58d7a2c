#!/usr/bin/env bash
# The whole suite on CPython 3.14 and 3.15, each built from the tree in a fresh virtual
# environment by its nox session (the two at once), and then the stubs' checks on 3.15, the
# newest. This host's Debian release has neither version, so both run inside a Debian forky
# root (.ci/forky), made here on a fresh machine and kept for the next run.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
.ci/forky bash -c '
    set -euo pipefail
    MATRIX_SESSIONS="tests-3.14 tests-3.15" NOX_VENV=/opt/nox bash .ci/checks/10-matrix.sh
    TYPING_VERSIONS=3.15 bash .ci/checks/40-typing.sh'
echo "3.14 and 3.15: passed in $((SECONDS - start)) s"
