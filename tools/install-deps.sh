#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking and the
# demo need. Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake make pkg-config git
  qt6-base-dev libgl-dev qt6-qpa-plugins qt6-svg-dev libqt6svg6
  breeze-icon-theme
  libsqlcipher-dev sqlcipher sqlite3 libsqlite3-dev
  unixodbc unixodbc-dev odbcinst tdsodbc freetds-bin
  libxlsxwriter-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-openpyxl
  xvfb xauth imagemagick
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The FreeTDS ODBC driver must be registered with unixODBC under the name
# "FreeTDS"; the package does it through debconf, but not on every install path.
if ! odbcinst -q -d 2>/dev/null | grep -qx '\[FreeTDS\]'; then
  $SUDO odbcinst -i -d -f /usr/share/tdsodbc/odbcinst.ini
fi
