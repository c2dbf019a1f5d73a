#!/bin/sh
# C-GET and C-MOVE benchmark: one study of 200 images of 512x512 16-bit
# pixels (100 MiB of pixel data), served by the built service and by DCMTK's
# dcmqrscp from the same files, fetched with getscu and moved with movescu
# to a storescp destination (both receivers with --ignore: nothing is
# written on arrival). Each figure is the best of five rounds; a C-MOVE
# counts until the last image has arrived at the destination (the service
# answers the C-MOVE at once and its sender delivers afterwards: the figure
# runs until the sender's return file is there).
#   sh bench/retrieve_bench.sh [build dir] [image count]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
count=${2:-200}
runs=${RUNS:-5}
study=1.2.826.0.1.3680043.9.98.1
series=$study.1
work=$(mktemp -d /tmp/vantor-retrieve-bench.XXXXXX)
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  [ -n "${KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT INT TERM
free_port() {
  python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'
}
vport=$(free_port)
qport=$(free_port)
dport=$(free_port)
export TCP_NODELAY=1

now() { date +%s.%N; }
wait_for_port() {  # port [called AE title]
  i=0
  while ! echoscu -aec "${2:-ANY-SCP}" 127.0.0.1 "$1" >/dev/null 2>&1; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "no listener on $1"; cat "$work/qr.log" 2>/dev/null; exit 1; }
    sleep 0.1
  done
}

echo "== making $count images"
mkdir -p "$work/archive/ST1"
"$build/make-study" --dir "$work/archive/ST1" --study-uid $study \
  --series-uid $series --count "$count" --rows 512 --cols 512
bytes=$((count * 512 * 512 * 2))

echo "== archive database and service"
sqlite3 "$work/archive.db" <"$root/archive/schema.sql"
{
  echo "BEGIN;"
  echo "INSERT INTO tblPatienten (PATID, PATID1, PATNachname) VALUES (1, 'BENCH1', 'Bench');"
  echo "INSERT INTO tblArchive (ArchiveID, ArchivePath) VALUES (1, '$work/archive');"
  echo "INSERT INTO tblStudies (StudyID, StudyUID, FKeyPatID, FKeyArchiveID, StudyDirectory1) VALUES (1, '$study', 1, 1, 'ST1');"
  echo "INSERT INTO tblSeries (SeriesID, SeriesUID, FKeyStudyID) VALUES (1, '$series', 1);"
  i=1
  while [ $i -le "$count" ]; do
    echo "INSERT INTO tblImages (ImageUID, FKeySeriesID, ImageNr) VALUES ('$series.$i', 1, $i);"
    i=$((i + 1))
  done
  for aet in GETSCU MOVESCU; do
    echo "INSERT INTO tblDicomAETs (AET, IPAdress, IPPort, CallingAET, CallingHostName) VALUES ('$aet', '127.0.0.1', 0, '$aet', 'localhost');"
  done
  echo "INSERT INTO tblDicomAETs (AET, IPAdress, IPPort, CallingAET, CallingHostName) VALUES ('DEST', '127.0.0.1', $dport, 'DEST', 'localhost');"
  echo "COMMIT;"
} | sqlite3 "$work/archive.db"

mkdir -p "$work/prog/drives/c/Temp"
cp "$build/vantor" "$build/vantor-send" "$work/prog/"
cat >"$work/prog/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]
"DBServer"="sqlite:$work/archive.db"
"Temp"="$work/in/"
"Unzip"="$work/unzip/"

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]
"DCM"="$vport"
"Caption"="Vantor retrieve bench $vport"
REG
mkdir -p "$work/in" "$work/unzip"
"$work/prog/vantor" >/dev/null 2>&1 &
pids="$pids $!"

echo "== dcmqrscp with the same files"
mkdir -p "$work/qr/db"
cat >"$work/qr/dcmqrscp.cfg" <<CFG
NetworkTCPPort = $qport
MaxPDUSize = 16384
MaxAssociations = 16

HostTable BEGIN
getscu = (GETSCU, 127.0.0.1, 0)
movescu = (MOVESCU, 127.0.0.1, 0)
dest = (DEST, 127.0.0.1, $dport)
HostTable END

VendorTable BEGIN
VendorTable END

AETable BEGIN
QRSCP $work/qr/db RW (10000, 4096mb) ANY
AETable END
CFG
dcmqridx "$work/qr/db" "$work/archive/ST1/"*.dcm
dcmqrscp -c "$work/qr/dcmqrscp.cfg" >"$work/qr.log" 2>&1 &
pids="$pids $!"

# Receivers take the images but do not write them, so that the disk does not
# blur the figures.
storescp --ignore -aet DEST "$dport" >/dev/null 2>&1 &
pids="$pids $!"
wait_for_port "$vport"
wait_for_port "$qport" QRSCP
wait_for_port "$dport"

# get PORT CALLED: seconds of one run
get() {
  start=$(now)
  getscu -v --ignore -S -aet GETSCU -aec "$2" \
    -k QueryRetrieveLevel=STUDY -k StudyInstanceUID=$study 127.0.0.1 "$1" \
    >"$work/tool.log" 2>&1
  end=$(now)
  grep -q "Number of Completed Suboperations : $count\$" "$work/tool.log" ||
    { echo "getscu from $1 did not get $count images" >&2; exit 1; }
  echo "$start $end" | awk '{print $2 - $1}'
}

# move PORT CALLED: seconds of one run, until every image has been stored at
# the destination: for dcmqrscp when movescu returns (it answers once its
# sub-operations are done), for the service when its sender has written the
# return file (after the last C-STORE response). The wait polls with shell
# built-ins only, so that it takes no processor time from the transfer.
move() {
  rm -f "$work/prog/drives/c/Temp"/Return*
  start=$(now)
  movescu -v -S -aet MOVESCU -aec "$2" -aem DEST \
    -k QueryRetrieveLevel=STUDY -k StudyInstanceUID=$study 127.0.0.1 "$1" \
    >"$work/tool.log" 2>&1
  if [ "$1" = "$vport" ]; then
    i=0
    while :; do
      for f in "$work/prog/drives/c/Temp"/Return*; do [ -e "$f" ] && break 2; done
      i=$((i + 1)); [ $i -lt 12000 ] || { echo "no return file" >&2; exit 1; }
      sleep 0.01
    done
    end=$(now)
    grep -q "^Completed=$count" "$f" ||
      { echo "the sender did not send $count images" >&2; exit 1; }
  else
    end=$(now)
    [ "$(grep -c "Move Response .* (Pending)" "$work/tool.log")" -eq "$count" ] &&
      grep -q "Final Move Response (Success)" "$work/tool.log" ||
      { echo "dcmqrscp did not move $count images" >&2; exit 1; }
  fi
  # The sender's last step (removing its job file) before the next run.
  sleep 0.3
  echo "$start $end" | awk '{print $2 - $1}'
}

least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }

# Rounds alternate between the two servers, so that both meet the same load
# of the machine; the best of each is kept.
echo "== measuring ($runs rounds, best shown)"
vg="" qg="" vm="" qm=""
r=0
while [ $r -lt $runs ]; do
  vg=$(least "$vg" "$(get "$vport" ANY-SCP)")
  qg=$(least "$qg" "$(get "$qport" QRSCP)")
  vm=$(least "$vm" "$(move "$vport" ANY-SCP)")
  qm=$(least "$qm" "$(move "$qport" QRSCP)")
  r=$((r + 1))
done

echo
printf '%-8s %-10s %9s %10s %9s %12s\n' "" "server" "seconds" "images/s" "MB/s" "vs dcmqrscp"
row() {  # op server seconds peer_seconds
  echo "$1 $2 $3 $4 $count $bytes" | awk '{printf "%-8s %-10s %9.2f %10.1f %9.1f %11.0f%%\n", $1, $2, $3, $5 / $3, $6 / $3 / 1e6, 100 * $4 / $3}'
}
row C-GET vantor "$vg" "$qg"
row C-GET dcmqrscp "$qg" "$qg"
row C-MOVE vantor "$vm" "$qm"
row C-MOVE dcmqrscp "$qm" "$qm"
