#!/bin/sh
# C-STORE benchmark: 1,000 images of 512x512 16-bit pixels sent by DCMTK's
# storescu over one association and over four at once, into the built
# service and into DCMTK's storescp, both writing to the same file system.
# Prints one line per measurement.
#   sh bench/store_bench.sh [build dir] [image count]
#
# Durability: the service flushes every image file, its side file and the
# incoming folder (fsync) before it answers. storescp has no flush of its
# own: it runs once as it comes (no flush at all) and once with coreutils'
# `sync` of the file and its folder run before each answer (--exec-sync).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
count=${2:-1000}
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

# send LABEL ASSOCIATIONS: prints images per second
send() {
  start=$(now)
  if [ "$2" = 1 ]; then
    storescu -q -aet BENCH 127.0.0.1 "$port" "$work/images" +sd >/dev/null
  else
    senders=""
    for k in 0 1 2 3; do
      storescu -q -aet BENCH 127.0.0.1 "$port" "$work/share$k" +sd >/dev/null &
      senders="$senders $!"
    done
    for s in $senders; do wait "$s"; done
  fi
  end=$(now)
  echo "$start $end $count" | awk -v label="$1" '{printf "%-44s %7.1f images/s (%.2f s)\n", label, $3 / ($2 - $1), $2 - $1}'
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

echo "== storescp (no fsync)"
start_storescp; send "storescp, one association" 1; stop_server
start_storescp; send "storescp, four associations" 4; stop_server
echo "== storescp with sync of file and folder before each answer"
durable='sync #p/#f #p'
start_storescp -xcr "$durable" -xs; send "storescp+sync, one association" 1; stop_server
start_storescp -xcr "$durable" -xs; send "storescp+sync, four associations" 4; stop_server
echo "== vantor (fsync of image, side file and folder)"
start_vantor 0
before=$(cpu_of "$pid")
send "vantor, one association" 1
after=$(cpu_of "$pid")
echo "$before $after $count" | awk '{printf "%-44s %7.1f ms CPU per image\n", "vantor, service CPU", ($2 - $1) * 1000 / $3}'
stop_server
start_vantor 0; send "vantor, four associations" 4; stop_server
echo "== vantor with Compress (JPEG lossless)"
start_vantor 1
before=$(cpu_of "$pid")
send "vantor Compress, one association" 1
after=$(cpu_of "$pid")
echo "$before $after $count" | awk '{printf "%-44s %7.1f ms CPU per image\n", "vantor Compress, service CPU", ($2 - $1) * 1000 / $3}'
before=$(cpu_of "$pid")
send "vantor Compress, four associations" 4
after=$(cpu_of "$pid")
echo "$before $after $count" | awk '{printf "%-44s %7.1f ms CPU per image\n", "vantor Compress, service CPU", ($2 - $1) * 1000 / $3}'
stop_server
