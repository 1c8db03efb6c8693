#!/usr/bin/env bash
# Export benchmark: ROWS records x 10 columns of mixed kinds (int, bigint,
# nvarchar, decimal(18,2), datetime, float, varchar, bit, date, nvarchar with
# NULLs) written to .xlsx by ExportToExcel, side by side with openpyxl in
# write-only mode writing the same values (Debian's python3-openpyxl); then
# ExportToExcel alone at ten times the rows, to show that its memory stays
# flat.
set -euo pipefail
build=$(cd "${1:?usage: bench-export.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
driver="$build/bench/export/bench_export"
rows=${ORVEXA_BENCH_EXPORT_ROWS:-100000}
big=$((rows * 10))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
value() { sed -n "s/^$1=//p" "$2"; }

echo "--- export: $rows rows x 10 columns (+ instance and database) to .xlsx"
"$driver" "$rows" "$work" > "$work/orv.txt"
/usr/bin/python3 "$here/export/openpyxl_write.py" "$rows" "$work/openpyxl.xlsx" > "$work/py.txt"
orv_s=$(value seconds "$work/orv.txt")
py_s=$(value seconds "$work/py.txt")
printf '%-28s %8.3f s   peak %7.1f MB (export raised it by %.1f MB)   file %.1f MB\n' "orvexa ExportToExcel" \
  "$orv_s" "$(value peak_mb "$work/orv.txt")" "$(value growth_mb "$work/orv.txt")" "$(value file_mb "$work/orv.txt")"
printf '%-28s %8.3f s   peak %7.1f MB   file %.1f MB\n' "openpyxl write-only" "$py_s" \
  "$(value peak_mb "$work/py.txt")" "$(awk -v b="$(stat -c %s "$work/openpyxl.xlsx")" 'BEGIN { printf "%.1f", b / 1048576 }')"
printf '%-28s %8.1fx faster (target >= 5x)\n' "orvexa vs openpyxl" "$(awk -v a="$orv_s" -v b="$py_s" 'BEGIN { printf "%f", b / a }')"
rm -f "$work"/*.xlsx

echo "--- export: $big rows x 10 columns, orvexa only (memory flat?)"
"$driver" "$big" "$work" > "$work/orv-big.txt"
printf '%-28s %8.3f s   peak %7.1f MB (export raised it by %.1f MB, target < 64 MB and flat)   file %.1f MB\n' \
  "orvexa ExportToExcel" "$(value seconds "$work/orv-big.txt")" "$(value peak_mb "$work/orv-big.txt")" \
  "$(value growth_mb "$work/orv-big.txt")" "$(value file_mb "$work/orv-big.txt")"
