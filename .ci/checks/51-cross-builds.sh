#!/usr/bin/env bash
# ci: untimed (it measures no time and waits on nothing: .ci/run gives it the processors no test wants)
# Cross builds, compiled and linked here though they cannot run here.
#   1. Windows AMD64: the module's sources, compiled with Debian's mingw-w64 against CPython
#      3.13's Windows headers (Include/ and PC/pyconfig.h from Debian's python3.13 source,
#      kept in /var/cache/downloader-ci), warnings as errors, and linked into a .pyd against
#      an import library for python313.dll made from a .def file. The .def lists what the
#      headers declare with PyAPI_FUNC and PyAPI_DATA, which is what the DLL exports, so a
#      call to anything else fails the link. The .pyd must export PyInit_downloader and take
#      its Python API from python313.dll.
#   2. The extension's file name: CMake configured as scikit-build-core configures it for
#      another interpreter (SKBUILD_SOABI) must name the extension after that interpreter.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib/debian.bash
start=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

WINDOWS_PYTHON=3.13
target=x86_64-w64-mingw32
cxx=$target-g++-win32
headers=${WINDOWS_HEADERS:-/var/cache/downloader-ci/cpython-$WINDOWS_PYTHON-windows-headers}

if ! command -v "$cxx" >/dev/null; then
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
        g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 >/dev/null
fi
echo "$("$cxx" --version | head -n 1), ready in $((SECONDS - start)) s"

if [ ! -e "$headers/.complete" ]; then
    mkdir "$work/src"
    tarball=$(debian_upstream_tarball "python$WINDOWS_PYTHON" forky "$work/src")
    rm -rf "$headers"
    mkdir -p "$headers"
    tar -xf "$tarball" -C "$headers" --strip-components=1 --wildcards '*/Include' '*/PC/pyconfig.h*'
    # Newer sources keep it as pyconfig.h.in, which the Windows build copies unchanged for an
    # interpreter with the GIL.
    [ -e "$headers/PC/pyconfig.h" ] || cp "$headers/PC/pyconfig.h.in" "$headers/PC/pyconfig.h"
    basename "$tarball" >"$headers/.complete"
fi
echo "CPython's Windows headers from $(cat "$headers/.complete"), ready in $((SECONDS - start)) s"

# The import library. PyAPI_DATA names are data: only their __imp_ pointer is exported.
dll=python${WINDOWS_PYTHON//./}
python3 - "$headers/Include" >"$work/$dll.def" <<'PY'
import pathlib, re, sys

declared = {}
parenthesised = r"\((?:[^()]|\([^()]*\))*\)"
for header in pathlib.Path(sys.argv[1]).rglob("*.h"):
    text = header.read_text(encoding="utf-8", errors="replace")
    # A function's name is the last word before its parameters (after markers like _Py_NO_RETURN).
    for name in re.findall(rf"PyAPI_FUNC{parenthesised}\s*(?:\w+\s+)*(\w+)\s*\(", text):
        declared[name] = "FUNC"
    for name in re.findall(rf"PyAPI_DATA{parenthesised}\s*(\w+)", text):
        declared[name] = "DATA"
print("EXPORTS")
for name, kind in sorted(declared.items()):
    print(f"    {name} DATA" if kind == "DATA" else f"    {name}")
PY
"$target-dlltool" --input-def "$work/$dll.def" --dllname "$dll.dll" --output-lib "$work/lib$dll.a"
echo "import library for $dll.dll: $(($(wc -l <"$work/$dll.def") - 1)) names"

# DOWNLOADER_PORTABLE: the fallbacks that a compiler without GCC's built-ins (MSVC) takes.
python3 downloader/statement_lines.py "$work/generated/statement_lines.hpp"
flags=(-std=c++17 -O2 -DNDEBUG -DDOWNLOADER_PORTABLE -Wall -Wextra -Werror -finput-charset=UTF-8 -fvisibility=hidden
       -I"$headers/Include" -I"$headers/PC" -I"$work/generated")
began=$SECONDS
for source in downloader/*.cpp; do
    "$cxx" "${flags[@]}" -c "$source" -o "$work/$(basename "$source" .cpp).o"
done
objects=("$work"/*.o)
echo "compiled ${#objects[@]} sources in $((SECONDS - began)) s"

pyd=$work/downloader.cp${WINDOWS_PYTHON//./}-win_amd64.pyd
link=("$cxx" -shared -static-libgcc -static-libstdc++ -o "$pyd" "${objects[@]}" -L"$work" -l"$dll")
echo "link: ${link[*]}"
"${link[@]}"
"$target-objdump" -p "$pyd" >"$work/pyd.txt"
grep -qE '^\s*\[ *[0-9]+\] PyInit_downloader$' "$work/pyd.txt" || { echo "$pyd does not export PyInit_downloader"; exit 1; }
grep -q "DLL Name: $dll.dll" "$work/pyd.txt" || { echo "$pyd does not import $dll.dll"; exit 1; }
echo "$(basename "$pyd"): $(stat -c %s "$pyd") bytes, exports PyInit_downloader, imports" \
    "$(sed -n 's/^\s*DLL Name: //p' "$work/pyd.txt" | sort | xargs)"

# The name under another interpreter's tag: configure only, then read the link rule.
soabi=cpython-313-x86_64-linux-musl
cmake -S . -B "$work/soabi" -DSKBUILD_SOABI=$soabi -DPython_EXECUTABLE="$(command -v python3)" \
    >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
grep -rqF "downloader.$soabi.so" "$work/soabi/CMakeFiles/downloader.dir" \
    || { echo "with SKBUILD_SOABI=$soabi the extension is not named downloader.$soabi.so"; exit 1; }
echo "with SKBUILD_SOABI=$soabi CMake names the extension downloader.$soabi.so"
echo "cross builds: passed in $((SECONDS - start)) s"
