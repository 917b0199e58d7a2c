# Sourced by the checks that run in a minimal Debian root made with debootstrap: forky (testing)
# for CPython 3.14 and 3.15, which this machine's Debian release does not have (.ci/forky),
# and the compiler-less bullseye and bookworm roots that the wheels are tried in. The caller
# sets, before calling root_ensure:
#     ROOT_DIR       where the root is kept between runs, e.g. /var/cache/downloader-ci/forky
#     ROOT_SUITE     the Debian suite
#     ROOT_PACKAGES  the packages to include, comma-separated
#     ROOT_SCRIPT    optional: debootstrap's script for the suite, for one newer than this host's
# A root is rebuilt when missing, unfinished or made for another package list.
#
# Inside, the host's /dev, /proc and /sys are bound in. A recursive delete through a bound
# /dev would delete the host's device files, so every removal goes through root_remove,
# which unmounts first, refuses while anything is still mounted below the root, and then
# deletes without crossing file systems.
source "$(dirname "${BASH_SOURCE[0]}")/debian.bash"

root_mounts() {  # the mount points at or below the root, deepest first
    local root
    root=$(realpath -m "$ROOT_DIR")
    awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/mounts | sort -r
}

root_unmount() {
    local mount attempt
    for attempt in 1 2 3; do
        [ -n "$(root_mounts)" ] || return 0
        for mount in $(root_mounts); do
            umount "$mount" 2>/dev/null || umount --lazy "$mount" 2>/dev/null || true
        done
    done
    if [ -n "$(root_mounts)" ]; then
        echo "still mounted below $ROOT_DIR:" $(root_mounts) >&2
        return 1
    fi
}

root_remove() {
    root_unmount || { echo "not removing $ROOT_DIR" >&2; return 1; }
    rm -rf --one-file-system "$ROOT_DIR"
}

# Makes the root unless a finished one for the same package list is there.
root_ensure() {
    local stamp="$ROOT_DIR/.downloader-ci" began=$SECONDS
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$ROOT_PACKAGES" ]; then
        echo "$ROOT_SUITE root: cached in $ROOT_DIR ($(du -sh --one-file-system "$ROOT_DIR" | cut -f1))"
        return 0
    fi
    if ! command -v debootstrap >/dev/null; then
        apt-get -o DPkg::Lock::Timeout=900 update -qq
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq debootstrap >/dev/null
    fi
    [ ! -e "$ROOT_DIR" ] || root_remove
    mkdir -p "$ROOT_DIR"
    local log
    log=$(mktemp)
    if ! debootstrap --variant=minbase --include="$ROOT_PACKAGES" \
        "$ROOT_SUITE" "$ROOT_DIR" "$(debian_mirror)" ${ROOT_SCRIPT:+"$ROOT_SCRIPT"} >"$log" 2>&1; then
        tail -n 30 "$log"
        rm -f "$log"
        root_remove
        return 1
    fi
    rm -f "$log"
    # The mirror serves a snapshot whose Release files are past their date.
    echo 'Acquire::Check-Valid-Until "false";' >"$ROOT_DIR/etc/apt/apt.conf.d/99snapshot"
    # pip inside reaches the package index through whatever authorities the host trusts.
    cp /usr/local/share/ca-certificates/*.crt "$ROOT_DIR/usr/local/share/ca-certificates/" 2>/dev/null || true
    cp /etc/ssl/certs/ca-certificates.crt "$ROOT_DIR/usr/local/share/ca-certificates/host-bundle.crt"
    chroot "$ROOT_DIR" update-ca-certificates >/dev/null 2>&1
    echo "$ROOT_PACKAGES" >"$stamp"
    echo "$ROOT_SUITE root: made in $((SECONDS - began)) s, $(du -sh --one-file-system "$ROOT_DIR" | cut -f1)"
}

# Binds the root onto itself (a mount point of its own, private, so that `unshare -m` inside
# can change propagation) and the host's /proc, /sys and /dev into it. Pair with
# root_unmount, from a trap.
root_mount() {
    root_unmount
    mount --bind "$ROOT_DIR" "$ROOT_DIR"
    mount --make-private "$ROOT_DIR"
    local fs
    for fs in proc sys dev; do
        mount --rbind "/$fs" "$ROOT_DIR/$fs"
        mount --make-rslave "$ROOT_DIR/$fs"
    done
    cp /etc/resolv.conf "$ROOT_DIR/etc/resolv.conf"
}

# root_copy_tree DIR: the working tree's files (tracked and untracked, not ignored) into DIR
# inside the root; prints DIR's path as seen from inside.
root_copy_tree() {
    local inside=$1
    rm -rf --one-file-system "${ROOT_DIR:?}$inside"
    mkdir -p "$ROOT_DIR$inside"
    git ls-files -z --cached --others --exclude-standard | xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' _ |
        tar --null -T - -cf - | tar -xf - -C "$ROOT_DIR$inside"
    echo "$inside"
}

root_run() {  # root_run COMMAND...: runs in the mounted root, with the caller's environment
    # The host's own wheel folder (PIP_FIND_LINKS) does not exist inside.
    chroot "$ROOT_DIR" /usr/bin/env -u PIP_FIND_LINKS PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
