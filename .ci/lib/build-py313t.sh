#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (3.13t) into PREFIX from Debian's python3.13 source
# package (forky's), unless PREFIX already holds a finished one. Debian ships no
# free-threaded interpreter, and the upstream tarball inside its source package builds on
# this machine's own toolchain, so the result runs on the host. The source comes through
# apt with a private list of sources: the host's own apt configuration is left untouched.
#     .ci/lib/build-py313t.sh PREFIX
set -euo pipefail
prefix=${1:?usage: build-py313t.sh PREFIX}
start=$SECONDS
python=$prefix/bin/python3.13t
mkdir -p "$(dirname "$prefix")"
exec 8>"$prefix.lock"
flock 8  # one build at a time: a second caller waits for the first's and then finds it done

if [ -e "$prefix/.complete" ] && "$python" -c 'import sys; sys.exit(sys._is_gil_enabled())' 2>/dev/null
then
    echo "3.13t: $("$python" -VV | head -n 1) already in $prefix"
    exit 0
fi

# What the interpreter's own modules need to build: ssl and zlib for pip, ffi for ctypes.
deps=(build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
      libsqlite3-dev libreadline-dev libncurses-dev libgdbm-dev uuid-dev libexpat1-dev)
missing=()
for dep in "${deps[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$dep" 2>/dev/null || true)
    [[ $status == *"ok installed"* ]] || missing+=("$dep")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir "$work/src"
source "$(dirname "$0")/debian.bash"
orig=$(debian_upstream_tarball python3.13 forky "$work/src")
tar -xJf "$orig" -C "$work/src"
tree=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'Python-3.13*' | head -n 1)
echo "3.13t: building $(basename "$orig") into $prefix"

rm -rf --one-file-system "$prefix"
cd "$tree"
./configure --prefix="$prefix" --disable-gil --with-ensurepip=install >"$work/configure.log" 2>&1 \
    || { tail -n 40 "$work/configure.log"; exit 1; }
make -j2 >"$work/make.log" 2>&1 || { tail -n 60 "$work/make.log"; exit 1; }
make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log"; exit 1; }
"$python" -c 'import sys, ssl, zlib, ctypes; assert not sys._is_gil_enabled(), "GIL on"'
touch "$prefix/.complete"
echo "3.13t: $("$python" -VV | head -n 1) built in $((SECONDS - start)) s, $(du -sh "$prefix" | cut -f1) installed"
