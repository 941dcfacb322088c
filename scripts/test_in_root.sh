#!/usr/bin/env bash
# Builds a fresh Debian 13 root for ARCH with debootstrap, clones the project's current commit
# into it and runs `make run` and `make test` there, as a new user on that machine would.
#   scripts/test_in_root.sh i386|amd64|arm64 [pytest arguments]
# arm64 runs under qemu-user emulation, where every build and child interpreter is slow: it
# leaves out test_packaging.py and test_setup.py, which build the module over again from
# scratch several times, unless pytest arguments are given. Run as root; not run by CI.
# The root stays in .cache/roots/ARCH for the next run; the log is .cache/roots/ARCH.log.
set -euo pipefail
. "$(dirname "$0")/common.sh"
arch="${1:?usage: scripts/test_in_root.sh i386|amd64|arm64 [pytest arguments]}"
shift
case "$arch" in
    i386 | amd64 | arm64) ;;
    *) echo "test_in_root: ARCH is i386, amd64 or arm64, not $arch" >&2; exit 2 ;;
esac
pytest_args="$*"
if [ "$arch" = arm64 ] && [ $# = 0 ]; then
    pytest_args="--ignore=tests/test_packaging.py --ignore=tests/test_setup.py"
fi
[ "$(id -u)" = 0 ] || { echo "test_in_root: debootstrap and chroot need root" >&2; exit 1; }
target="$root/.cache/roots/$arch"
log="$root/.cache/roots/$arch.log"
mkdir -p "$(dirname "$target")"
: >"$log"

say() { echo "test_in_root $arch: $*" | tee -a "$log" >&2; }

# Runs a step with its output in the log, and says how long it took.
timed() {
    local name="$1" start status=0
    shift
    start=$(date +%s)
    "$@" >>"$log" 2>&1 || status=$?
    say "$name: $([ "$status" = 0 ] && echo done || echo "FAILED ($status)") in $(($(date +%s) - start)) s"
    return "$status"
}

ensure_host_tools() {
    local packages=(debootstrap)
    [ "$arch" = arm64 ] && packages+=(qemu-user-static binfmt-support)
    install_missing "${packages[@]}"
    [ "$arch" = arm64 ] || return 0
    [ -f /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable qemu-aarch64
}

build_root() {
    [ -f "$target/.complete" ] && return
    local mirror
    mirror=$(debian_mirror)
    [ -n "$mirror" ] || { echo "no Debian mirror found in the apt sources"; return 1; }
    rm -rf "$target"
    debootstrap --arch="$arch" --include=git,make,ca-certificates trixie "$target" "$mirror"
    touch "$target/.complete"
}

mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" || true; done
    mounted=()
}
trap unmount_all EXIT

mount_into_root() {
    mount -t proc proc "$target/proc" && mounted+=("$target/proc")
    mount --bind /dev "$target/dev" && mounted+=("$target/dev")
    mount --bind /dev/pts "$target/dev/pts" && mounted+=("$target/dev/pts")
    # Name resolution, and the CA bundle that pip's TLS checks need in a fresh root.
    cp /etc/resolv.conf "$target/etc/resolv.conf"
    cp /etc/ssl/certs/ca-certificates.crt "$target/etc/ssl/certs/ca-certificates.crt"
}

clone_project() {
    rm -rf "$target/root/tessarel"
    git clone -q "$root" "$target/root/tessarel"
    git -C "$target/root/tessarel" checkout -q --detach "$(git -C "$root" rev-parse HEAD)"
}

in_root() {
    chroot "$target" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c 'cd /root/tessarel && "$@"' in_root "$@"
}

say "log in $log"
timed "host tools" ensure_host_tools
timed "debootstrap" build_root
mount_into_root
timed "clone $(git -C "$root" rev-parse --short HEAD)" clone_project
status=0
timed "make run" in_root make run || status=$?
timed "make test $pytest_args" in_root make test PYTEST_ARGS="$pytest_args" || status=$?
# pytest's closing line: the pass, fail and skip counts and the duration.
say "$(grep -E '^(=+ )?[0-9]+ (passed|failed).* in [0-9.]+s' "$log" | tail -n 1)"
exit "$status"
