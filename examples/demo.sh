#!/usr/bin/env bash
# The main job end to end on the local stand-in server: three sample
# databases, the example scripts run on the stored database list, one
# database failing while the run goes on, results written to a folder.
set -euo pipefail
build_dir=$(cd "${1:?usage: examples/demo.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
cli="$build_dir/src/cli/orvexa-cli"
export TDS_SANDBOX="$build_dir/tools/tds-sandbox/tds-sandbox"

out="$root/demo-output"
rm -rf "$out"
mkdir -p "$out"
# A store of the demo's own, so that the user's list is left alone.
export XDG_DATA_HOME="$out/store"
export ORVEXA_PASSWORD="Sandbox-2026"

port=$(bash "$root/tools/tds-sandbox/sandbox.sh" start "$out/sandbox")
trap 'bash "$root/tools/tds-sandbox/sandbox.sh" stop "$out/sandbox" >/dev/null 2>&1 || true' EXIT
instance="127.0.0.1,$port"
echo "== tds-sandbox listening on $instance (login sa)"

echo "== creating the sample databases Sales, HR and Archive"
"$cli" run --target "$instance/master" --user sa --no-transaction \
  "$root/examples/setup/00-create-databases.sql" > "$out/setup.log"
"$cli" run --target "$instance/Sales" --target "$instance/HR" --user sa \
  "$root/examples/setup/10-sales-hr.sql" >> "$out/setup.log"
"$cli" run --target "$instance/Archive" --user sa \
  "$root/examples/setup/20-archive.sql" >> "$out/setup.log"

echo "== storing the database list (orvexa-cli list import)"
sed -e "s/@INSTANCE@/$instance/" -e "s/@PASSWORD@/$ORVEXA_PASSWORD/" \
  "$root/examples/demo-list.xml" > "$out/demo-list.xml"
"$cli" list import "$out/demo-list.xml"
"$cli" list show

# With a display, the desktop application on the same list: the sandbox runs
# until its window closes.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${ORVEXA_DEMO_HEADLESS:-}" != 1 ]; then
  echo "== Orvexa opens on these databases: add $root/examples/scripts/*.sql (SQL > Add SQL Files...) and press Run"
  "$build_dir/src/app/orvexa"
  exit 0
fi

echo "== orvexa-cli run examples/scripts/*.sql --output-dir demo-output/results"
status=0
"$cli" run --output-dir "$out/results" "$root"/examples/scripts/*.sql || status=$?
if [ "$status" -ne 1 ]; then
  echo "demo: the run should have failed on Archive (exit 1), it exited $status" >&2
  exit 1
fi
echo "== exit status $status: Archive has no Customers table; the other databases ran"

echo "== results in $out/results"
(cd "$out/results" && find . -type f | sort | sed 's|^\./|   |')
echo "== $out/results/3/messages.txt"
cat "$out/results/3/messages.txt"
echo "== $out/results/3/Result1.csv"
cat "$out/results/3/Result1.csv"
