#!/usr/bin/env bash
# A Debian sid root with CPython 3.14 and 3.15 (release and debug builds) and g++, for
# building and testing the package on interpreters that this machine's C library is too
# old to run. Made once and reused; safe to rerun and to interrupt (a root is used only
# once its packages are all in).
#
#   tools/sid-root.sh ensure              make the root when missing
#   tools/sid-root.sh suite VERSION...    the test suite on 3.14, 3.15 or 3.15-dbg
#   tools/sid-root.sh debug VERSION       tools/debug-cpython.sh on that version's debug build
#                                         (-X dev, then the reference-leak pass)
#   tools/sid-root.sh sanitize VERSION... tools/sanitize.sh on those versions (release builds)
#   tools/sid-root.sh run COMMAND...      run COMMAND in the root, in a fresh copy of the tree
#   tools/sid-root.sh remove              unmount and delete the root
#
# The root lives in ORVEX_SID_ROOT (default /var/cache/orvex/sid-root). /proc, /dev and
# /dev/shm are mounted in it while it is in use (multiprocessing's semaphores need them)
# and stay mounted; `remove` unmounts them first, and every deletion here stays on the
# root's own file system, so a bound /dev is never walked into. After VERSION..., `--`
# passes the rest to pytest.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SID=${ORVEX_SID_ROOT:-/var/cache/orvex/sid-root}
PACKAGES=(python3.14-dev python3.14-venv python3.14-dbg
          python3.15-dev python3.15-venv python3.15-dbg g++ valgrind)
READY="$SID/.orvex-ready"

log() { echo "sid-root: $*" >&2; }
# shellcheck source=tools/debian-root.sh
source "$ROOT/tools/debian-root.sh"

ensure() {
    make_once "$SID"
}

make_root() {
    [[ -e "$READY" ]] && { mount_into "$SID"; return; }
    local building="$SID.building"
    # What an interrupted run left is never trusted.
    delete_root "$building" || return 1
    if ! command -v debootstrap >/dev/null; then
        log "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq </dev/null
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
            debootstrap </dev/null >/dev/null || return 1
    fi
    local uri
    uri=$(mirror) || return 1
    log "debootstrap sid into $building"
    debootstrap --variant=minbase --include=ca-certificates sid "$building" "$uri" \
        >"$building.log" 2>&1 || { tail -n 30 "$building.log" >&2; return 1; }
    fill_root "$building" || return 1
    touch "$building/.orvex-ready"
    take_final_name "$building" "$SID"
}

copy_tree() { copy_tree_into "$SID"; }

run() {
    ensure || return 1
    local tree status
    tree=$(copy_tree) || return 1
    in_root "$SID" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$tree" "$@"
    status=$?
    rm -rf --one-file-system "${SID:?}$tree"
    return $status
}

# The README's test command in a fresh venv of each version asked for.
suite() {
    local version status=0
    for version in "$@"; do
        local python
        case "$version" in
            3.14|3.15) python=python$version ;;
            3.14-dbg|3.15-dbg) python=python${version%-dbg}-dbg ;;
            *) log "unknown version $version"; return 2 ;;
        esac
        log "[$version] fresh venv, pip install ., pytest"
        # shellcheck disable=SC2016
        run /bin/sh -c '
            set -e
            venv=$(mktemp -d /tmp/venv.XXXXXX)
            trap "rm -rf $venv" EXIT
            "$1" -m venv "$venv"
            "$venv/bin/python" -m pip install -q --disable-pip-version-check . pytest
            # The newest compiler and headers must not pull in a glibc symbol newer than
            # the wheels allow (x86_64: the base version).
            if [ "$(uname -m)" = x86_64 ]; then
                newest=$(find "$venv" -path "*orvex*" -name "*.so" -exec objdump -T {} + \
                    | grep -oE "GLIBC_[0-9.]+" | sort -u -V | tail -n 1)
                if [ "$newest" != GLIBC_2.2.5 ]; then
                    echo "sid-root: the modules need ${newest:-an unknown glibc}," \
                        "newer than GLIBC_2.2.5" >&2
                    exit 1
                fi
            fi
            shift
            "$venv/bin/python" -m pytest tests -q -p no:cacheprovider "$@"
        ' sh "$python" "${EXTRA_PYTEST[@]}" || status=1
    done
    return $status
}

known_release() {
    case "$1" in
        3.14|3.15) return 0 ;;
        *) log "unknown version $1"; return 2 ;;
    esac
}

# The debug-CPython run of the tools that run it for Debian's own python3.11-dbg.
debug() {
    local version=$1
    known_release "$version" || return 2
    log "[$version-dbg] tools/debug-cpython.sh"
    run tools/debug-cpython.sh --python "python$version-dbg" "${EXTRA_PYTEST[@]}"
}

sanitize() {
    local version args=()
    for version in "$@"; do
        known_release "$version" || return 2
        args+=(--python "python$version")
    done
    log "[$*] tools/sanitize.sh"
    run tools/sanitize.sh "${args[@]}" "${EXTRA_PYTEST[@]}"
}

EXTRA_PYTEST=()
command=${1:-}
shift || true
versions=()
while [[ $# -gt 0 && "$1" != "--" && "$command" != run ]]; do versions+=("$1"); shift; done
[[ "${1:-}" == "--" && "$command" != run ]] && shift
EXTRA_PYTEST=("$@")
case "$command" in
    ensure) ensure ;;
    run) run "$@" ;;
    suite) suite "${versions[@]}" ;;
    debug) [[ ${#versions[@]} -eq 1 ]] || { log "debug takes one version"; exit 2; }
           debug "${versions[0]}" ;;
    sanitize) sanitize "${versions[@]}" ;;
    remove) exec 9>"$SID.lock"; flock 9 && delete_root "$SID" && delete_root "$SID.building" ;;
    *) sed -n 2,19p "${BASH_SOURCE[0]}"; exit 2 ;;
esac
