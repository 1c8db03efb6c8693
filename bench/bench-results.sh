#!/usr/bin/env bash
# Result grid and result pages, on Qt's offscreen platform:
#   1. a 1,000,000-row x 6-column result in the result grid, side by side in
#      the same run with the same texts in a QTableView over a
#      QStandardItemModel: first frame, frames after jumps, heap added;
#   2. 2,000 result tabs on one result page: time to add them, heap per tab.
set -euo pipefail
build=$(cd "${1:?usage: bench-results.sh BUILD_DIR}" && pwd)
rows=${ORVEXA_BENCH_ROWS:-1000000}
QT_QPA_PLATFORM=offscreen "$build/bench/results/bench_results" "$rows" 2>&1 \
  | grep -v -e '^QStandardPaths:' -e 'This plugin does not support'
