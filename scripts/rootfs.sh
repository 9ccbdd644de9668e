#!/usr/bin/env bash
# Debian root filesystems for running the suite on interpreters and
# architectures this machine does not have: CPython 3.14 and 3.15 from Debian
# sid (amd64, native speed) and Debian's CPython on arm64 (through
# qemu-user-static and binfmt_misc).  Sourced by scripts/matrix and
# scripts/test-aarch64; needs root, and installs what it needs with apt-get.
#
# A root filesystem is made once with debootstrap and kept under
# $UNDARIX_CACHE (default /var/cache/undarix), outside the checkout, so that
# later runs and other clones on the same machine reuse it.

rootfs_cache="${UNDARIX_CACHE:-/var/cache/undarix}"
debian_mirror="${UNDARIX_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

require_root() {
    if [[ $(id -u) -ne 0 ]]; then
        echo "error: $1 needs root (debootstrap, chroot, binfmt_misc)" >&2
        exit 1
    fi
}

# Installs the host packages named (Debian package names) unless present.
host_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    if [[ ${#missing[@]} -gt 0 ]]; then
        echo "installing ${missing[*]}" >&2
        # Another apt-get (a developer's, a second script's) may hold apt's
        # locks for a while: wait for it rather than fail at once.
        local apt_get
        apt_get="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/apt-get-locked"
        "$apt_get" update -qq || return 1
        DEBIAN_FRONTEND=noninteractive "$apt_get" install -y -qq "${missing[@]}" >/dev/null || return 1
    fi
}

# Lets the kernel run arm64 programs through qemu-aarch64-static.
enable_aarch64_emulation() {
    host_packages qemu-user-static binfmt-support
    if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    if ! grep -q '^enabled' /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null; then
        echo "error: binfmt_misc has no enabled qemu-aarch64 entry" >&2
        exit 1
    fi
}

# make_rootfs NAME ARCH SUITE PACKAGES...: the path of the cached root
# filesystem NAME, made now if it does not exist yet.  An interrupted run
# leaves only NAME.partial behind, which the next run starts over.
make_rootfs() {
    local name="$1" arch="$2" suite="$3"
    shift 3
    local dir="$rootfs_cache/rootfs/$name"
    # The file that marks a finished root filesystem lists its packages, so
    # that a changed list makes it anew.
    if [[ -f "$dir/.undarix-complete" && "$(cat "$dir/.undarix-complete")" == "$*" ]]; then
        echo "$dir"
        return
    fi
    # Called as $(make_rootfs ...), where a failing step would not stop the
    # caller's script: every step returns on failure, and the caller checks.
    host_packages debootstrap debian-archive-keyring || return 1
    mkdir -p "$rootfs_cache/rootfs" "$rootfs_cache/debootstrap-$arch-$suite"
    rm -rf "$dir.partial"
    local packages
    packages="$(IFS=,; echo "$*")"
    echo "making the $arch Debian $suite root filesystem in $dir (once)" >&2
    # The downloaded packages stay in the cache directory for a remake.
    debootstrap --arch="$arch" --variant=minbase --include="$packages" \
        --cache-dir="$rootfs_cache/debootstrap-$arch-$suite" \
        "$suite" "$dir.partial" "$debian_mirror" >&2 || return 1
    echo "$*" > "$dir.partial/.undarix-complete"
    rm -rf "$dir"
    mv "$dir.partial" "$dir"
    echo "$dir"
}

# Debian sid on amd64, with CPython 3.14 and 3.15 (headers and venv), a C++
# compiler for building the module there and binutils for checking aarch64
# wheels built there.
sid_rootfs() {
    make_rootfs sid-amd64 amd64 sid python3.14-dev python3.14-venv python3.15-dev python3.15-venv \
        g++ ca-certificates binutils-aarch64-linux-gnu
}

# Debian 12 (bookworm, glibc 2.36 like this machine) on arm64, with its
# CPython 3.11, and its headers and a C++ compiler for the suite's native
# check (tests/test_lock_holding.py embeds the interpreter); needs
# enable_aarch64_emulation first.
arm64_rootfs() {
    make_rootfs bookworm-arm64 arm64 bookworm python3 python3-dev python3-venv g++ ca-certificates
}

# in_rootfs DIR COMMAND...: runs COMMAND as root inside DIR with /proc, /sys,
# /dev, the host's name resolution and certificate bundle (to reach PyPI),
# pip's cache and the checkout (at the same path) mounted, then unmounts them.
in_rootfs() {
    local dir="$1"
    shift
    # The callers pass $(sid_rootfs) and the like, whose failure they do not see.
    if [[ -z "$dir" || ! -f "$dir/.undarix-complete" ]]; then
        echo "error: no finished root filesystem at '${dir}' (see the messages above)" >&2
        return 1
    fi
    local root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    local pip_cache="${PIP_CACHE_DIR:-$HOME/.cache/pip}"
    mkdir -p "$pip_cache" "$dir$root" "$dir/root/.cache/pip" "$dir/etc/ssl/certs"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf"
    cp -L /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
    local mounts=()
    mount_bind() { mount --bind "$1" "$2" && mounts=("$2" "${mounts[@]}"); }
    mount -t proc proc "$dir/proc" && mounts=("$dir/proc")
    mount_bind /sys "$dir/sys"
    mount_bind /dev "$dir/dev"
    mount_bind "$root" "$dir$root"
    mount_bind "$pip_cache" "$dir/root/.cache/pip"
    local status=0
    chroot "$dir" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt \
        PIP_DISABLE_PIP_VERSION_CHECK=1 "$@" || status=$?
    local mounted
    for mounted in "${mounts[@]}"; do
        umount "$mounted" || umount -l "$mounted"
    done
    return "$status"
}
