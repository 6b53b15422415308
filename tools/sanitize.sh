#!/usr/bin/env bash
# Rebuilds both native modules with AddressSanitizer and UBSan in a throwaway copy of the
# tree and runs the whole test suite against them. Fails on any test failure and on any
# sanitizer report, including reports written by forked children.
#
#   tools/sanitize.sh [extra pytest arguments]
#
# ORVEX_SANITIZE_PYTHON picks the interpreter (default: pyenv's CPython 3.11).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

find_python() {
    if [[ -n "${ORVEX_SANITIZE_PYTHON:-}" ]]; then
        echo "$ORVEX_SANITIZE_PYTHON"
        return
    fi
    local pyenv_root=${PYENV_ROOT:-/root/.pyenv}
    local candidate
    for candidate in "$pyenv_root"/versions/3.11.7/bin/python3.11 \
                     "$pyenv_root"/versions/3.11*/bin/python3.11; do
        if [[ -x "$candidate" ]]; then
            echo "$candidate"
            return
        fi
    done
    command -v python3.11 || { echo "sanitize: no CPython 3.11 found" >&2; exit 2; }
}

PYTHON=$(find_python)
CXX=${CXX:-g++}
ASAN_LIB=$("$CXX" -print-file-name=libasan.so)
UBSAN_LIB=$("$CXX" -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
    [[ -e "$lib" ]] || { echo "sanitize: $lib not found (is the compiler's sanitizer runtime installed?)" >&2; exit 2; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvex-sanitize.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
echo "sanitize: $PYTHON, work directory $WORK"

# A copy keeps the sanitizer-built modules away from the developer's in-place build.
mkdir -p "$WORK/tree" "$WORK/logs"
tar -C "$ROOT" --exclude=./build --exclude='*.so' --exclude=__pycache__ \
    --exclude=.git --exclude='*.egg-info' -cf - . | tar -C "$WORK/tree" -xf -

"$PYTHON" -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install -q --disable-pip-version-check pytest setuptools wheel

(cd "$WORK/tree" && ORVEX_SANITIZE=1 CC="${CC:-gcc}" CXX="$CXX" \
    "$WORK/venv/bin/python" setup.py -q build_ext --inplace)

# log_path gives every process, forked children included, its own report file.
set +e
(cd "$WORK/tree" && \
    PYTHONPATH=src PYTHONMALLOC=malloc \
    LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" \
    ASAN_OPTIONS="detect_leaks=0:log_path=$WORK/logs/asan:abort_on_error=0" \
    UBSAN_OPTIONS="print_stacktrace=1:log_path=$WORK/logs/ubsan" \
    "$WORK/venv/bin/python" -m pytest tests -q -p no:cacheprovider "$@") \
    2>&1 | tee "$WORK/pytest.log"
status=${PIPESTATUS[0]}
set -e

reports=$(find "$WORK/logs" -type f -size +0 | sort)
if [[ -n "$reports" ]] || grep -qE "ERROR: AddressSanitizer|runtime error:" "$WORK/pytest.log"; then
    echo "sanitize: sanitizer reports found" >&2
    for report in $reports; do
        echo "---- $report" >&2
        cat "$report" >&2
    done
    grep -nE "ERROR: AddressSanitizer|runtime error:" "$WORK/pytest.log" >&2 || true
    exit 1
fi
if [[ "$status" -ne 0 ]]; then
    echo "sanitize: test suite failed (status $status)" >&2
    exit "$status"
fi
echo "sanitize: clean"
