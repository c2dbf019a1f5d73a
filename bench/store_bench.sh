#!/bin/sh
# C-STORE benchmark: 1,000 images of 512x512 16-bit pixels sent by DCMTK's
# storescu over one association and over four and eight at once, into the
# built service and into DCMTK's storescp, all writing to the same file
# system.
#   sh bench/store_bench.sh [build dir] [image count] [rounds]
# ASSOCS="1 4 8" chooses the numbers of associations, COMPRESS=0 leaves the
# runs with Compress out, BASELINE=<build dir> adds an earlier build of the
# service to the same run ("vantor before").
# Each configuration runs once per round, the rounds alternating between the
# receivers; the best round of each is reported.
#
# Durability: the service has every image file, its side file and the
# incoming folder on the disk before it answers; images of concurrent
# associations that wait for the disk at the same moment share the flushes.
# storescp has no flush of its own: it runs as it comes (no flush at all),
# in one process (associations one after the other) and with --fork (one
# process per association), and with --fork and coreutils' `sync` of the
# file and its folder run before each answer (--exec-sync).
# The disk's own rates on the same file system are measured beside them:
# dd conv=fdatasync of 256 MiB (MB/s) and small files created and flushed
# one after the other (files/s).
set -eu
. "$(dirname "$0")/lib.sh"
bench_start store-bench "${1:-}"
count=${2:-1000}
rounds=${3:-3}
assoc_counts=${ASSOCS:-1 4 8}
compress=${COMPRESS:-1}
baseline=${BASELINE:-}
port=$(free_port)
export TCP_NODELAY=1

echo "== making $count images"
make_study "$work/images" 1.2.826.0.1.3680043.9.99.2 \
  1.2.826.0.1.3680043.9.99.3 "$count" \
  --patient-id B1 --patient-name Bench^Patient
# Equal shares for the parallel runs: share<N>_<k> is the k-th of N.
for a in $assoc_counts; do
  if [ "$a" = 1 ]; then continue; fi
  share_out "$work/images" "$a" "$work/share${a}_"
done
image_bytes=$(stat -c %s "$work/images/1.2.826.0.1.3680043.9.99.3.1.dcm")

# send ASSOCIATIONS: all images over one association or shared out over
# that many at once.
send() {
  if [ "$1" = 1 ]; then
    storescu -q -aet BENCH 127.0.0.1 "$port" "$work/images" +sd >/dev/null
  else
    senders=""
    k=0
    while [ $k -lt "$1" ]; do
      storescu -q -aet BENCH 127.0.0.1 "$port" "$work/share${1}_$k" +sd >/dev/null &
      senders="$senders $!"
      k=$((k + 1))
    done
    for s in $senders; do wait "$s"; done
  fi
}

start_storescp() {  # $@ = further storescp options
  rm -rf "$work/scp"; mkdir -p "$work/scp"
  # The same largest PDU the service accepts, so both read the images in
  # pieces of the same size.
  storescp -pdu 131072 -od "$work/scp" "$@" "$port" >/dev/null 2>&1 &
  pid=$!
  wait_for_port "$port"
}

start_vantor_before() {  # $1 = Compress
  service_build=$baseline
  start_vantor "$1"
  service_build=""
}

start_vantor() {  # $1 = Compress
  rm -rf "$work/in" "$work/prog"; mkdir -p "$work/in" "$work/prog"
  write_registry "$work/prog/registry.reg" \
    "DBServer=sqlite:$work/none.db" "Temp=$work/in/" "Compress=$1" -- \
    "DCM=$port" "Caption=Vantor store bench $port"
  start_service "$work/prog" "$port"
}

# The CPU seconds of process $1 and of its children that have ended (the
# associations storescp --fork served).
cpu_with_children() {
  awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15 + $16 + $17) / hz}' "/proc/$1/stat"
}

# measure LABEL ASSOCIATIONS START-COMMAND...: one round of one
# configuration, appended to the results as "LABEL|images/s|ms CPU/image".
measure() {
  label=$1; assocs=$2; shift 2
  "$@"
  before=$(cpu_with_children "$pid")
  start=$(now)
  send "$assocs"
  end=$(now)
  # storescp --fork's children have ended and been waited for by now.
  sleep 0.3
  after=$(cpu_with_children "$pid")
  stop_server
  echo "$label|$assocs|$start|$end|$before|$after" | awk -F'|' -v n="$count" \
    '{printf "%s|%s|%.1f|%.1f\n", $1, $2, n / ($4 - $3), ($6 - $5) * 1000 / n}' \
    >>"$work/results"
}

# The disk's own rates, on the file system the receivers write to.
disk_rates() {
  dd if=/dev/zero of="$work/dd.bin" bs=1M count=256 conv=fdatasync 2>&1 |
    awk '/copied/ { for (i = 1; i <= NF; i++) if ($i == "copied,") t = $(i + 1);
                    printf "%.1f\n", 256 * 1048576 / t / 1e6 }' >>"$work/dd"
  rm -f "$work/dd.bin"
  python3 - "$work/small" >>"$work/files" <<'PY'
import os, sys, time
d = sys.argv[1]
os.makedirs(d, exist_ok=True)
n = 500
start = time.monotonic()
for i in range(n):
    fd = os.open(os.path.join(d, str(i)), os.O_WRONLY | os.O_CREAT, 0o644)
    os.write(fd, b"x" * 100)
    os.fsync(fd)
    os.close(fd)
print("%.1f" % (n / (time.monotonic() - start)))
PY
  rm -rf "$work/small"
}

durable='sync #p/#f #p'
: >"$work/results"
: >"$work/dd"
: >"$work/files"
round=1
while [ $round -le "$rounds" ]; do
  echo "== round $round of $rounds"
  disk_rates
  for a in $assoc_counts; do
    if [ "$a" = 1 ]; then measure "storescp, no flush" $a start_storescp; fi
    measure "storescp --fork, no flush" $a start_storescp --fork
    measure "storescp --fork + sync of file and folder" $a \
      start_storescp --fork -xcr "$durable" -xs
    measure "vantor, durable" $a start_vantor 0
    if [ -n "$baseline" ]; then
      measure "vantor before, durable" $a start_vantor_before 0
    fi
    if [ "$compress" = 1 ]; then
      measure "vantor Compress, durable" $a start_vantor 1
    fi
  done
  round=$((round + 1))
done

# The best round of each configuration (its images per second, MB/s and the
# CPU the receiving process spent per image in that round); the ratios
# compare the service with storescp and with the disk.
dd_best=$(sort -n "$work/dd" | tail -1)
files_best=$(sort -n "$work/files" | tail -1)
echo "== best of $rounds rounds, $count images of $image_bytes bytes"
echo "disk: dd conv=fdatasync $dd_best MB/s, small flushed files $files_best/s"
awk -F'|' -v bytes="$image_bytes" -v dd="$dd_best" -v assocs="$assoc_counts" '
  { key = $1 "|" $2
    if (!(key in best) || $3 > best[key]) { best[key] = $3; cpu[key] = $4 }
    if (!(key in seen)) { seen[key] = 1; order[++n] = key } }
  END {
    printf "%-44s %-6s %10s %8s %14s\n", "receiver", "assocs", "images/s", "MB/s", "ms CPU/image"
    for (i = 1; i <= n; i++) {
      split(order[i], k, "|")
      # With --exec-sync the time of the sync processes counts too.
      c = sprintf("%.2f", cpu[order[i]])
      printf "%-44s %-6s %10.1f %8.1f %14s\n", k[1], k[2], best[order[i]],
             best[order[i]] * bytes / 1e6, c
    }
    na = split(assocs, list, " ")
    for (j = 1; j <= na; j++) {
      a = list[j]
      v = best["vantor, durable|" a]
      if (a == 1)
        printf "vantor / storescp no flush, 1 assoc:          %5.0f %%\n", 100 * v / best["storescp, no flush|1"]
      printf "vantor / storescp --fork no flush, %d assoc:   %5.0f %%\n", a, 100 * v / best["storescp --fork, no flush|" a]
      printf "vantor / storescp --fork + sync, %d assoc:     %5.0f %%\n", a, 100 * v / best["storescp --fork + sync of file and folder|" a]
      printf "vantor / dd conv=fdatasync, %d assoc:          %5.0f %%\n", a, 100 * v * bytes / 1e6 / dd
      printf "vantor CPU / storescp --fork CPU, %d assoc:    %5.0f %%\n", a, 100 * cpu["vantor, durable|" a] / cpu["storescp --fork, no flush|" a]
      if (("vantor before, durable|" a) in best)
        printf "vantor / vantor before, %d assoc:              %5.0f %%\n", a, 100 * v / best["vantor before, durable|" a]
    }
  }' "$work/results"
