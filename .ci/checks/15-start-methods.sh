#!/usr/bin/env bash
# The flashing tool's tests under each multiprocessing start method its workers may use: 'spawn'
# (the default), 'forkserver' (3.14's default on Linux) and 'fork', chosen through
# DOWNLOADER_FLASH_START_METHOD. One interpreter: the .venv of `make test`, which .ci/run has
# already built. The slow tests ran there once; the start method does not change what they wait for.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
[ -x .venv/bin/python ] || make .venv/installed
TOOL_TESTS=(tests/test_flash_tool.py tests/test_flash_station.py tests/test_faults.py tests/test_faults_records.py
            tests/test_flash_render.py tests/test_late_reply.py tests/test_station_memory.py)
for method in spawn forkserver fork; do
    echo "-- workers started by '$method'"
    DOWNLOADER_FLASH_START_METHOD=$method .venv/bin/python -m pytest -q -p no:cacheprovider -m "not slow" "${TOOL_TESTS[@]}"
done
echo "the tool's tests under spawn, forkserver and fork: passed in $((SECONDS - start)) s"
