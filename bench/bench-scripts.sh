#!/usr/bin/env bash
# Splits a 100 MB UTF-8 script and a 100 MB Windows-1252 one.
set -euo pipefail
bin="$1/bench/scripts/bench_split"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for kind in utf8 ansi; do
  "$bin" generate "$kind" "$work/$kind.sql" 100
  "$bin" split "$work/$kind.sql" > /dev/null   # warm the page cache
  "$bin" split "$work/$kind.sql"
done
