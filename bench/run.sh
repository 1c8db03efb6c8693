#!/usr/bin/env bash
# Runs every benchmark (bench/bench-*.sh) against the build folder given as $1.
set -euo pipefail
build_dir=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
status=0
for script in "$here"/bench-*.sh; do
  [ -e "$script" ] || continue
  echo "=== $(basename "$script" .sh) ==="
  bash "$script" "$build_dir" || { echo "$(basename "$script") failed"; status=1; }
  echo
done
exit $status
