# What tools/sid-root.sh and tools/arm64-root.sh share: the Debian roots they make, their
# mounts, and commands run inside them. Sourced; the caller defines log().

# The Debian mirror this machine's own apt uses.
mirror() {
    local uri
    uri=$(grep -h -E '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
            | awk '{print $2}' | grep -v -- '-security' | head -n1)
    [[ -z "$uri" ]] && uri=$(grep -h -E '^\s*deb\s' /etc/apt/sources.list 2>/dev/null \
            | awk '{print $2}' | head -n1)
    [[ -n "$uri" ]] || { log "no Debian mirror in this machine's apt sources"; return 1; }
    echo "$uri"
}

mounted() { findmnt -rn --mountpoint "$1" >/dev/null 2>&1; }

mount_into() {
    local root=$1
    mkdir -p "$root/proc" "$root/dev"
    mounted "$root/proc" || mount -t proc proc "$root/proc" || return 1
    mounted "$root/dev" || mount --bind /dev "$root/dev" || return 1
    mkdir -p "$root/dev/shm"
    mounted "$root/dev/shm" || mount --bind /dev/shm "$root/dev/shm" || return 1
}

# Every mount point under root, deepest first.
unmount_all() {
    local root=$1 point
    [[ -d "$root" ]] || return 0
    for point in $(findmnt -rn -o TARGET | grep -F "$root/" | sort -r); do
        umount "$point" 2>/dev/null || umount -l "$point" || return 1
    done
}

delete_root() {
    local root=$1
    unmount_all "$root" || { log "cannot unmount under $root; not deleting it"; return 1; }
    if findmnt -rn -o TARGET | grep -qF "$root/"; then
        log "mounts remain under $root; not deleting it"
        return 1
    fi
    rm -rf --one-file-system "$root"
}

# A clean environment but for the settings that CI and the wheel builder give the
# package's own scripts.
PASSED=(ORVEX_WERROR ORVEX_WHEEL_POLICY ORVEX_WHEEL_MAX_GLIBC PIP_DISABLE_PIP_VERSION_CHECK
        PIP_NO_INPUT PIP_PROGRESS_BAR PYTHONDONTWRITEBYTECODE)
in_root() {
    local name passed=()
    for name in "${PASSED[@]}"; do
        [[ -n "${!name:-}" ]] && passed+=("$name=${!name}")
    done
    chroot "$1" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "${passed[@]}" "${@:2}"
}

# make_root (the caller's) under the root's lock: one maker at a time, a second caller
# waits for the first to finish.
make_once() {
    local root=$1
    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    flock 9 || return 1
    make_root
    local status=$?
    flock -u 9
    exec 9>&-
    return $status
}

# The finished root at building takes its final name; its mounts move with the directory.
take_final_name() {
    local building=$1 root=$2
    unmount_all "$building" || return 1
    delete_root "$root" || return 1
    mv "$building" "$root" && mount_into "$root"
}

# A fresh copy of the tree inside the root; prints its path as seen from inside.
copy_tree_into() {
    local root=$1 inside
    inside=$(mktemp -d "$root/tmp/orvex.XXXXXX") || return 1
    tar -C "$ROOT" --exclude=./build --exclude='*.so' --exclude=__pycache__ \
        --exclude=.git --exclude='*.egg-info' --exclude=.pytest_cache -cf - . \
        | tar -C "$inside" -xf - || return 1
    chmod 755 "$inside"
    echo "${inside#"$root"}"
}

# Readies the root that debootstrap made at building: its mounts, this machine's CA
# certificates, pip and resolver settings, then the caller's PACKAGES.
fill_root() {
    local building=$1
    mount_into "$building" || return 1
    cp /usr/local/share/ca-certificates/*.crt "$building/usr/local/share/ca-certificates/" \
        2>/dev/null
    [[ -f /etc/pip.conf ]] && cp /etc/pip.conf "$building/etc/pip.conf"
    cp /etc/resolv.conf "$building/etc/resolv.conf" 2>/dev/null
    in_root "$building" update-ca-certificates >/dev/null 2>&1
    log "installing ${PACKAGES[*]}"
    # The mirror's sid index carries an expired date.
    in_root "$building" apt-get -o Acquire::Check-Valid-Until=false update -qq </dev/null \
        && in_root "$building" apt-get install -y -qq --no-install-recommends \
            "${PACKAGES[@]}" </dev/null >"$building.log" 2>&1 \
        || { tail -n 30 "$building.log" >&2; return 1; }
    rm -f "$building.log"
}
