# Sourced: where this host's apt finds Debian, and upstream sources from Debian's archive.

debian_mirror() {  # the Debian mirror that the host's apt uses
    local mirror
    mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/*$/\1/p' | head -n 1)
    [ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(http[^ ]*\/debian\)\/* .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
    echo "${mirror:-http://deb.debian.org/debian}"
}

# debian_upstream_tarball PACKAGE SUITE DIR: downloads the upstream tarball of the source package
# PACKAGE in SUITE into DIR and prints its path. It goes through apt with a private list of
# sources, so the host's own apt configuration is left untouched.
debian_upstream_tarball() {
    local package=$1 suite=$2 dir=$3 apt_dir
    apt_dir=$(mktemp -d)
    chmod 755 "$apt_dir" "$dir"  # apt downloads as its own unprivileged user
    mkdir -p "$apt_dir/lists/partial"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) $suite main" \
        >"$apt_dir/sources.list"
    local apt_private=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
                       -o Dir::State::Lists="$apt_dir/lists" -o Acquire::Check-Valid-Until=false)
    apt-get "${apt_private[@]}" update -qq >&2
    (cd "$dir" && apt-get "${apt_private[@]}" source --download-only -qq "$package" 2>&1 | grep -v "unsandboxed" >&2 || true)
    rm -rf "$apt_dir"
    local tarball
    tarball=$(find "$dir" -maxdepth 1 -name "${package}_*.orig.tar.*" | head -n 1)
    [ -n "$tarball" ] || { echo "no $package source package found in $(debian_mirror) $suite" >&2; return 1; }
    echo "$tarball"
}
