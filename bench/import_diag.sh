#!/bin/sh
# Where the importer's time goes (untimed): batch sizes from the debug log
# (Debug on) and the importer's system calls (strace -c, Debug off), for one
# and four associations with Import on.
#   sh bench/import_diag.sh [build dir] [image count]
set -eu
. "$(dirname "$0")/lib.sh"
bench_start import-diag "${1:-}"
count=${2:-1000}
tracer=""
bench_at_exit() {
  [ -n "$tracer" ] && kill "$tracer" 2>/dev/null && wait "$tracer" 2>/dev/null || true
}
port=$(free_port)
export TCP_NODELAY=1
uid_root=1.2.826.0.1.3680043.9.99
# Images like import_bench.sh's: studies of 100 images in two series, a
# patient of its own per study.
s=0
while [ $((s * 100)) -lt "$count" ]; do
  left=$((count - s * 100))
  [ $left -le 100 ] || left=100
  for r in 0 1; do
    n=$(( (left + 1 - r) / 2 ))
    [ $n -gt 0 ] || continue
    make_study "$work/images" "$uid_root.20.$s" "$uid_root.21.$s.$r" "$n" \
      --patient-id "IB$s" --patient-name "Bench^Patient$s" \
      --set StudyDate=20260615
  done
  s=$((s + 1))
done
share_out "$work/images" 4 "$work/share_"
start_vantor() {  # $1 = Debug
  rm -rf "$work/in" "$work/prog" "$work/arch"; mkdir -p "$work/in" "$work/prog/drives/c/Temp" "$work/arch"
  "$build/vantor-demo" --schema "$root/archive/schema.sql" "$work/arch" >/dev/null
  write_registry "$work/prog/registry.reg" \
    "DBServer=sqlite:$work/arch/archive.db" "Temp=$work/in/" -- \
    "DCM=$port" "DateFormat=YYYY-MM-DD" "Import=1" "Debug=$1"
  start_service "$work/prog" "$port"
}
send() {
  if [ "$1" = 1 ]; then storescu -q 127.0.0.1 "$port" "$work/images" +sd >/dev/null
  else
    s=""; k=0
    while [ $k -lt 4 ]; do storescu -q 127.0.0.1 "$port" "$work/share_$k" +sd >/dev/null & s="$s $!"; k=$((k + 1)); done
    for x in $s; do wait "$x"; done
  fi
}
wait_indexed() {
  n=0
  while [ $n -lt 6000 ]; do
    left=$(find "$work/in" -maxdepth 2 -path "$work/in/failed" -prune -o \( -name '*.dcm' -o -name '*.cae' \) -print | wc -l)
    [ "$left" = 0 ] && break
    sleep 0.05; n=$((n + 1))
  done
}
for a in 1 4; do
  echo "== $a association(s), Debug on: batches (BEGIN to COMMIT) from the debug log"
  start_vantor 1
  send $a
  wait_indexed
  stop_server
  awk -F'\t' '$2 ~ /^BEGIN/ {b++} $2 ~ /^COMMIT/ {c++} $2 ~ /imported into/ {m++}
    END {printf "transactions begun %d, committed %d, images imported %d: %.2f images per transaction\n", b, c, m, c ? m / c : 0}' \
    "$work"/prog/Logs/DebugVantor*.log
  echo "== $a association(s), Debug off: system calls of the whole service (strace -f -c)"
  start_vantor 0
  strace -f -c -o "$work/strace.txt" -p "$pid" 2>/dev/null &
  tracer=$!
  sleep 0.5
  send $a
  wait_indexed
  kill -INT "$tracer"; wait "$tracer" 2>/dev/null || true; tracer=""
  stop_server
  head -22 "$work/strace.txt"
done
