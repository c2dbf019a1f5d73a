#!/bin/bash
# Two Vantor fronts on one PostgreSQL archive behind HAProxy, on this
# machine, with one command:
#
#   packaging/cluster/up.sh [WORK]      (WORK: /tmp/vantor-cluster)
#   packaging/cluster/down.sh [WORK]
#
# What it makes under WORK:
#   pg/           a PostgreSQL cluster (initdb) on 127.0.0.1:$PG_PORT with the
#                 archive database "vantor" (archive/schema-postgresql.sql)
#   odbc.ini      the data source "vantor" the fronts reach it by
#   archive/      the shared archive folder (tblArchive), where both
#                 fronts' importers put the images
#   incoming/     the shared incoming folder: what either front receives,
#                 either front's importer takes (the images wait in the
#                 archive's queue, tblImportJobs)
#   front1/, front2/
#                 each front's program folder: the programs (hard links to
#                 the build), its registry.reg and its logs (and its own
#                 incoming folder, incoming/, with INCOMING=own)
#   haproxy.cfg   DICOM on 127.0.0.1:$DICOM_PORT in TCP mode, spread over
#                 the fronts, each checked on /health/ready of its health
#                 port; metrics of front N on its health port, /metrics
#
# Settings from the environment (defaults in brackets): BUILD [build],
# DICOM_PORT [11112], FRONT1_PORT [11121], FRONT2_PORT [11122],
# HEALTH1_PORT [18121], HEALTH2_PORT [18122], PG_PORT [55432],
# STATS_PORT [18100] (HAProxy's own page), FRONTS [2] (1: front1 alone,
# to compare), SETTINGS (more instance values of both fronts, blank-
# separated Name=Value, e.g. "JobQueue=database"), INCOMING [shared]
# (shared: one incoming folder for both fronts, which needs
# JobQueue=database; own: one each), NODES (more "AET@address:port"
# callers for the node table, blank-separated; STORESCU, FINDSCU, GETSCU
# and MOVESCU on 127.0.0.1 are always there).
#
# Everything listens on 127.0.0.1 only. For a real site, put the fronts on
# machines of their own with the same registry, the archive folder and the
# incoming folder on a shared file system, the database on its server, and
# HAProxy (or IPVS) where the modalities send to.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
WORK="${1:-/tmp/vantor-cluster}"
BUILD="${BUILD:-$root/build}"
DICOM_PORT="${DICOM_PORT:-11112}"
FRONT1_PORT="${FRONT1_PORT:-11121}"
FRONT2_PORT="${FRONT2_PORT:-11122}"
HEALTH1_PORT="${HEALTH1_PORT:-18121}"
HEALTH2_PORT="${HEALTH2_PORT:-18122}"
PG_PORT="${PG_PORT:-55432}"
STATS_PORT="${STATS_PORT:-18100}"
NODES="${NODES:-}"
FRONTS="${FRONTS:-2}"
SETTINGS="${SETTINGS:-JobQueue=database}"
INCOMING="${INCOMING:-shared}"

case "$INCOMING" in
  shared)
    case " $SETTINGS " in
      *" JobQueue=database "*) ;;
      *) echo "INCOMING=shared needs JobQueue=database in SETTINGS (or INCOMING=own)" >&2; exit 1 ;;
    esac ;;
  own) ;;
  *) echo "INCOMING is shared or own, not $INCOMING" >&2; exit 1 ;;
esac

for program in vantor vantor-send; do
  [ -x "$BUILD/$program" ] || { echo "no $BUILD/$program: build first (README)" >&2; exit 1; }
done
command -v haproxy >/dev/null || { echo "haproxy is not installed (scripts/setup.sh)" >&2; exit 1; }
pgbin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)"
[ -x "$pgbin/initdb" ] || { echo "PostgreSQL is not installed (scripts/setup.sh)" >&2; exit 1; }
[ ! -e "$WORK/pg/data" ] || { echo "$WORK is in use: packaging/cluster/down.sh $WORK first" >&2; exit 1; }

mkdir -p "$WORK/pg/socket" "$WORK/archive"
WORK="$(cd "$WORK" && pwd)"
# As root, the server's user must reach its folder.
[ "$(id -u)" -ne 0 ] || chmod a+x "$WORK"
log() { echo "vantor-cluster: $*"; }

# PostgreSQL refuses to run as root: as root it runs as "postgres".
as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
[ "$(id -u)" -ne 0 ] || chown -R postgres: "$WORK/pg"
as_pg "$pgbin/initdb" -D "$WORK/pg/data" -U postgres --auth=trust -E UTF8 \
  --locale=C.UTF-8 --no-instructions >"$WORK/pg/initdb.log" 2>&1
as_pg "$pgbin/pg_ctl" -D "$WORK/pg/data" -l "$WORK/pg/server.log" -w -t 60 \
  -o "-p $PG_PORT -k $WORK/pg/socket -c listen_addresses=127.0.0.1 -c max_connections=300" \
  start >/dev/null
psql() { PGOPTIONS="-c client_min_messages=warning" command psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$PG_PORT" -U postgres "$@"; }
psql -d postgres -c "CREATE DATABASE vantor" >/dev/null
psql -d vantor -f "$root/archive/schema-postgresql.sql" >/dev/null
log "PostgreSQL on 127.0.0.1:$PG_PORT, database vantor"

# The callers the fronts serve: an AE title at an address, and the port a
# C-MOVE reaches it on.
for node in STORESCU@127.0.0.1:104 FINDSCU@127.0.0.1:104 GETSCU@127.0.0.1:104 \
            MOVESCU@127.0.0.1:11190 $NODES; do
  aet="${node%%@*}"; rest="${node#*@}"; address="${rest%%:*}"; port="${rest##*:}"
  psql -d vantor -c "INSERT INTO tblDicomAETs (AET, IPAdress, IPPort, CallingAET, CallingHostName) VALUES ('$aet', '$address', $port, '$aet', '$address')" >/dev/null
done

cat >"$WORK/odbc.ini" <<INI
[vantor]
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$PG_PORT
Database=vantor
Username=postgres
BoolsAsChar=0
UseDeclareFetch=1
INI
export ODBCINI="$WORK/odbc.ini"

start_front() {  # number, DICOM port, health port
  local dir="$WORK/front$1"
  local incoming="$WORK/incoming"
  [ "$INCOMING" = shared ] || incoming="$dir/incoming"
  # drives/c/Temp is the job folder of C-MOVE (C:\Temp\).
  mkdir -p "$incoming" "$dir/drives/c/Temp"
  for program in vantor vantor-send; do
    ln -f "$BUILD/$program" "$dir/$program" 2>/dev/null || cp "$BUILD/$program" "$dir/$program"
  done
  printf '%s\r\n' \
    'Windows Registry Editor Version 5.00' '' \
    '[HKEY_LOCAL_MACHINE\Software\Tavik\Kelmora\ Default]' \
    '"DBServer"="odbc:DSN=vantor"' \
    "\"Temp\"=\"$incoming/\"" '' \
    '[HKEY_LOCAL_MACHINE\Software\Tavik\Kelmora\Vantor\01]' \
    "\"DCM\"=\"$2\"" \
    "\"Caption\"=\"Vantor front $1 on port $2\"" \
    '"Import"="1"' \
    "\"ImportArchive\"=\"$WORK/archive\"" \
    '"StorageCommitment"="1"' \
    "\"HealthPort\"=\"$3\"" \
    '"BalancerAddresses"="127.0.0.1"' >"$dir/registry.reg"
  for setting in $SETTINGS; do
    printf '"%s"="%s"\r\n' "${setting%%=*}" "${setting#*=}" >>"$dir/registry.reg"
  done
  (cd "$dir" && exec ./vantor 01 </dev/null >"$dir/output.log" 2>&1) &
  echo $! >"$dir/vantor.pid"
}
start_front 1 "$FRONT1_PORT" "$HEALTH1_PORT"
second="  server front2 127.0.0.1:$FRONT2_PORT check port $HEALTH2_PORT"
if [ "$FRONTS" = 2 ]; then start_front 2 "$FRONT2_PORT" "$HEALTH2_PORT"; else second=""; fi

cat >"$WORK/haproxy.cfg" <<CFG
global
  maxconn 512
  pidfile $WORK/haproxy.pid

defaults
  mode tcp
  timeout connect 5s
  # A C-MOVE or a large study may keep an association busy for long.
  timeout client 30m
  timeout server 30m
  # A front that refuses the connection (stopped, not yet marked down)
  # costs the caller nothing: the connection goes to the other.
  retries 3
  option redispatch

frontend dicom
  bind 127.0.0.1:$DICOM_PORT
  default_backend fronts

backend fronts
  balance roundrobin
  # Ready: the front listens, reaches the database and has disk space.
  option httpchk GET /health/ready
  http-check expect status 200
  default-server inter 1s fall 2 rise 2
  server front1 127.0.0.1:$FRONT1_PORT check port $HEALTH1_PORT
$second

frontend stats
  mode http
  bind 127.0.0.1:$STATS_PORT
  stats enable
  stats uri /
CFG
haproxy -D -f "$WORK/haproxy.cfg" </dev/null >"$WORK/haproxy.log" 2>&1

# Ready when HAProxy has seen both fronts ready (each waits a second before
# it listens; two good checks a second apart mark a front up).
for _ in $(seq 1 60); do
  if [ "$(curl -fs "http://127.0.0.1:$STATS_PORT/;csv" | grep -c '^fronts,front[12],.*,UP')" = "$FRONTS" ]; then
    log "fronts on 127.0.0.1:$FRONT1_PORT and :$FRONT2_PORT (health :$HEALTH1_PORT, :$HEALTH2_PORT)"
    log "DICOM through HAProxy on 127.0.0.1:$DICOM_PORT (stats http://127.0.0.1:$STATS_PORT/)"
    log "stop with: $here/down.sh $WORK"
    exit 0
  fi
  sleep 1
done
echo "vantor-cluster: the fronts did not get ready; see $WORK/front*/Logs and output.log" >&2
exit 1
