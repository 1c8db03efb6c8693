#!/usr/bin/env bash
# Splits a 100 MB UTF-8 script and a 100 MB Windows-1252 one, three times each
# (each run a process of its own), then prints the 200 MB of short batches of
# a UTF-8 script as orvexa-cli split's JSON.
set -euo pipefail
bin="$1/bench/scripts/bench_split"
cli="$1/src/cli/orvexa-cli"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for kind in utf8 ansi; do
  "$bin" generate "$kind" "$work/$kind.sql" 100
  "$bin" split "$work/$kind.sql" > /dev/null   # warm the page cache
  for run in 1 2 3; do
    "$bin" split "$work/$kind.sql"
  done
done
rm -f "$work"/*.sql
"$bin" generate utf8 "$work/split.sql" 200
echo "orvexa-cli split, 200 MB of short batches, JSON to /dev/null:"
"$bin" command "$work/split.sql" "$cli" split "$work/split.sql"
