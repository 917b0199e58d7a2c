#!/usr/bin/env bash
# Real USB: the tests marked real_usb, in a qemu guest (TCG) whose kernel runs the USB gadget
# and cdc_acm stacks over emulated controllers (tests/guest/guest.sh). This run's wheel
# (.ci/lib/wheels.bash) is installed into a virtual environment here; the guest chroots into
# this machine's root and runs that environment's pytest against the simulator served on each
# gadget's tty. The guest is built from Debian's packages on first use and cached in
# /var/cache/downloader-ci. It comes early: its emulated machine makes it the longest check.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib/wheels.bash
start=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --upgrade pip
"$work/venv/bin/pip" install --quiet "$(ci_wheel "$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')")[test,flasher]"
echo "environment ready in $((SECONDS - start)) s"
bash tests/guest/guest.sh build
echo "guest ready in $((SECONDS - start)) s"

# The hypothesis plugin alone takes half a minute to load in the guest; no real-USB test uses it.
# REAL_USB_MARKERS narrows the selection, e.g. to "real_usb and not slow".
bash tests/guest/guest.sh run --devices 8 --timeout 1200 -- \
    "$work/venv/bin/python" -m pytest -p no:cacheprovider -p no:hypothesispytest \
    -m "${REAL_USB_MARKERS:-real_usb}" \
    -o console_output_style=classic -v tests/test_real_usb*.py
echo "real-USB tests: $((SECONDS - start)) s"
# The scaling benchmark's smoke run over the same stack: it must flash every device; its
# figures are for reading, not a check (bench/RESULTS.md).
bash tests/guest/guest.sh run --devices 2 --timeout 600 -- "$work/venv/bin/python" bench/usb_scaling.py --quick
echo "real USB: $((SECONDS - start)) s"
