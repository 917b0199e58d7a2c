#!/usr/bin/env bash
# A qemu guest (TCG) with the Linux kernel's own USB gadget and USB serial stack, for the tests
# that need a real USB serial device: an emulated controller pair per device (dummy_hcd), a
# CDC-ACM gadget on one side, the cdc_acm driver's /dev/ttyACM* on the other.
#
#   guest.sh build                                  make the kernel and initramfs if not cached
#   guest.sh run [--devices N] [--cpus N] [--timeout S] -- COMMAND [ARG...]
#
# `run` boots the guest and runs COMMAND as root inside a chroot into this machine's root (seen
# read-only, so a virtual environment made here works there), in the current folder, with this
# shell's environment, a writable HOME and TMPDIR and DOWNLOADER_REAL_USB=1; it exits with
# COMMAND's status, or 124 when the guest does not finish within S seconds (default 900).
# Debian's packages are fetched with apt into the cache folder (DOWNLOADER_GUEST_CACHE, default
# /var/cache/downloader-ci), which then also holds the built guest.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${DOWNLOADER_GUEST_CACHE:-/var/cache/downloader-ci}
guest=$cache/guest
# In load order; dependencies first.
modules="virtio_pci 9pnet_virtio 9p configfs dummy_hcd libcomposite usb_f_acm cdc_acm"

apt_get() {
    apt-get -o DPkg::Lock::Timeout=900 -q "$@"
}

install_tools() {
    local missing=()
    command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
    command -v depmod >/dev/null || missing+=(kmod)
    command -v cpio >/dev/null || missing+=(cpio)
    if [ ${#missing[@]} -gt 0 ]; then
        apt_get update >/dev/null
        DEBIAN_FRONTEND=noninteractive apt_get install -y --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

kernel_package() {
    local name
    name=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1)
    if [ -z "$name" ]; then
        apt_get update >/dev/null
        name=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1)
    fi
    echo "$name"
}

fetch() {   # fetch PACKAGE: the path of its .deb in the cache, downloaded if missing
    local deb
    deb=$(find "$cache/debs" -name "$1_*.deb" 2>/dev/null | head -n1)
    if [ -z "$deb" ]; then
        mkdir -p "$cache/debs"
        (cd "$cache/debs" && apt_get download "$1" >/dev/null 2>&1) || (cd "$cache/debs" && apt_get download "$1")
        deb=$(find "$cache/debs" -name "$1_*.deb" | head -n1)
    fi
    echo "$deb"
}

build() {
    mkdir -p "$cache"
    exec 7>"$cache/guest.lock"
    flock 7  # one build at a time: a second caller waits for the first's and then finds it done
    install_tools
    local kernel busybox key tree version
    kernel=$(fetch "$(kernel_package)")
    busybox=$(fetch busybox-static)
    key="$(basename "$kernel") $(basename "$busybox") $modules $(sha256sum <"$here/init")"
    if [ -f "$guest/key" ] && [ "$(cat "$guest/key")" = "$key" ]; then
        return
    fi
    echo "building the guest from $(basename "$kernel") and $(basename "$busybox")"
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' RETURN
    dpkg-deb -x "$kernel" "$tree/kernel"
    dpkg-deb -x "$busybox" "$tree/busybox"
    version=$(ls "$tree/kernel/lib/modules")
    depmod -b "$tree/kernel" "$version"
    mkdir -p "$tree/root/bin" "$tree/root/modules" "$tree/root/dev" "$tree/root/proc" "$tree/root/sys"
    cp "$tree/busybox/bin/busybox" "$tree/root/bin/"
    cp "$here/init" "$tree/root/init"
    chmod 755 "$tree/root/init"
    modprobe -a -d "$tree/kernel" -S "$version" --show-depends $modules |
        awk '$1 == "insmod" { print $2 }' | while read -r path; do
            name=$(basename "$path")
            if [ ! -e "$tree/root/modules/$name" ]; then
                cp "$path" "$tree/root/modules/"
                echo "$name" >>"$tree/root/modules/order"
            fi
        done
    mkdir -p "$guest"
    (cd "$tree/root" && find . | cpio -o -H newc --quiet | gzip -9) >"$guest/initrd.gz.new"
    cp "$tree/kernel/boot/vmlinuz-$version" "$guest/vmlinuz"
    mv "$guest/initrd.gz.new" "$guest/initrd.gz"
    echo "$key" >"$guest/key"
    echo "guest: kernel $version, initramfs $(du -k "$guest/initrd.gz" | cut -f1) KiB," \
         "modules: $(tr '\n' ' ' <"$tree/root/modules/order")"
}

run() {
    local devices=1 timeout=900 cpus=1
    while [ $# -gt 0 ]; do
        case $1 in
            --devices) devices=$2; shift 2 ;;
            --timeout) timeout=$2; shift 2 ;;
            --cpus) cpus=$2; shift 2 ;;
            --) shift; break ;;
            *) echo "guest.sh run: unknown option $1" >&2; exit 2 ;;
        esac
    done
    [ $# -gt 0 ] || { echo "guest.sh run: no command" >&2; exit 2; }
    build
    local work status=0
    work=$(mktemp -d /tmp/downloader-guest.XXXXXX)
    trap 'rm -rf "$work"' RETURN
    mkdir "$work/home" "$work/tmp"
    {
        export -p | grep -Ev '^declare -x (HOME|TMPDIR|PWD|OLDPWD|SHLVL|TERM|_)='
        echo "export HOME=$work/home TMPDIR=$work/tmp TERM=dumb DOWNLOADER_REAL_USB=1"
        printf 'cd %q || exit 125\n' "$PWD"
        printf '%q ' "$@"
        echo
    } >"$work/command"
    timeout --kill-after=10 "$timeout" qemu-system-x86_64 \
        -accel tcg -cpu max -smp "$cpus" -m 1024 -nodefaults -no-reboot \
        -display none -serial stdio -monitor none -nic none \
        -kernel "$guest/vmlinuz" -initrd "$guest/initrd.gz" \
        -append "console=ttyS0 quiet panic=-1 guest_work=$work guest_devices=$devices" \
        -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$work,mount_tag=work,security_model=none,multidevs=remap" \
        </dev/null || status=$?
    if [ "$status" -ne 0 ]; then
        echo "guest.sh: qemu ended with status $status" >&2
        return "$status"
    fi
    if [ ! -s "$work/status" ]; then
        echo "guest.sh: the guest left no exit status" >&2
        return 1
    fi
    return "$(cat "$work/status")"
}

case ${1:-} in
    build) build ;;
    run) shift; run "$@" ;;
    *) sed -n '2,14s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
esac
