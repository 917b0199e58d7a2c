#!/usr/bin/env bash
# ci: untimed (it measures no time and waits on nothing: .ci/run gives it the processors no test wants)
# The release workflow (.github/workflows/release.yml) runs two cibuildwheel releases, each
# pinned there: the older for CPython 3.8 and 3.13t, the newer for the rest. Asked without
# building (--print-build-identifiers), the two together must select, on each platform, one
# wheel per interpreter that the classifiers promise plus 3.13t, for each architecture of
# [tool.cibuildwheel], and no wheel twice (the second upload of a file fails the release).
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
workflow=.github/workflows/release.yml

pins=($(sed -n 's/.*uses: pypa\/cibuildwheel@v\([0-9.]*\)$/\1/p' "$workflow"))
[ ${#pins[@]} -eq 2 ] || { echo "expected two cibuildwheel steps in $workflow, found ${#pins[@]}"; exit 1; }
older_build=$(sed -n 's/^ *CIBW_BUILD: "\(.*\)"$/\1/p' "$workflow")
older_enable=$(sed -n 's/^ *CIBW_ENABLE: \(.*\)$/\1/p' "$workflow")
for pin in "${pins[@]}"; do
    python3 -m venv "$work/cibuildwheel-$pin"
    "$work/cibuildwheel-$pin/bin/pip" install --quiet "cibuildwheel==$pin" >"$work/install.log" 2>&1 \
        || { cat "$work/install.log"; exit 1; }
done

for platform in linux macos windows; do
    CIBW_BUILD=$older_build CIBW_ENABLE=$older_enable \
        "$work/cibuildwheel-${pins[0]}/bin/cibuildwheel" --print-build-identifiers --platform $platform >"$work/$platform"
    "$work/cibuildwheel-${pins[1]}/bin/cibuildwheel" --print-build-identifiers --platform $platform >>"$work/$platform"
done

python3 - "$work" <<'PY'
import collections, pathlib, re, sys, tomllib

work = pathlib.Path(sys.argv[1])
project = tomllib.loads(pathlib.Path("pyproject.toml").read_text(encoding="utf-8"))
versions = {"3" + match.group(1) for classifier in project["project"]["classifiers"]
            if (match := re.fullmatch(r"Programming Language :: Python :: 3\.(\d+)", classifier))}
versions.add("313t")
cibuildwheel = project["tool"]["cibuildwheel"]
platform_tags = {"linux": lambda arch: f"manylinux_{arch}", "macos": lambda arch: f"macosx_{arch}",
                 "windows": lambda arch: {"AMD64": "win_amd64"}[arch]}
problems = []
for platform, tag in platform_tags.items():
    selected = (work / platform).read_text().split()
    expected = {f"cp{version}-{tag(arch)}" for version in versions for arch in cibuildwheel[platform]["archs"]}
    twice = sorted(name for name, count in collections.Counter(selected).items() if count > 1)
    if twice:
        problems.append(f"{platform}: selected by both releases: {twice}")
    if set(selected) != expected:
        problems.append(f"{platform}: missing {sorted(expected - set(selected))}, "
                        f"unexpected {sorted(set(selected) - expected)}")
    print(f"{platform}: {len(selected)} wheels, {' '.join(sorted(selected))}")
if problems:
    sys.exit("release configuration:\n  " + "\n  ".join(problems))
PY
echo "release configuration: cibuildwheel ${pins[*]}, checked in $((SECONDS - start)) s"
