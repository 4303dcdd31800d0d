#!/usr/bin/env bash
# Fails when a C++ file of the tree is not formatted as .clang-format says.
#   scripts/check-format.sh          check (CI runs this before the builds)
#   scripts/check-format.sh --fix    format the files in place
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "check-format: clang-format is not installed"; exit 1; }
mapfile -t files < <(git ls-files -- '*.cpp' '*.h' 2>/dev/null ||
                     find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
[ ${#files[@]} -gt 0 ] || { echo "check-format: no C++ files found"; exit 1; }
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${files[@]}"
    echo "check-format: formatted ${#files[@]} files"
    exit 0
fi
report=$(mktemp "${TMPDIR:-/tmp}/check-format.XXXXXX")
trap 'rm -f "$report"' EXIT
if ! clang-format --dry-run -Werror "${files[@]}" 2>"$report"; then
    grep -oE '^[^ :]+\.(cpp|h):[0-9]+:[0-9]+: error' "$report" | cut -d: -f1 | sort -u |
        sed 's/^/  not formatted: /'
    echo "check-format: FAILED (scripts/check-format.sh --fix formats them)"
    exit 1
fi
echo "check-format: ${#files[@]} files formatted as .clang-format says"
