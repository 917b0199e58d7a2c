#!/usr/bin/env bash
# CPython 3.14 and 3.15, each in a fresh virtual environment made by its nox session with this
# run's wheel for it installed (the two at once): the module's tests on both, and on 3.15, the
# newest, the tool's tests too; then the stubs' checks on 3.15. This host's Debian release has
# neither version, so both run inside a Debian forky root (.ci/forky), made on a fresh machine
# and kept for the next run.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib/wheels.bash
start=$SECONDS
forky_root=${FORKY_ROOT:-/var/cache/downloader-ci/forky}
inside=/var/tmp/downloader-ci-wheels-$$  # /var/tmp: the forky root's /tmp is emptied on leaving it
trap 'rm -rf "${forky_root:?}$inside"' EXIT
mkdir -p "$forky_root$inside"
for version in $FORKY_VERSIONS; do cp "$(ci_wheel "$version")" "$forky_root$inside/"; done
DOWNLOADER_WHEELS=$inside .ci/forky bash -c '
    set -euo pipefail
    MATRIX_SESSIONS="tests-3.14 tests-3.15" MATRIX_WHOLE=tests-3.15 NOX_VENV=/opt/nox bash .ci/checks/10-matrix.sh
    TYPING_VERSIONS=3.15 bash .ci/checks/40-typing.sh'
echo "3.14 and 3.15: passed in $((SECONDS - start)) s"
