#!/usr/bin/env bash
# The flashing tool's tests under the other multiprocessing start methods its workers may use,
# chosen through DOWNLOADER_FLASH_START_METHOD: 'forkserver' (3.14's default on Linux) and 'fork'.
# The default, 'spawn', is what `make test` has already run them under. One interpreter: the
# .venv of `make test`. Only the tests that start the tool's workers (marked `workers`,
# tests/conftest.py); not the slow ones, whose waits do not depend on how a worker starts.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
[ -x .venv/bin/python ] || make .venv/installed
for method in forkserver fork; do
    echo "-- workers started by '$method'"
    DOWNLOADER_FLASH_START_METHOD=$method .venv/bin/python -m pytest -q -p no:cacheprovider -m "workers and not slow"
done
echo "the tool's tests under forkserver and fork (spawn: make test): passed in $((SECONDS - start)) s"
