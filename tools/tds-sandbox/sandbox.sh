#!/usr/bin/env bash
# Starts and stops a tds-sandbox for shell scripts (benchmarks, demo).
#   sandbox.sh start DATA_DIR [tds-sandbox args...]   prints the port; pid in DATA_DIR/tds-sandbox.pid
#   sandbox.sh stop DATA_DIR
# The binary is taken from $TDS_SANDBOX, else looked up under build folders.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

find_binary() {
  if [ -n "${TDS_SANDBOX:-}" ]; then echo "$TDS_SANDBOX"; return; fi
  local candidate
  for candidate in "$root"/build/*/tools/tds-sandbox/tds-sandbox "$root"/build*/tools/tds-sandbox/tds-sandbox; do
    if [ -x "$candidate" ]; then echo "$candidate"; return; fi
  done
  echo "sandbox.sh: tds-sandbox binary not found (set TDS_SANDBOX)" >&2
  exit 1
}

cmd=${1:-}
dir=${2:-}
if [ -z "$cmd" ] || [ -z "$dir" ]; then
  echo "usage: sandbox.sh start DATA_DIR [args...] | stop DATA_DIR" >&2
  exit 2
fi
shift 2

case "$cmd" in
  start)
    mkdir -p "$dir"
    bin=$(find_binary)
    log="$dir/tds-sandbox.log"
    : > "$log"
    "$bin" --data "$dir" --host 127.0.0.1 --port 0 "$@" >> "$log" 2>&1 &
    pid=$!
    echo "$pid" > "$dir/tds-sandbox.pid"
    for _ in $(seq 1 200); do
      port=$(sed -n 's/^listening on [^:]*:\([0-9]*\)$/\1/p' "$log" | head -n1)
      if [ -n "$port" ]; then echo "$port"; exit 0; fi
      if ! kill -0 "$pid" 2>/dev/null; then break; fi
      sleep 0.05
    done
    echo "sandbox.sh: tds-sandbox did not start:" >&2
    cat "$log" >&2
    kill "$pid" 2>/dev/null || true
    rm -f "$dir/tds-sandbox.pid"
    exit 1
    ;;
  stop)
    pidfile="$dir/tds-sandbox.pid"
    [ -f "$pidfile" ] || exit 0
    pid=$(cat "$pidfile")
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
      done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
    ;;
  *)
    echo "usage: sandbox.sh start DATA_DIR [args...] | stop DATA_DIR" >&2
    exit 2
    ;;
esac
