#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the tree's own sources (platform/,
# interface/, Common/, demo/, host/), using the compile commands of a configured build.
#   scripts/clang-tidy.sh                      every source, build/release's compile commands
#   scripts/clang-tidy.sh -p build/asan        another build
#   scripts/clang-tidy.sh host/PackCommands.cpp ...   only these files
# Exits non-zero on any finding (.clang-tidy makes every enabled check an error).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
if [ "${1:-}" = "-p" ]; then
    build=$2
    shift 2
fi
command -v run-clang-tidy >/dev/null || { echo "clang-tidy: run-clang-tidy is not installed"; exit 1; }
if [ ! -f "$build/compile_commands.json" ]; then
    echo "clang-tidy: no $build/compile_commands.json (run cmake --preset release first)"
    exit 1
fi
if [ $# -gt 0 ]; then
    files=("$@")
else
    mapfile -t files < <(git ls-files -- 'platform/*.cpp' 'interface/*.cpp' 'Common/*.cpp' \
                                         'demo/*.cpp' 'host/*.cpp')
fi
# run-clang-tidy takes regular expressions; anchor each path so that only it matches.
patterns=()
for f in "${files[@]}"; do patterns+=("$(pwd)/$(printf '%s' "$f" | sed 's/[.+]/\\&/g')\$"); done
start=$SECONDS
if run-clang-tidy -quiet -p "$build" -j "$(nproc)" "${patterns[@]}" >"$build/clang-tidy.log" 2>&1; then
    echo "clang-tidy: ${#files[@]} files clean in $((SECONDS - start)) s"
else
    grep -E '(warning|error): ' "$build/clang-tidy.log" | grep -v '^Suppressed' | sort -u | head -100
    echo "clang-tidy: FAILED after $((SECONDS - start)) s (full log: $build/clang-tidy.log)"
    exit 1
fi
