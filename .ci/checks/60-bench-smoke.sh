#!/usr/bin/env bash
# A short run of every part of bench/ (per-call cost with a small callgrind count, one flash of
# 64 KiB to the simulator in its own process, peak RSS, 32 KiB to 1 and 2 devices at once with
# downloader-flash's scheduler), so that the benchmark cannot rot. It makes its own virtual
# environment in a temporary folder and installs this run's wheel (.ci/lib/wheels.bash) there. Timings on a CI machine prove nothing: the check is that every part runs to its end,
# the simulated device receiving each image whole.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib/wheels.bash
start=$SECONDS

if ! command -v valgrind >/dev/null 2>&1; then
    { apt-get update -qq && apt-get install -y -qq valgrind >/dev/null; } ||
        echo "valgrind not available: instruction counts skipped"
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 -m venv "$tmp/venv"
"$tmp/venv/bin/pip" install --quiet --upgrade pip
"$tmp/venv/bin/pip" install --quiet "$(ci_wheel "$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')")[station]"
echo "bench environment ready in $((SECONDS - start)) s"
"$tmp/venv/bin/python" bench/run.py --quick
# The station's web side under 20 event-stream clients and a stalled one, in short.
"$tmp/venv/bin/python" bench/station_load.py --quick
# A station's cycle, a device's appearance to its first block, in short (timings inform, never fail).
"$tmp/venv/bin/python" bench/cycle_time.py --quick
echo "bench smoke: $((SECONDS - start)) s"
