#!/bin/bash
# Stops what up.sh started under WORK (/tmp/vantor-cluster) and removes it:
# HAProxy, the two fronts (SIGTERM, as systemd would), PostgreSQL.
# KEEP=1 leaves the folder (logs, archive) in place.
set -u
WORK="${1:-/tmp/vantor-cluster}"
[ -d "$WORK" ] || exit 0
stop_pid() {  # pid file, seconds
  [ -f "$1" ] || return 0
  local pid; pid="$(cat "$1")"
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 $(( $2 * 10 ))); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null
}
stop_pid "$WORK/haproxy.pid" 5
for front in "$WORK"/front*; do stop_pid "$front/vantor.pid" 20; done
if [ -f "$WORK/pg/data/postmaster.pid" ]; then
  pgbin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)"
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$pgbin/pg_ctl" -D "$WORK/pg/data" -m fast -w stop >/dev/null 2>&1
  else
    "$pgbin/pg_ctl" -D "$WORK/pg/data" -m fast -w stop >/dev/null 2>&1
  fi
fi
[ "${KEEP:-0}" = 1 ] || rm -rf "$WORK"
