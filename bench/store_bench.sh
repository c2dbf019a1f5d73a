#!/bin/sh
# C-STORE benchmark: 1,000 images of 512x512 16-bit pixels sent by DCMTK's
# storescu over one association and over four at once, into the built
# service and into DCMTK's storescp, both writing to the same file system.
#   sh bench/store_bench.sh [build dir] [image count] [rounds]
# Each configuration runs once per round, the rounds alternating between the
# receivers; the best round of each is reported.
#
# Durability: the service flushes every image file, its side file and the
# incoming folder (fsync) before it answers. storescp has no flush of its
# own: it runs once as it comes (no flush at all) and once with coreutils'
# `sync` of the file and its folder run before each answer (--exec-sync).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
count=${2:-1000}
rounds=${3:-3}
work=$(mktemp -d /tmp/vantor-store-bench.XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
export TCP_NODELAY=1

echo "== making $count images"
python3 - "$work/px.raw" <<'PY'
import struct, sys
w = 512
rows = []
for y in range(w):
    rows.append(struct.pack('<%dH' % w,
                            *[(x * 7 + y * 3 + ((x * y) >> 6)) & 0x0fff
                              for x in range(w)]))
open(sys.argv[1], 'wb').write(b''.join(rows))
PY
mkdir -p "$work/images"
i=1
while [ $i -le "$count" ]; do
  cat >"$work/dump.txt" <<DUMP
(0008,0016) UI =CTImageStorage
(0008,0018) UI [1.2.826.0.1.3680043.9.99.1.$i]
(0008,0060) CS [CT]
(0010,0010) PN [Bench^Patient]
(0010,0020) LO [B1]
(0020,000d) UI [1.2.826.0.1.3680043.9.99.2]
(0020,000e) UI [1.2.826.0.1.3680043.9.99.3]
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
  i=$((i + 1))
done
# Four equal shares for the parallel runs.
for k in 0 1 2 3; do mkdir -p "$work/share$k"; done
i=1
while [ $i -le "$count" ]; do
  ln "$work/images/$i.dcm" "$work/share$((i % 4))/$i.dcm"
  i=$((i + 1))
done

now() { date +%s.%N; }
cpu_of() {  # user + system seconds of process $1
  awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"
}
wait_for_port() {
  i=0
  while ! echoscu 127.0.0.1 "$port" >/dev/null 2>&1; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "no listener on $port"; exit 1; }
    sleep 0.1
  done
}
stop_server() { kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""; }

# send ASSOCIATIONS: all images over one association or four at once.
send() {
  if [ "$1" = 1 ]; then
    storescu -q -aet BENCH 127.0.0.1 "$port" "$work/images" +sd >/dev/null
  else
    senders=""
    for k in 0 1 2 3; do
      storescu -q -aet BENCH 127.0.0.1 "$port" "$work/share$k" +sd >/dev/null &
      senders="$senders $!"
    done
    for s in $senders; do wait "$s"; done
  fi
}

start_storescp() {  # $@ = further storescp options
  rm -rf "$work/scp"; mkdir -p "$work/scp"
  # The same largest PDU the service accepts, so both read the images in
  # pieces of the same size.
  storescp --fork -pdu 131072 -od "$work/scp" "$@" "$port" >/dev/null 2>&1 &
  pid=$!
  wait_for_port
}

start_vantor() {  # $1 = Compress
  rm -rf "$work/in" "$work/prog"; mkdir -p "$work/in" "$work/prog"
  cp "$build/vantor" "$work/prog/vantor"
  cat >"$work/prog/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]
"DBServer"="sqlite:$work/none.db"
"Temp"="$work/in/"
"Compress"="$1"

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]
"DCM"="$port"
"Caption"="Vantor store bench $port"
REG
  "$work/prog/vantor" >/dev/null 2>&1 &
  pid=$!
  wait_for_port
}

# measure LABEL ASSOCIATIONS START-COMMAND...: one round of one
# configuration, appended to the results as "LABEL|images/s|ms CPU/image".
measure() {
  label=$1; assocs=$2; shift 2
  "$@"
  before=$(cpu_of "$pid")
  start=$(now)
  send "$assocs"
  end=$(now)
  after=$(cpu_of "$pid")
  stop_server
  echo "$label|$assocs|$start|$end|$before|$after" | awk -F'|' -v n="$count" \
    '{printf "%s|%s|%.1f|%.1f\n", $1, $2, n / ($4 - $3), ($6 - $5) * 1000 / n}' \
    >>"$work/results"
}

durable='sync #p/#f #p'
: >"$work/results"
round=1
while [ $round -le "$rounds" ]; do
  echo "== round $round of $rounds"
  for a in 1 4; do
    measure "storescp, no flush" $a start_storescp
    measure "storescp + sync of file and folder" $a \
      start_storescp -xcr "$durable" -xs
    measure "vantor, fsync of files and folder" $a start_vantor 0
    measure "vantor Compress, fsync of files and folder" $a start_vantor 1
  done
  round=$((round + 1))
done

# The best round of each configuration (its images per second and the CPU
# the receiving process spent per image in that round); the ratios compare
# the service with both storescp runs.
echo "== best of $rounds rounds, $count images"
awk -F'|' '
  { key = $1 "|" $2
    if (!(key in best) || $3 > best[key]) { best[key] = $3; cpu[key] = $4 }
    if (!(key in seen)) { seen[key] = 1; order[++n] = key } }
  END {
    printf "%-44s %-6s %12s %14s\n", "receiver", "assocs", "images/s", "ms CPU/image"
    for (i = 1; i <= n; i++) {
      split(order[i], k, "|")
      # storescp works in forked children, whose CPU is not seen here.
      c = k[1] ~ /^storescp/ ? "-" : sprintf("%.1f", cpu[order[i]])
      printf "%-44s %-6s %12.1f %14s\n", k[1], k[2], best[order[i]], c
    }
    for (a = 1; a <= 4; a += 3) {
      v = best["vantor, fsync of files and folder|" a]
      printf "vantor / storescp no flush, %d assoc:   %5.0f %%\n", a, 100 * v / best["storescp, no flush|" a]
      printf "vantor / storescp + sync, %d assoc:     %5.0f %%\n", a, 100 * v / best["storescp + sync of file and folder|" a]
    }
  }' "$work/results"
