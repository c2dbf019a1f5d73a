#!/bin/sh
# Where the importer's time goes (untimed): batch sizes from the debug log
# (Debug on) and the importer's system calls (strace -c, Debug off), for one
# and four associations with Import on.
#   sh bench/import_diag.sh [build dir] [image count]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
count=${2:-1000}
work=$(mktemp -d /tmp/vantor-import-diag.XXXXXX)
pid=""; tracer=""
cleanup() {
  [ -n "$tracer" ] && kill "$tracer" 2>/dev/null && wait "$tracer" 2>/dev/null || true
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
export TCP_NODELAY=1
uid_root=1.2.826.0.1.3680043.9.99
# The images as in import_bench.sh: made with dump2dcm.
python3 - "$work/px.raw" <<'PY'
import struct, sys
w = 512
open(sys.argv[1], 'wb').write(b''.join(struct.pack('<%dH' % w, *[(x * 7 + y * 3 + ((x * y) >> 6)) & 0x0fff for x in range(w)]) for y in range(w)))
PY
mkdir -p "$work/images"
k=0; while [ $k -lt 4 ]; do mkdir -p "$work/share_$k"; k=$((k + 1)); done
i=1
while [ $i -le "$count" ]; do
  s=$(( (i - 1) / 100 )); r=$(( (i - 1) % 2 ))
  cat >"$work/dump.txt" <<DUMP
(0008,0016) UI =CTImageStorage
(0008,0018) UI [$uid_root.22.$i]
(0008,0020) DA [20260615]
(0008,0060) CS [CT]
(0010,0010) PN [Bench^Patient$s]
(0010,0020) LO [IB$s]
(0020,000d) UI [$uid_root.20.$s]
(0020,000e) UI [$uid_root.21.$s.$r]
(0020,0013) IS [$i]
(0028,0002) US 1
(0028,0004) CS [MONOCHROME2]
(0028,0010) US 512
(0028,0011) US 512
(0028,0100) US 16
(0028,0101) US 12
(0028,0102) US 11
(0028,0103) US 0
(7fe0,0010) OW =$work/px.raw
DUMP
  dump2dcm -q +E -g +te "$work/dump.txt" "$work/images/$i.dcm"
  ln "$work/images/$i.dcm" "$work/share_$((i % 4))/$i.dcm"
  i=$((i + 1))
done
start_vantor() {  # $1 = Debug
  rm -rf "$work/in" "$work/prog" "$work/arch"; mkdir -p "$work/in" "$work/prog/drives/c/Temp" "$work/arch"
  "$build/vantor-demo" --schema "$root/archive/schema.sql" "$work/arch" >/dev/null
  cp "$build/vantor" "$work/prog/vantor"
  cat >"$work/prog/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]
"DBServer"="sqlite:$work/arch/archive.db"
"Temp"="$work/in/"

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]
"DCM"="$port"
"DateFormat"="YYYY-MM-DD"
"Import"="1"
"Debug"="$1"
REG
  "$work/prog/vantor" >/dev/null 2>&1 &
  pid=$!
  i=0; while ! echoscu 127.0.0.1 "$port" >/dev/null 2>&1; do i=$((i + 1)); [ $i -lt 200 ]; sleep 0.1; done
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
  kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""
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
  kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""
  head -22 "$work/strace.txt"
done
