#!/usr/bin/env bash
# Databases in parallel: orvexa-cli run over 200 databases x 3 small script
# files on a tds-sandbox that holds every answer back 20 ms (a network round
# trip), --parallel 16 side by side with --parallel 1 in the same run, and on
# a sandbox without latency --parallel 2 side by side with 1. Each pair must
# print the same log and write the same per-database output.
set -euo pipefail
build=$(cd "${1:?usage: bench-parallel.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
cli="$build/src/cli/orvexa-cli"
export TDS_SANDBOX="$build/tools/tds-sandbox/tds-sandbox"
ndb=${ORVEXA_BENCH_DATABASES:-200}
latency=${ORVEXA_BENCH_LATENCY_MS:-20}
export ORVEXA_PASSWORD=Sandbox-2026

work=$(mktemp -d)
cleanup() {
  bash "$root/tools/tds-sandbox/sandbox.sh" stop "$work/slow" 2>/dev/null || true
  bash "$root/tools/tds-sandbox/sandbox.sh" stop "$work/fast" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_DATA_HOME="$work/home"   # a store of its own, options as a new store has them

# The small scripts (bench/small-scripts) leave every database as they found
# it, so that each run does the same work and prints the same log.
cp "$here/small-scripts/"*.sql "$work/"

now() { date +%s.%N; }

# run NAME PARALLEL: one timed run; its log in NAME.log, its output in NAME.out/,
# its seconds in NAME.s, its peak memory (KB) in NAME.kb.
run() {
  local name=$1 n=$2 start end
  start=$(now)
  /usr/bin/time -f '%M' -o "$work/$name.kb" "$cli" run --parallel "$n" --user sa "${targets[@]}" \
    --output-dir "$work/$name.out" "$work/01.sql" "$work/02.sql" "$work/03.sql" > "$work/$name.log" \
    2> "$work/$name.err" || { echo "run $name failed:"; tail -n 20 "$work/$name.log" "$work/$name.err"; exit 1; }
  end=$(now)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }' > "$work/$name.s"
}

# pair SERVER_DIR LATENCY SEQ_N PAR_N TARGET_TEXT
pair() {
  local dir=$1 lat=$2 one=$3 many=$4 target=$5 port i
  port=$(bash "$root/tools/tds-sandbox/sandbox.sh" start "$work/$dir" --latency-ms "$lat")
  targets=()
  for i in $(seq -f '%03g' 1 "$ndb"); do
    : > "$work/$dir/db$i.db"   # a sandbox database is a SQLite file; empty is empty
    targets+=(--target "127.0.0.1,$port/db$i")
  done
  "$cli" run --parallel 16 --user sa "${targets[@]}" "$work/setup.sql" > "$work/$dir-setup.log" \
    || { echo "setting up the databases failed:"; tail -n 20 "$work/$dir-setup.log"; exit 1; }
  # Once untimed, so that every timed run finds the databases in the same state.
  "$cli" run --parallel 16 --user sa "${targets[@]}" "$work/01.sql" "$work/02.sql" "$work/03.sql" \
    > "$work/$dir-warm.log" || { echo "the first run failed:"; tail -n 20 "$work/$dir-warm.log"; exit 1; }
  run "$dir-p$one" "$one"
  run "$dir-p$many" "$many"
  bash "$root/tools/tds-sandbox/sandbox.sh" stop "$work/$dir"

  cmp -s "$work/$dir-p$one.log" "$work/$dir-p$many.log" \
    || { echo "the logs differ:"; diff "$work/$dir-p$one.log" "$work/$dir-p$many.log" | head -n 20; exit 1; }
  diff -r "$work/$dir-p$one.out" "$work/$dir-p$many.out" > "$work/$dir.diff" \
    || { echo "the per-database output differs:"; head -n 20 "$work/$dir.diff"; exit 1; }
  grep -q 'Execution completed successfully' "$work/$dir-p$one.log" || { echo "the run failed"; exit 1; }

  local s1 sn
  s1=$(cat "$work/$dir-p$one.s")
  sn=$(cat "$work/$dir-p$many.s")
  printf '%-22s %9.3f s   peak %6d KB\n' "--parallel $one" "$s1" "$(tail -n1 "$work/$dir-p$one.kb")"
  printf '%-22s %9.3f s   peak %6d KB   %.1fx faster (%s)\n' "--parallel $many" "$sn" \
    "$(tail -n1 "$work/$dir-p$many.kb")" "$(awk -v a="$s1" -v b="$sn" 'BEGIN { printf "%f", a / b }')" "$target"
  echo "logs identical ($(wc -l < "$work/$dir-p$one.log") lines), per-database output identical"
}

echo "--- $ndb databases x 3 files, every answer held back $latency ms"
pair slow "$latency" 1 16 "target >= 12x"
echo "--- $ndb databases x 3 files, no latency"
pair fast 0 1 2 "target: not slower"
