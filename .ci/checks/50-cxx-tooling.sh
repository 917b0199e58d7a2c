#!/usr/bin/env bash
# ci: untimed (it measures no time and waits on nothing: .ci/run gives it the processors no test wants)
# C++ tooling: the sources keep the layout of .clang-format, and clang-tidy (the checks in
# .clang-tidy) finds nothing, using the compile_commands.json that the CMake build writes.
# Both tools come from Debian's packages.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! command -v clang-format >/dev/null || ! command -v clang-tidy >/dev/null; then
    apt-get update -qq >"$work/apt.log" 2>&1 && \
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-format clang-tidy >>"$work/apt.log" 2>&1 \
        || { cat "$work/apt.log"; exit 1; }
fi
echo "$(clang-format --version) and $(clang-tidy --version | grep -i "llvm version" | head -n 1 | xargs)"

sources=(downloader/*.cpp downloader/*.hpp)
clang-format --dry-run --Werror "${sources[@]}" \
    || { echo "to fix: clang-format -i downloader/*.cpp downloader/*.hpp"; exit 1; }
echo "clang-format: ${#sources[@]} files match .clang-format"

# Configure, which writes compile_commands.json with the interpreter's own headers, and make the
# generated header the sources include; nothing is compiled.
python=$(python3 -c 'import sys; print(sys.executable)')
{ cmake -S . -B "$work/build" -DPython_EXECUTABLE="$python" && cmake --build "$work/build" --target statement_lines; } \
    >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
printf '%s\n' downloader/*.cpp | xargs -P 2 -n 1 clang-tidy --quiet -p "$work/build" 2>"$work/tidy.log" \
    || { cat "$work/tidy.log"; exit 1; }
echo "clang-tidy: $(ls downloader/*.cpp | wc -l) sources clean"
echo "cxx tooling: passed in $((SECONDS - start)) s"
