# The set-up the bench scripts share (POSIX sh). A script sources it after
# `set -eu` and then calls bench_start:
#
#   . "$(dirname "$0")/lib.sh"
#   bench_start NAME "${1:-}"
#
# bench_start sets `root` (the source tree), `build` (the build folder: the
# given one or build/) and `work`, a fresh folder /tmp/vantor-NAME.XXXXXX.
# When the script ends, however it ends, the service in $pid and every
# process in $bench_pids are stopped and the work folder is removed (KEEP=1
# keeps it); a script with more to undo defines bench_at_exit, which runs
# first.

root=$(cd "$(dirname "$0")/.." && pwd)
pid=""
bench_pids=""

bench_at_exit() { :; }

bench_cleanup() {
  bench_at_exit || true
  for _p in $bench_pids $pid; do kill "$_p" 2>/dev/null || true; done
  for _p in $bench_pids $pid; do wait "$_p" 2>/dev/null || true; done
  pid=""
  bench_pids=""
  if [ -n "${KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}

bench_start() {  # NAME [build dir]
  build=${2:-$root/build}
  work=$(mktemp -d "/tmp/vantor-$1.XXXXXX")
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

# A free TCP port on the loopback interface.
free_port() {
  python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'
}

# The time in seconds, with nanoseconds.
now() { date +%s.%N; }

# User and system CPU seconds of process $1.
cpu_of() {
  awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"
}

# The peak resident set size of process $1 so far, in kB (VmHWM).
peak_rss_of() {
  awk '/^VmHWM:/ {print $2}' "/proc/$1/status"
}

# wait_for_port PORT [CALLED-AE [echoscu options...]]: until a C-ECHO to
# PORT on the loopback interface succeeds, at most 20 s; fails with "no
# listener on PORT".
wait_for_port() {
  _port=$1
  _called=${2:-ANY-SCP}
  shift
  [ $# -eq 0 ] || shift
  _tries=0
  while ! echoscu -aec "$_called" "$@" 127.0.0.1 "$_port" >/dev/null 2>&1; do
    _tries=$((_tries + 1))
    if [ $_tries -ge 200 ]; then
      echo "no listener on $_port" >&2
      return 1
    fi
    sleep 0.1
  done
}

# write_registry FILE NAME=VALUE... [-- NAME=VALUE...]: a registry file with
# the values before "--" under the Default key and those after it under
# instance 01.
write_registry() {
  _file=$1
  shift
  {
    printf 'Windows Registry Editor Version 5.00\n\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]\n'
    for _v in "$@"; do
      if [ "$_v" = -- ]; then
        printf '\n[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\n'
      else
        printf '"%s"="%s"\n' "${_v%%=*}" "${_v#*=}"
      fi
    done
  } >"$_file"
}

# start_service DIR PORT: the built service copied into the program folder
# DIR (which holds its registry.reg) and started there; $pid is its process
# once it answers on PORT.
start_service() {
  cp "${service_build:-$build}/vantor" "$1/vantor"
  "$1/vantor" >/dev/null 2>&1 &
  pid=$!
  wait_for_port "$2"
}

# Stops the server in $pid.
stop_server() {
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  pid=""
}

# new_archive DB: an empty SQLite archive with the schema of archive/.
new_archive() {
  sqlite3 "$1" <"$root/archive/schema.sql"
}

# fill_archive DB PATIENTS STUDIES [SERIES IMAGES]: made-up rows for the
# query benches (names Name<i % 997>, Study Instance UIDs
# 1.2.826.0.1.3680043.9.<i>, dates from 2015 on) and the calling node
# FINDSCU. Prints what sqlite3 prints (the journal mode).
fill_archive() {
  {
    cat <<SQL
PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<$2)
INSERT INTO tblPatienten (PATID, PATID1, PATNachname, PATVorname, PATGebDatum, PATGeschlecht)
SELECT i, 'P' || i, 'Name' || (i % 997), 'First' || (i % 89),
       date('1940-01-01', '+' || (i % 20000) || ' days'), CASE i % 2 WHEN 0 THEN 'F' ELSE 'M' END FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<$3)
INSERT INTO tblStudies (StudyID, StudyUID, FKeyPatID, StudyDate, StudyTime, StudyDescription, Modality)
SELECT i, '1.2.826.0.1.3680043.9.' || i, 1 + (i % $2), date('2015-01-01', '+' || (i % 3000) || ' days'),
       '10:00:00', 'Study ' || i, CASE i % 3 WHEN 0 THEN 'CT' WHEN 1 THEN 'MR' ELSE 'CR' END FROM n;
SQL
    if [ $# -ge 5 ]; then
      cat <<SQL
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<$4)
INSERT INTO tblSeries (SeriesID, SeriesUID, FKeyStudyID, SeriesNr, Modality)
SELECT i, '1.2.826.0.1.3680043.9.1.' || i, 1 + (i % $3), i % 7, 'CT' FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<$5)
INSERT INTO tblImages (ImageID, ImageUID, FKeySeriesID, ImageNr)
SELECT i, '1.2.826.0.1.3680043.9.2.' || i, 1 + (i % $4), i % 50 FROM n;
SQL
    fi
    cat <<'SQL'
INSERT INTO tblDicomAETs (AET, IPAdress, IPPort, AETSiemens, InternalID, StoreOnly)
VALUES ('FINDSCU', '127.0.0.1', 104, 0, 0, 0);
SQL
  } | sqlite3 "$1"
}

# make_study DIR STUDY-UID SERIES-UID COUNT [make-study options...]: COUNT
# CT images of one series written by the built make-study (512x512 16-bit
# pixels, explicit little endian unless the options say otherwise), named
# DIR/<series-uid>.<i>.dcm with SOP Instance UID <series-uid>.<i>; the
# options are those of tools/make_study.cc (--rows, --cols, --patient-id,
# --patient-name, --syntax, --set KEYWORD=VALUE).
make_study() {
  _dir=$1
  _study=$2
  _series=$3
  _count=$4
  shift 4
  mkdir -p "$_dir"
  "$build/make-study" --dir "$_dir" --study-uid "$_study" \
    --series-uid "$_series" --count "$_count" "$@"
}

# share_out DIR N PREFIX: the files of DIR hard-linked round robin into the
# folders PREFIX0 ... PREFIX<N-1>, equal shares for N senders at once.
share_out() {
  _k=0
  while [ $_k -lt "$2" ]; do
    mkdir -p "$3$_k"
    _k=$((_k + 1))
  done
  _k=0
  for _f in "$1"/*; do
    ln "$_f" "$3$((_k % $2))/${_f##*/}"
    _k=$((_k + 1))
  done
}

# need_orthanc PACKAGE...: Debian's Orthanc packages installed when
# missing and the script runs as root (the package's own service kept from
# starting: the scripts run Orthanc as a process of their own); sets
# orthanc_bin to the Orthanc program, empty when there is none.
need_orthanc() {
  _missing=""
  for _p in "$@"; do
    dpkg-query -W -f='${Status}' "$_p" 2>/dev/null | grep -q "install ok installed" || _missing="$_missing $_p"
  done
  if [ -n "$_missing" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing Debian's$_missing"
    _policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
      printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
      chmod +x /usr/sbin/policy-rc.d
      _policy=1
    fi
    # shellcheck disable=SC2086 # one word per package
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $_missing >/dev/null ||
      { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $_missing >/dev/null; } || true
    [ -z "$_policy" ] || rm -f /usr/sbin/policy-rc.d
  fi
  orthanc_bin=$(command -v Orthanc || true)
}

# start_orthanc_web DIR HTTP-PORT DICOM-PORT: Orthanc with its DICOMweb
# plugin (DICOMweb root http://127.0.0.1:HTTP-PORT/dicom-web, WADO-URI at
# /dicom-web/wado, AE title ORTHANC accepting any C-STORE) on a fresh
# storage in DIR, listening on the loopback interface only (Orthanc has no
# setting for that: bench/loopback_bind.c, built into DIR, is preloaded);
# its process is added to $bench_pids and left in $orthanc_pid once the
# DICOMweb root answers. Needs need_orthanc first.
start_orthanc_web() {
  mkdir -p "$1"
  cc -shared -fPIC -O2 -o "$1/loopback_bind.so" "$root/bench/loopback_bind.c" -ldl
  _plugin=$(find /usr/share/orthanc/plugins -name 'libOrthancDicomWeb.so*' 2>/dev/null | head -n1)
  [ -n "$_plugin" ] || { echo "Orthanc's DICOMweb plugin missing (orthanc-dicomweb)" >&2; return 1; }
  cat >"$1/config.json" <<JSON
{
  "Name" : "Orthanc DICOMweb $2",
  "StorageDirectory" : "$1/storage",
  "IndexDirectory" : "$1/index",
  "StorageCompression" : false,
  "HttpServerEnabled" : true,
  "HttpPort" : $2,
  "RemoteAccessAllowed" : false,
  "AuthenticationEnabled" : false,
  "DicomServerEnabled" : true,
  "DicomAet" : "ORTHANC",
  "DicomPort" : $3,
  "DicomAlwaysAllowStore" : true,
  "DicomCheckCalledAet" : false,
  "Plugins" : [ "$_plugin" ],
  "DicomWeb" : {
    "Enable" : true,
    "Root" : "/dicom-web/",
    "EnableWado" : true,
    "WadoRoot" : "/dicom-web/wado"
  }
}
JSON
  LD_PRELOAD="$1/loopback_bind.so" "$orthanc_bin" "$1/config.json" >"$1/orthanc.log" 2>&1 &
  orthanc_pid=$!
  bench_pids="$bench_pids $orthanc_pid"
  _tries=0
  until curl -sf -o /dev/null -H 'Accept: application/dicom+json' "http://127.0.0.1:$2/dicom-web/studies?limit=1"; do
    _tries=$((_tries + 1))
    if [ $_tries -ge 300 ] || ! kill -0 "$orthanc_pid" 2>/dev/null; then
      echo "Orthanc did not answer on $2; its log:" >&2
      tail -20 "$1/orthanc.log" >&2
      return 1
    fi
    sleep 0.1
  done
}
