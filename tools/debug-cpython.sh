#!/usr/bin/env bash
# Builds both native modules for a debug CPython (Py_DEBUG: CPython's own assertions, the
# reference total, checked allocator) in a throwaway copy of the tree, runs the whole suite
# there in development mode, then the reference-leak pass (tools/refleaks.py). The debug
# interpreter is Debian's python3.11-dbg unless --python names another Debian one
# (python3.X-dbg); its -dbg, -dev and -venv packages are installed with apt-get when missing.
#
#   tools/debug-cpython.sh [--python python3.X-dbg] [extra pytest arguments]
#
# tools/sid-root.sh debug 3.15 runs it on 3.15's debug build in the sid root.
# Fails on a compiler warning, a test failure, a warning about an exception that could
# not be raised or an unclosed resource, and on a leak.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DBG=python3.11-dbg
case "${1:-}" in
    --python) DBG=$2; shift 2 ;;
    --python=*) DBG=${1#--python=}; shift ;;
esac
[[ "$DBG" =~ ^python3\.[0-9]+-dbg$ ]] || { echo "debug-cpython: $DBG is not python3.X-dbg" >&2; exit 2; }

log() { echo "debug-cpython: $*"; }

ensure_packages() {
    local missing=() package
    for package in "$DBG" "${DBG%-dbg}-dev" "${DBG%-dbg}-venv"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" \
            || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Other jobs may hold the package database: wait for it rather than fail.
    apt-get -o DPkg::Lock::Timeout=600 update -qq </dev/null \
        && apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" </dev/null
}

# A venv with pip; Debian can leave ensurepip out, then pip comes from its wheel on PyPI.
make_venv() {
    local venv=$1
    if "$DBG" -m venv "$venv" && "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
        return 0
    fi
    log "venv without ensurepip; bootstrapping pip from its wheel"
    rm -rf "$venv"
    "$DBG" -m venv --without-pip "$venv" || return 1
    local wheels="$WORK/wheels" fetcher
    fetcher=$(command -v python3 || command -v python)
    "$fetcher" -m pip download -q --no-deps --only-binary=:all: -d "$wheels" pip || return 1
    "$venv/bin/python" "$(ls "$wheels"/pip-*.whl | head -n1)/pip" install -q "$(ls "$wheels"/pip-*.whl | head -n1)"
}

ensure_packages || { log "cannot install the debug interpreter"; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvex-debug.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
log "$("$DBG" -c 'import sys; print(sys.version.split()[0], sys.abiflags)'), work directory $WORK"

mkdir -p "$WORK/tree"
tar -C "$ROOT" --exclude=./build --exclude='*.so' --exclude=__pycache__ \
    --exclude=.git --exclude='*.egg-info' --exclude=.pytest_cache -cf - . | tar -C "$WORK/tree" -xf -

make_venv "$WORK/venv" || { log "no usable venv"; exit 2; }
PY="$WORK/venv/bin/python"

# Verbose only to keep the compiler's output; setup.py is used as it is.
if ! (cd "$WORK/tree" && "$PY" -m pip install -v . pytest) > "$WORK/build.log" 2>&1; then
    tail -n 60 "$WORK/build.log"
    log "build failed"
    exit 1
fi
failures=()
if grep -E "(warning|error): " "$WORK/build.log" | grep -E "\.(cpp|hpp|h):" > "$WORK/warnings.log"; then
    cat "$WORK/warnings.log"
    failures+=("compiler warnings")
fi

cd "$WORK/tree" || exit 2
"$PY" -c "import sys, orvex.async_.concurro as m; assert hasattr(sys, 'gettotalrefcount'), 'not a debug build'; assert m.__file__.startswith(sys.prefix), m.__file__" \
    || exit 2

# PYTHONDEVMODE reaches the fresh interpreters that some tests start.
log "test suite, -X dev"
PYTHONDEVMODE=1 "$PY" -X dev -m pytest tests -q -p no:cacheprovider \
    -W error::pytest.PytestUnraisableExceptionWarning -W error::ResourceWarning "$@" \
    || failures+=("test suite")

log "reference-leak pass"
"$PY" -X dev tools/refleaks.py || failures+=("reference leaks")

if [[ ${#failures[@]} -gt 0 ]]; then
    log "FAILED: ${failures[*]}"
    exit 1
fi
log "clean"
