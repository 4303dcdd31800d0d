#!/usr/bin/env bash
# What CI runs (.ci/run): the gates that need no build (formatting, layers, clang-tidy when asked),
# then the release build with warnings as errors and its whole suite, the whole suite again under
# ASan+UBSan, the thread tests under TSan, and the fuzz targets for a short while. The tests run
# with a temporary folder of their own; the run fails when they leave bd-* files or folders there.
#   BD_CLANG_TIDY=1 scripts/test-all.sh    also runs scripts/clang-tidy.sh on the release build
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
gate() {  # name, command...: runs a gate and says how long it took
    local name=$1 start=$SECONDS
    shift
    echo "== gate: $name"
    "$@"
    echo "   ($name: $((SECONDS - start)) s)"
}
gate format scripts/check-format.sh
gate layers scripts/check-layers.sh

for preset in release asan tsan; do
    echo "== $preset: configure and build"
    if [ "$preset" = release ]; then
        cmake --preset "$preset" -DBACKDROP_WERROR=ON >/dev/null
    else
        cmake --preset "$preset" >/dev/null
    fi
    if [ "$preset" = tsan ]; then
        # TSan runs the thread tests only: build those programs and what they run, not the tree.
        mapfile -t targets < <(ctest --preset tsan -N | sed -n 's/^ *Test *#[0-9]*: *//p')
        cmake --build --preset "$preset" -j "$jobs" --target "${targets[@]}"
    else
        cmake --build --preset "$preset" -j "$jobs"
    fi
done
if [ "${BD_CLANG_TIDY:-0}" != 0 ]; then
    gate clang-tidy scripts/clang-tidy.sh -p build/release
fi

# Every test makes its temporary files under this folder; none may be left at the end.
run_tmp=$(mktemp -d "${TMPDIR:-/tmp}/backdrop-test-run.XXXXXX")
# Open to every user as /tmp is: tests run code as "nobody" in folders made here.
chmod 1777 "$run_tmp"
trap 'rm -rf "$run_tmp"' EXIT
export TMPDIR=$run_tmp
export SDL_AUDIODRIVER=dummy
echo "== release: all tests"
ctest --preset release -j "$jobs"
echo "== asan: all tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset asan -j "$jobs"
echo "== tsan: thread and lifecycle tests"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan -j "$jobs"
left=$(find "$run_tmp" -mindepth 1 -maxdepth 1 -name 'bd-*' -printf '  %f\n')
if [ -n "$left" ]; then
    echo "tests left temporary files in the temporary folder (use bdtest::TempDir):"
    echo "$left"
    exit 1
fi
if [ -x scripts/fuzz-all.sh ]; then
    echo "== fuzzing"
    scripts/fuzz-all.sh
fi
echo "all test runs passed"
