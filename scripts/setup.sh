#!/bin/sh
# Installs every Debian package the build, the tests and the quick start need,
# and registers the FreeTDS driver under the name "SQL Server".
# Idempotent; run as root (or through sudo).
set -eu
PKGS="build-essential cmake pkg-config libdcmtk-dev dcmtk unixodbc unixodbc-dev odbcinst \
libsqliteodbc sqlite3 tdsodbc libssl-dev openssl libgtest-dev libgmock-dev python3 netcat-openbsd socat \
clang libclang-rt-14-dev libsystemd-dev systemd logrotate dpkg-dev \
postgresql odbc-postgresql prometheus-cpp-dev python3-prometheus-client haproxy nodejs libboost-dev nlohmann-json3-dev libcrypt-dev \
chromium curl"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ -n "$missing" ]; then
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi
# Debian's nodejs comes without npm (the package "npm"); a nodejs that
# brings its own npm must not get the Debian one beside it.
if ! command -v npm >/dev/null 2>&1; then
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends npm
fi
# FreeTDS answers to the driver name the connection text uses.
if ! odbcinst -q -d -n "SQL Server" >/dev/null 2>&1; then
  lib=$(find /usr/lib -name libtdsodbc.so 2>/dev/null | head -n1)
  if [ -n "$lib" ]; then
    tmp=$(mktemp)
    printf '[SQL Server]\nDescription=FreeTDS ODBC driver\nDriver=%s\n' "$lib" >"$tmp"
    $SUDO odbcinst -i -d -f "$tmp" >/dev/null
    rm -f "$tmp"
  fi
fi
# The SQLite driver registers itself as SQLITE3/SQLite3 (its package does this);
# make sure a "SQLite3" entry exists.
if ! odbcinst -q -d -n "SQLite3" >/dev/null 2>&1; then
  lib=$(find /usr/lib -name libsqlite3odbc.so 2>/dev/null | head -n1)
  if [ -n "$lib" ]; then
    tmp=$(mktemp)
    printf '[SQLite3]\nDescription=SQLite3 ODBC Driver\nDriver=%s\nSetup=%s\n' "$lib" "$lib" >"$tmp"
    $SUDO odbcinst -i -d -f "$tmp" >/dev/null
    rm -f "$tmp"
  fi
fi
# The Storage Commitment requester of the end-to-end tests (dcmjs-dimse),
# installed as its lock file says; skipped while node_modules matches it.
commitment="$(dirname "$0")/../tests/commitment"
if [ -f "$commitment/package-lock.json" ]; then
  if ! cmp -s "$commitment/package-lock.json" \
      "$commitment/node_modules/.package-lock.json.installed" 2>/dev/null; then
    (cd "$commitment" && npm ci --no-audit --no-fund --ignore-scripts >/dev/null)
    cp "$commitment/package-lock.json" \
      "$commitment/node_modules/.package-lock.json.installed"
  fi
fi
# The DICOMweb clients, the viewer check and the web benchmark's helpers
# (dicomweb-client, dcmjs, playwright-core, OHIF's prebuilt viewer),
# installed as their lock file says; skipped while node_modules matches it.
web="$(dirname "$0")/../tests/web-clients"
if [ -f "$web/package-lock.json" ]; then
  if ! cmp -s "$web/package-lock.json" \
      "$web/node_modules/.package-lock.json.installed" 2>/dev/null; then
    (cd "$web" && npm ci --no-audit --no-fund --ignore-scripts >/dev/null)
    cp "$web/package-lock.json" "$web/node_modules/.package-lock.json.installed"
  fi
fi
