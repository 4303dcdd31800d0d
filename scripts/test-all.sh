#!/usr/bin/env bash
# Builds and runs every test: release (whole suite), asan (whole suite), tsan (threads label).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
for preset in release asan tsan; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
export SDL_AUDIODRIVER=dummy
echo "== release: all tests"
ctest --preset release -j "$jobs"
echo "== asan: all tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan -j "$jobs"
echo "== tsan: thread and lifecycle tests"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan -j "$jobs"
if [ -x scripts/fuzz-all.sh ]; then
  echo "== fuzzing"
  scripts/fuzz-all.sh
fi
echo "all test runs passed"
