#!/usr/bin/env bash
# make fuzz: builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) in a build folder of their own, runs each for
# the given seconds on a working copy of its corpus, prints executions and
# crashes per target, and merges the inputs that reached new code back into
# tests/fuzz/<target>, where `make test` replays them.
#   tests/fuzz/run.sh BUILD_DIR SECONDS TARGET...
set -uo pipefail
build_dir=${1:?usage: run.sh BUILD_DIR SECONDS TARGET...}
seconds=${2:?}
shift 2
targets=("$@")
root=$(cd "$(dirname "$0")/../.." && pwd)
fuzz_dir="$root/tests/fuzz"

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEXA_FUZZ=ON \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" > "$build_dir.configure.log" 2>&1 \
    || { cat "$build_dir.configure.log"; exit 1; }
fi
cmake --build "$build_dir" -j "$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}") || exit 1

status=0
summary=()
for t in "${targets[@]}"; do
  work="$build_dir/corpus/$t"
  artifacts="$build_dir/artifacts/$t"
  mkdir -p "$work" "$artifacts"
  log="$build_dir/fuzz_$t.log"
  before=$(find "$artifacts" -type f | wc -l)
  echo "=== fuzz_$t: ${seconds}s ==="
  start=$(date +%s)
  # New inputs go to the working folder (first); the saved corpus is read.
  ASAN_OPTIONS=detect_leaks=1 "$build_dir/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$fuzz_dir/$t" > "$log" 2>&1
  rc=$?
  ran=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  crashes=$(( $(find "$artifacts" -type f | wc -l) - before ))
  grep -E '^Done [0-9]+ runs' "$log" || true
  if [ "$rc" -ne 0 ] || [ "$crashes" -gt 0 ]; then
    status=1
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*invariant broken)' "$log" | head -n 5
    ls -t "$artifacts" | head -n "$crashes" | sed "s|^|  $artifacts/|"
  fi
  # Keep what reached new code: only inputs that add coverage are copied.
  "$build_dir/tests/fuzz/fuzz_$t" -merge=1 "$fuzz_dir/$t" "$work" > "$build_dir/merge_$t.log" 2>&1
  summary+=("$(printf '%-14s %6ss  %12s executions  %3s crashes  (log %s)' "$t" "$ran" "${execs:-?}" "$crashes" "$log")")
done
echo
echo "Fuzzing summary (artifacts under $build_dir/artifacts):"
printf '%s\n' "${summary[@]}"
exit $status
