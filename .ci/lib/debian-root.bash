# Sourced by the checks that need CPython 3.14 and 3.15, which this machine's Debian release
# does not have: a minimal root of Debian forky (testing), made with debootstrap, holds them
# with their headers, a compiler and CMake. The root is kept at $FORKY_ROOT between runs and
# rebuilt when missing, unfinished or made for another package list.
#
# Inside, the host's /dev, /proc and /sys are bound in. A recursive delete through a bound
# /dev would delete the host's device files, so every removal goes through forky_remove,
# which unmounts first, refuses while anything is still mounted below the root, and then
# deletes without crossing file systems.
FORKY_ROOT=${FORKY_ROOT:-/var/cache/downloader-ci/forky}
FORKY_PACKAGES=python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,g++,cmake,make,ca-certificates,git

forky_mounts() {  # the mount points at or below the root, deepest first
    local root
    root=$(realpath -m "$FORKY_ROOT")
    awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/mounts | sort -r
}

forky_unmount() {
    local mount attempt
    for attempt in 1 2 3; do
        [ -n "$(forky_mounts)" ] || return 0
        for mount in $(forky_mounts); do
            umount "$mount" 2>/dev/null || umount --lazy "$mount" 2>/dev/null || true
        done
    done
    if [ -n "$(forky_mounts)" ]; then
        echo "still mounted below $FORKY_ROOT:" $(forky_mounts) >&2
        return 1
    fi
}

forky_remove() {
    forky_unmount || { echo "not removing $FORKY_ROOT" >&2; return 1; }
    rm -rf --one-file-system "$FORKY_ROOT"
}

forky_mirror() {  # the Debian mirror that the host's apt uses
    local mirror
    mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/*$/\1/p' | head -n 1)
    [ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(http[^ ]*\/debian\)\/* .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
    echo "${mirror:-http://deb.debian.org/debian}"
}

# Makes the root unless a finished one for the same package list is there.
forky_ensure() {
    local stamp="$FORKY_ROOT/.downloader-ci" began=$SECONDS
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$FORKY_PACKAGES" ]; then
        echo "forky root: cached in $FORKY_ROOT ($(du -sh --one-file-system "$FORKY_ROOT" | cut -f1))"
        return 0
    fi
    if ! command -v debootstrap >/dev/null; then
        apt-get -o DPkg::Lock::Timeout=900 update -qq
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq debootstrap >/dev/null
    fi
    [ ! -e "$FORKY_ROOT" ] || forky_remove
    mkdir -p "$FORKY_ROOT"
    local log
    log=$(mktemp)
    # This host's debootstrap predates forky; sid's script makes testing the same way.
    if ! debootstrap --variant=minbase --include="$FORKY_PACKAGES" \
        forky "$FORKY_ROOT" "$(forky_mirror)" /usr/share/debootstrap/scripts/sid >"$log" 2>&1; then
        tail -n 30 "$log"
        rm -f "$log"
        forky_remove
        return 1
    fi
    rm -f "$log"
    # The mirror serves a snapshot whose Release files are past their date.
    echo 'Acquire::Check-Valid-Until "false";' >"$FORKY_ROOT/etc/apt/apt.conf.d/99snapshot"
    # pip inside reaches the package index through whatever authorities the host trusts.
    cp /usr/local/share/ca-certificates/*.crt "$FORKY_ROOT/usr/local/share/ca-certificates/" 2>/dev/null || true
    cp /etc/ssl/certs/ca-certificates.crt "$FORKY_ROOT/usr/local/share/ca-certificates/host-bundle.crt"
    chroot "$FORKY_ROOT" update-ca-certificates >/dev/null 2>&1
    echo "$FORKY_PACKAGES" >"$stamp"
    echo "forky root: made in $((SECONDS - began)) s, $(du -sh --one-file-system "$FORKY_ROOT" | cut -f1)"
}

# Binds the root onto itself (a mount point of its own, private, so that `unshare -m` inside
# can change propagation) and the host's /proc, /sys and /dev into it. Pair with
# forky_unmount, from a trap.
forky_mount() {
    forky_unmount
    mount --bind "$FORKY_ROOT" "$FORKY_ROOT"
    mount --make-private "$FORKY_ROOT"
    local fs
    for fs in proc sys dev; do
        mount --rbind "/$fs" "$FORKY_ROOT/$fs"
        mount --make-rslave "$FORKY_ROOT/$fs"
    done
    cp /etc/resolv.conf "$FORKY_ROOT/etc/resolv.conf"
}

# forky_copy_tree DIR: the working tree's files (tracked and untracked, not ignored) into DIR
# inside the root; prints DIR's path as seen from inside.
forky_copy_tree() {
    local inside=$1
    rm -rf --one-file-system "${FORKY_ROOT:?}$inside"
    mkdir -p "$FORKY_ROOT$inside"
    git ls-files -z --cached --others --exclude-standard | xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' _ |
        tar --null -T - -cf - | tar -xf - -C "$FORKY_ROOT$inside"
    echo "$inside"
}

forky_run() {  # forky_run COMMAND...: runs in the mounted root, with the caller's environment
    # The host's own wheel folder (PIP_FIND_LINKS) does not exist inside.
    chroot "$FORKY_ROOT" /usr/bin/env -u PIP_FIND_LINKS PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
