#!/usr/bin/env bash
# A Debian trixie root for aarch64 (CPython 3.13, g++, Debian's arm64 kernel), for building
# and testing the package on aarch64 from this x86_64 machine: under user-mode emulation
# (qemu-user through binfmt_misc, in a chroot) or under full-system emulation
# (qemu-system-aarch64 booting the root from an ext4 image). Made once and reused; safe to
# rerun and to interrupt (a root is used only once its packages are all in).
#
#   tools/arm64-root.sh ensure           make the root when missing
#   tools/arm64-root.sh suite [-- ARGS]  user-mode: fresh venv, pip install ., pytest ARGS
#                                        (the whole suite, or the tests that ARGS name)
#   tools/arm64-root.sh system [-- ARGS] the same, with pytest run under full-system emulation
#   tools/arm64-root.sh run COMMAND...   run COMMAND in the root, in a fresh copy of the tree
#   tools/arm64-root.sh remove           unmount and delete the root
#
# The root lives in ORVEX_ARM64_ROOT (default /var/cache/orvex/arm64-root). /proc, /dev
# and /dev/shm are mounted in it while it is in use and stay mounted; `remove` unmounts
# them first, and every deletion here stays on the root's own file system, so a bound
# /dev is never walked into. Under user-mode emulation /proc shows this machine's kernel's
# view of the emulator, so the tests that need the kernel's view of another process skip;
# under full-system emulation they run. pytest runs with -X dev in both.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ARM=${ORVEX_ARM64_ROOT:-/var/cache/orvex/arm64-root}
SUITE=trixie
PACKAGES=(python3-dev python3-venv g++ linux-image-arm64)
# Its own name, so that tools/build-wheels.sh knows which root it runs in.
READY="$ARM/.orvex-arm64-ready"

log() { echo "arm64-root: $*" >&2; }
# shellcheck source=tools/debian-root.sh
source "$ROOT/tools/debian-root.sh"

apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 update -qq </dev/null
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
        "$@" </dev/null >/dev/null
}

# aarch64 programs run here through qemu-user, registered with binfmt_misc.
ensure_host() {
    local missing=()
    command -v debootstrap >/dev/null || missing+=(debootstrap)
    [[ -x /usr/bin/qemu-aarch64-static ]] || missing+=(qemu-user-static)
    command -v update-binfmts >/dev/null || missing+=(binfmt-support)
    command -v qemu-system-aarch64 >/dev/null || missing+=(qemu-system-arm)
    command -v mkfs.ext4 >/dev/null || missing+=(e2fsprogs)
    if [[ ${#missing[@]} -gt 0 ]]; then
        log "installing ${missing[*]}"
        apt_install "${missing[@]}" || return 1
    fi
    [[ -e /proc/sys/fs/binfmt_misc/register ]] \
        || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
    [[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]] \
        || update-binfmts --enable qemu-aarch64 || return 1
    grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 \
        || { log "binfmt_misc does not run aarch64 programs"; return 1; }
}

ensure() {
    ensure_host || return 1
    make_once "$ARM"
}

make_root() {
    [[ -e "$READY" ]] && { mount_into "$ARM"; return; }
    local building="$ARM.building"
    # What an interrupted run left is never trusted.
    delete_root "$building" || return 1
    local uri
    uri=$(mirror) || return 1
    log "debootstrap arm64 $SUITE into $building (about 10 minutes)"
    debootstrap --arch=arm64 --variant=minbase --include=ca-certificates "$SUITE" \
        "$building" "$uri" >"$building.log" 2>&1 || { tail -n 30 "$building.log" >&2; return 1; }
    # The guest boots without udev; its initramfs loads the virtio and ext4 modules.
    fill_root "$building" || return 1
    install -m 755 /dev/stdin "$building/sbin/orvex-guest-init" <<'EOF'
#!/bin/sh
# The guest's init: mounts what the suite needs, runs the script named by its argument
# (the kernel's command line after "--"), prints its status and powers the machine off.
# (The initramfs moves its own /proc, /sys and /dev over.)
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/shm /dev/pts
mountpoint -q /dev/shm || mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts
[ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd
export HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
sh "$1" </dev/null
echo "orvex-guest-status: $?"
sync
echo o >/proc/sysrq-trigger
sleep 60
EOF
    touch "$building/.orvex-arm64-ready"
    take_final_name "$building" "$ARM"
}

copy_tree() { copy_tree_into "$ARM"; }

run_in_tree() {
    local tree=$1
    in_root "$ARM" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$tree" "${@:2}"
}

run() {
    ensure || return 1
    local tree status
    tree=$(copy_tree) || return 1
    run_in_tree "$tree" "$@"
    status=$?
    rm -rf --one-file-system "${ARM:?}$tree"
    return $status
}

# The README's install, in a fresh venv inside the tree (it goes with the tree into the
# guest, which has no network).
# shellcheck disable=SC2016
INSTALL='python3 -m venv .venv && .venv/bin/python -m pip install -q . pytest'
# Without paths among ARGS, pytest runs its configured testpaths: the whole suite.
PYTEST='.venv/bin/python -X dev -m pytest -q -p no:cacheprovider'

suite() {
    log "[user-mode] fresh venv, pip install ., pytest"
    # shellcheck disable=SC2016
    run /bin/sh -c "set -e; $INSTALL; exec $PYTEST"' "$@"' sh "$@"
}

# The guest boots the root's own kernel and initramfs from an ext4 image of the root (the
# tree, its venv and the command included); writes go to a temporary overlay. Each run has
# its own tree and image, so runs may overlap.
system() {
    ensure || return 1
    local tree status=1 image="" started
    tree=$(copy_tree) || return 1
    cleanup_system() {
        [[ -n "$image" ]] && rm -f "$image" "$image.log"
        rm -rf --one-file-system "${ARM:?}$tree"
    }
    trap 'cleanup_system; exit 130' INT TERM
    log "[full-system] fresh venv, pip install . (user-mode)"
    if run_in_tree "$tree" /bin/sh -c "set -e; $INSTALL"; then
        {
            # The console is a terminal; the log is read as text.
            printf 'export PY_COLORS=0\ncd %q || exit 1\n' "$tree"
            printf 'exec %s' "$PYTEST"
            printf ' %q' "$@"
            printf '\n'
        } > "$ARM$tree/.orvex-guest-run"
        image=$(mktemp "$(dirname "$ARM")/arm64-image.XXXXXX")
        log "[full-system] ext4 image of the root"
        if make_image "$image"; then
            started=$SECONDS
            log "[full-system] booting qemu-system-aarch64, ${ORVEX_ARM64_SMP:-2} CPUs"
            boot "$image" "$tree/.orvex-guest-run" | tee "$image.log"
            if grep -q '^orvex-guest-status: 0' "$image.log"; then status=0; fi
            grep -q '^orvex-guest-status:' "$image.log" || log "the guest did not finish"
            log "[full-system] guest ran $((SECONDS - started)) s"
        fi
    fi
    cleanup_system
    trap - INT TERM
    return $status
}

# The root seen through a bind mount of its own file system alone, so that what is mounted
# in it (/proc, /dev) stays out of the image.
make_image() {
    local view status
    view=$(mktemp -d) || return 1
    mount --bind "$ARM" "$view" || { rmdir "$view"; return 1; }
    mkfs.ext4 -q -F -L orvex -d "$view" "$1" 6G >&2
    status=$?
    umount "$view" && rmdir "$view"
    return $status
}

boot() {
    local kernel initrd
    kernel=$(find "$ARM/boot" -name 'vmlinuz-*' | sort -V | tail -n1)
    initrd=$(find "$ARM/boot" -name 'initrd.img-*' | sort -V | tail -n1)
    [[ -n "$kernel" && -n "$initrd" ]] || { log "no kernel or initrd in $ARM/boot"; return 1; }
    local options="root=/dev/vda rw rootfstype=ext4 init=/sbin/orvex-guest-init"
    options+=" console=ttyAMA0 quiet loglevel=3 panic=-1 -- $2"
    # pauth-impdef: the emulated pointer authentication is otherwise most of the guest's time.
    timeout "${ORVEX_ARM64_TIMEOUT:-5400}" qemu-system-aarch64 -M virt -cpu max,pauth-impdef=on \
        -smp "${ORVEX_ARM64_SMP:-2}" -m 4096 -nographic -no-reboot -nic none \
        -kernel "$kernel" -initrd "$initrd" \
        -drive "file=$1,format=raw,if=virtio,snapshot=on" \
        -append "$options" \
        </dev/null | tr -d '\r'
}

command=${1:-}
shift || true
[[ "${1:-}" == "--" && "$command" != run ]] && shift
case "$command" in
    ensure) ensure ;;
    run) run "$@" ;;
    suite) suite "$@" ;;
    system) system "$@" ;;
    remove) exec 9>"$ARM.lock"; flock 9 && delete_root "$ARM" && delete_root "$ARM.building" ;;
    *) sed -n 2,20p "${BASH_SOURCE[0]}"; exit 2 ;;
esac
