#!/usr/bin/env bash
# Rebuilds both native modules with AddressSanitizer and UBSan in a throwaway copy of the
# tree and runs the whole test suite against them, once per interpreter. Fails on any test
# failure and on any sanitizer report, including reports written by forked children.
#
#   tools/sanitize.sh [--python PYTHON]... [extra pytest arguments]
#
# PYTHON is an interpreter's path or a version found under pyenv ("3.7", "3.13.0");
# --python may be repeated. Without it, ORVEX_SANITIZE_PYTHON (a space-separated list of
# the same) decides, and failing that pyenv's CPython 3.11.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PYENV_ROOT=${PYENV_ROOT:-/root/.pyenv}

# Prints the interpreter for a path or a version prefix (the newest pyenv patch release).
resolve_python() {
    local wanted=$1 candidate exe found=
    if [[ "$wanted" == */* ]]; then
        [[ -x "$wanted" ]] && { echo "$wanted"; return 0; }
    elif [[ "$wanted" =~ ^3\.[0-9]+(\.[0-9]+)?$ ]]; then
        for candidate in $(ls "$PYENV_ROOT/versions" 2>/dev/null | sort -t. -k1,1n -k2,2n -k3,3n); do
            if [[ "$candidate" == "$wanted" || "$candidate" == "$wanted".* ]]; then
                for exe in "$PYENV_ROOT/versions/$candidate/bin/python3" \
                           "$PYENV_ROOT/versions/$candidate/bin/python"; do
                    [[ -x "$exe" ]] && { found=$exe; break; }
                done
            fi
        done
        [[ -z "$found" ]] && found=$(command -v "python$wanted")
        [[ -n "$found" ]] && { echo "$found"; return 0; }
    else
        command -v "$wanted" && return 0
    fi
    echo "sanitize: no interpreter for '$wanted'" >&2
    return 1
}

requested=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --python) requested+=("$2"); shift 2 ;;
        --python=*) requested+=("${1#--python=}"); shift ;;
        *) break ;;
    esac
done
if [[ ${#requested[@]} -eq 0 ]]; then
    read -r -a requested <<< "${ORVEX_SANITIZE_PYTHON:-3.11}"
fi
pythons=()
for wanted in "${requested[@]}"; do
    python=$(resolve_python "$wanted") || exit 2
    pythons+=("$python")
done

CXX=${CXX:-g++}
ASAN_LIB=$("$CXX" -print-file-name=libasan.so)
UBSAN_LIB=$("$CXX" -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
    [[ -e "$lib" ]] || { echo "sanitize: $lib not found (is the compiler's sanitizer runtime installed?)" >&2; exit 2; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvex-sanitize.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# Builds and runs the suite for one interpreter in its own directory under $WORK.
sanitize_one() {
    local python=$1 dir=$2
    shift 2
    echo "sanitize: $python, work directory $dir"
    # A copy keeps the sanitizer-built modules away from the developer's in-place build.
    mkdir -p "$dir/tree" "$dir/logs"
    tar -C "$ROOT" --exclude=./build --exclude='*.so' --exclude=__pycache__ \
        --exclude=.git --exclude='*.egg-info' -cf - . | tar -C "$dir/tree" -xf -

    "$python" -m venv "$dir/venv" || return 2
    "$dir/venv/bin/python" -m pip install -q --disable-pip-version-check \
        pytest setuptools wheel || return 2
    (cd "$dir/tree" && ORVEX_SANITIZE=1 CC="${CC:-gcc}" CXX="$CXX" \
        "$dir/venv/bin/python" setup.py -q build_ext --inplace) || return 2

    # log_path gives every process, forked children included, its own report file. An
    # unoptimised, instrumented build needs a few times a release build's stack: up to 3.13
    # the interpreter counts nested calls against a limit made for the latter.
    (cd "$dir/tree" && { ulimit -s 65536 2>/dev/null || true; } && \
        PYTHONPATH=src PYTHONMALLOC=malloc \
        LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" \
        ASAN_OPTIONS="detect_leaks=0:log_path=$dir/logs/asan:abort_on_error=0" \
        UBSAN_OPTIONS="print_stacktrace=1:log_path=$dir/logs/ubsan" \
        "$dir/venv/bin/python" -m pytest tests -q -p no:cacheprovider "$@") \
        2>&1 | tee "$dir/pytest.log"
    local status=${PIPESTATUS[0]}

    local reports
    reports=$(find "$dir/logs" -type f -size +0 | sort)
    if [[ -n "$reports" ]] || grep -qE "ERROR: AddressSanitizer|runtime error:" "$dir/pytest.log"; then
        echo "sanitize: sanitizer reports found ($python)" >&2
        for report in $reports; do
            echo "---- $report" >&2
            cat "$report" >&2
        done
        grep -nE "ERROR: AddressSanitizer|runtime error:" "$dir/pytest.log" >&2
        return 1
    fi
    if [[ "$status" -ne 0 ]]; then
        echo "sanitize: test suite failed on $python (status $status)" >&2
        return "$status"
    fi
    echo "sanitize: clean on $python"
}

failed=()
index=0
for python in "${pythons[@]}"; do
    index=$((index + 1))
    sanitize_one "$python" "$WORK/$index" "$@" || failed+=("$python")
done
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "sanitize: FAILED on ${failed[*]}" >&2
    exit 1
fi
echo "sanitize: clean"
