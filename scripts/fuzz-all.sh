#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (Debug, ASan + UBSan), writes their seed corpora and
# runs each target for a fixed time. Exits non-zero on any crash, leak, timeout or OOM; the
# failing input is kept in build/fuzz/fuzz/artifacts/<target>/.
#   FUZZ_SECONDS=60 scripts/fuzz-all.sh      (default 30 s per target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
build=build/fuzz
targets=(decode_fuzz package_fuzz scramble_fuzz plist_fuzz)

echo "== fuzz: configure and build"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBACKDROP_FUZZ=ON \
  >/dev/null
ninja -C "$build" -j "$(nproc)" "${targets[@]}"

out=$build/fuzz
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for t in "${targets[@]}"; do
  seeds=$out/corpus/${t%_fuzz}
  work=$out/work/$t           # inputs the run finds; the seed directory stays as generated
  art=$out/artifacts/$t/
  log=$out/logs/$t.log
  mkdir -p "$work" "$art" "$(dirname "$log")"
  # Property lists get inputs big enough to nest hundreds of thousands of levels deep.
  extra=()
  [ "$t" = plist_fuzz ] && extra=(-max_len=4194304)
  echo "== fuzz: $t for ${seconds}s ($(ls "$seeds" | wc -l) seeds)"
  start=$SECONDS
  if "$out/$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 "${extra[@]}" \
       -artifact_prefix="$art" -print_final_stats=1 "$work" "$seeds" >"$log" 2>&1; then
    echo "   ok: $(grep -o 'Done [0-9]* runs' "$log" | tail -1) in $((SECONDS - start))s"
  else
    echo "   FAILED ($t), log $log:"
    grep -v -e '^.*key = ' -e 'data length = ' "$log" | tail -40
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "all fuzz targets ran clean"
