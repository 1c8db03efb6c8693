#!/usr/bin/env bash
# tds-sandbox streaming speed: a 1,000,000-row x 6-column SELECT (int, bigint,
# nvarchar(40), decimal(18,2), datetime, bit) read by FreeTDS's bsqldb into
# /dev/null, beside the same rows read straight from the SQLite file by the
# sqlite3 shell. Target: at least 500,000 rows/s through the sandbox.
set -euo pipefail
build_dir=$(cd "${1:?usage: bench-sandbox.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
export TDS_SANDBOX="$build_dir/tools/tds-sandbox/tds-sandbox"
sandbox="$root/tools/tds-sandbox/sandbox.sh"
rows=1000000

command -v bsqldb >/dev/null || { echo "bench-sandbox: bsqldb (freetds-bin) is not installed"; exit 1; }
work=$(mktemp -d)
cleanup() { bash "$sandbox" stop "$work/data" || true; rm -rf "$work"; }
trap cleanup EXIT

port=$(bash "$sandbox" start "$work/data")
login=(-S "127.0.0.1:$port" -U sa -P Sandbox-2026)
export TDSVER=7.4

run_bsqldb() { bsqldb "${login[@]}" "$@" 2> "$work/bsqldb.err" || { cat "$work/bsqldb.err"; exit 1; }; }
run_bsqldb -i "$here/sandbox/fill.sql" -o /dev/null
now() { date +%s.%N; }

# Best of three runs, each streaming every row to /dev/null.
best_sandbox=0
for _ in 1 2 3; do
  t0=$(now)
  run_bsqldb -i "$here/sandbox/select.sql" -o /dev/null
  t1=$(now)
  rate=$(awk -v n=$rows -v a="$t0" -v b="$t1" 'BEGIN { printf "%d", n / (b - a) }')
  [ "$rate" -gt "$best_sandbox" ] && best_sandbox=$rate
done

# The sandbox alone: a raw reader that frames packets and decodes nothing.
best_drain=0
drain="$build_dir/bench/sandbox/bench_sandbox_drain"
if [ -x "$drain" ]; then
  for _ in 1 2 3; do
    read -r _bytes secs < <("$drain" "$port" "$(cat "$here/sandbox/select.sql")")
    rate=$(awk -v n=$rows -v s="$secs" 'BEGIN { printf "%d", n / s }')
    [ "$rate" -gt "$best_drain" ] && best_drain=$rate
  done
fi

best_sqlite=0
if command -v sqlite3 >/dev/null; then
  for _ in 1 2 3; do
    t0=$(now)
    sqlite3 "$work/data/master.db" "$(cat "$here/sandbox/select.sql")" > /dev/null
    t1=$(now)
    rate=$(awk -v n=$rows -v a="$t0" -v b="$t1" 'BEGIN { printf "%d", n / (b - a) }')
    [ "$rate" -gt "$best_sqlite" ] && best_sqlite=$rate
  done
fi

printf '%-44s %12s\n' "reader" "rows/s"
printf '%-44s %12s\n' "tds-sandbox -> bsqldb > /dev/null" "$best_sandbox"
printf '%-44s %12s\n' "tds-sandbox -> raw packet reader (no decode)" "$best_drain"
printf '%-44s %12s\n' "sqlite3 shell on the same file > /dev/null" "$best_sqlite"
printf '%-44s %12s\n' "target for tds-sandbox" "500000"
if [ "$best_sandbox" -lt 500000 ]; then
  echo "bench-sandbox: below the target"
fi
