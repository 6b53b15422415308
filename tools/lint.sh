#!/usr/bin/env bash
# Static checks: clang-format and clang-tidy over native/, ruff over the Python files.
# Installs what is missing (Debian's clang-format and clang-tidy, ruff from PyPI into a
# throwaway venv). Exits non-zero on any finding.
#
#   tools/lint.sh [--fix]     --fix rewrites the C++ with clang-format and applies ruff's fixes
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
log() { echo "lint: $*"; }

FIX=0
[[ "${1:-}" == "--fix" ]] && FIX=1

if ! command -v clang-format >/dev/null || ! command -v clang-tidy >/dev/null; then
    log "installing clang-format and clang-tidy"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq </dev/null \
        && apt-get -o DPkg::Lock::Timeout=600 install -y -qq clang-format clang-tidy </dev/null \
        || { log "cannot install clang-format/clang-tidy"; exit 2; }
fi

# The interpreter whose headers clang-tidy reads, and which runs ruff.
PYTHON=${ORVEX_LINT_PYTHON:-}
if [[ -z "$PYTHON" ]]; then
    for candidate in "${PYENV_ROOT:-/root/.pyenv}"/versions/3.11*/bin/python3 "$(command -v python3)"; do
        [[ -x "$candidate" ]] && { PYTHON=$candidate; break; }
    done
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvex-lint.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
"$PYTHON" -m venv "$WORK/venv" && "$WORK/venv/bin/python" -m pip install -q ruff \
    || { log "cannot install ruff"; exit 2; }

mapfile -t sources < <(git ls-files 'native/*.cpp' 'native/*.hpp' 2>/dev/null || find native -name '*.[ch]pp')
status=0

if [[ $FIX -eq 1 ]]; then
    clang-format -i "${sources[@]}"
    "$WORK/venv/bin/ruff" check --fix --no-cache .
fi

log "clang-format"
clang-format --dry-run --Werror "${sources[@]}" || status=1

log "clang-tidy"
include=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cpp$')
clang-tidy --quiet "${units[@]}" -- -std=c++17 -Inative "-I$include" -DNDEBUG 2>&1 \
    | grep -v "warnings generated" ; [[ ${PIPESTATUS[0]} -eq 0 ]] || status=1

log "ruff"
"$WORK/venv/bin/ruff" check --no-cache . || status=1

[[ $status -eq 0 ]] && log "clean" || log "FAILED"
exit $status
