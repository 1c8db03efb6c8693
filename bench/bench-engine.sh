#!/usr/bin/env bash
# Engine benchmarks against a private tds-sandbox, each side by side with
# FreeTDS's bsqldb:
#   1. fetching 1,000,000 rows x 6 columns into result tables: rows/s and
#      peak memory (compared with the raw size of the data);
#   2. 200 databases x 3 small script files: one run against a shell loop
#      that starts bsqldb once per database and file.
set -euo pipefail
build=$(cd "${1:?usage: bench-engine.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
driver="$build/bench/engine/bench_engine"
export TDS_SANDBOX="$build/tools/tds-sandbox/tds-sandbox"
rows=${ORVEXA_BENCH_ROWS:-1000000}
ndb=${ORVEXA_BENCH_DATABASES:-200}
user=sa
pwd=Sandbox-2026

work=$(mktemp -d)
cleanup() {
  bash "$root/tools/tds-sandbox/sandbox.sh" stop "$work/data" || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(bash "$root/tools/tds-sandbox/sandbox.sh" start "$work/data")
instance="127.0.0.1,$port"
cat > "$work/freetds.conf" <<CONF
[sandbox]
  host = 127.0.0.1
  port = $port
  tds version = 7.4
CONF
export FREETDSCONF="$work/freetds.conf"

value() { sed -n "s/^$1=//p" "$2"; }
now() { date +%s.%N; }

echo "--- fetch: $rows rows x 6 columns (int, bigint, nvarchar(40), decimal(18,2), datetime, bit)"
"$driver" populate "$instance" "$user" "$pwd" fetchdb "$rows" > /dev/null
(cd "$work" && "$driver" fetch "$instance" "$user" "$pwd" fetchdb) > "$work/fetch.txt"
echo "SELECT id, big, name, amount, stamp, flag FROM t" > "$work/fetch.sql"
start=$(now)
bsqldb -S sandbox -U "$user" -P "$pwd" -D fetchdb -i "$work/fetch.sql" > /dev/null 2> "$work/bsqldb.err" \
  || { echo "bsqldb failed:"; cat "$work/bsqldb.err"; exit 1; }
end=$(now)
# The same query once more, counted, so that the figure is known to cover every row.
got=$(bsqldb -S sandbox -U "$user" -P "$pwd" -D fetchdb -i "$work/fetch.sql" 2>/dev/null | wc -l)
[ "$got" -ge "$rows" ] || { echo "bsqldb printed $got lines for $rows rows"; exit 1; }
bsqldb_rows_s=$(awk -v r="$rows" -v a="$start" -v b="$end" 'BEGIN { printf "%d", r / (b - a) }')
printf '%-26s %12s rows/s   (%s s)\n' "orvexa result tables" "$(value rows_per_s "$work/fetch.txt")" \
  "$(value seconds "$work/fetch.txt")"
printf '%-26s %12s rows/s   (%s s)\n' "bsqldb > /dev/null" "$bsqldb_rows_s" \
  "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')"
printf '%-26s %12.1f MB peak growth for %.1f MB of raw data (ratio %.2f, target <= 2)\n' "orvexa memory" \
  "$(value peak_growth_mb "$work/fetch.txt")" "$(value raw_mb "$work/fetch.txt")" "$(value ratio "$work/fetch.txt")"

echo "--- $ndb databases x 3 script files"
cat > "$work/01.sql" <<'SQL'
CREATE TABLE x (a int, b nvarchar(20))
GO
INSERT INTO x VALUES (1, N'one'), (2, N'two'), (3, N'three')
SQL
cat > "$work/02.sql" <<'SQL'
UPDATE x SET b = N'uno' WHERE a = 1
SELECT a, b FROM x
SQL
cat > "$work/03.sql" <<'SQL'
PRINT 'checking'
SELECT COUNT(*) AS n FROM x
SQL
"$driver" createdbs "$instance" "$user" "$pwd" orv "$ndb"
"$driver" createdbs "$instance" "$user" "$pwd" loop "$ndb"
"$driver" many "$instance" "$user" "$pwd" orv "$ndb" "$work/01.sql" "$work/02.sql" "$work/03.sql" > "$work/many.txt"
# bsqldb has no batch separator: each file is sent as its batches one by one,
# the way a hand-written loop feeds it (GO lines are its batch ends too).
start=$(now)
for i in $(seq -f '%03g' 1 "$ndb"); do
  for f in 01 02 03; do
    bsqldb -S sandbox -U "$user" -P "$pwd" -D "loop$i" -i "$work/$f.sql" > /dev/null 2>> "$work/loop.err" \
      || { echo "bsqldb failed on loop$i $f.sql:"; cat "$work/loop.err"; exit 1; }
  done
done
end=$(now)
# Both sides did the work: the loop's databases hold the same rows as the run's.
for side in orv loop; do
  "$driver" count "$instance" "$user" "$pwd" "${side}$(printf '%03d' "$ndb")" > "$work/$side.count"
done
cmp -s "$work/orv.count" "$work/loop.count" || { echo "the loop's results differ from the run's"; exit 1; }
loop_s=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
orv_s=$(value seconds "$work/many.txt")
printf '%-26s %10.3f s\n' "orvexa one run" "$orv_s"
printf '%-26s %10.3f s   (orvexa takes %.0f%% of it, target <= 50%%)\n' "bsqldb shell loop" "$loop_s" \
  "$(awk -v a="$orv_s" -v b="$loop_s" 'BEGIN { printf "%f", 100 * a / b }')"
