#!/bin/sh
# C-GET and C-MOVE benchmark: studies of 512x512 16-bit images (by default
# one of 50 images and one of 5), served by the built service and by DCMTK's
# dcmqrscp from the same files, fetched with getscu and moved with movescu
# to a storescp destination (both receivers with --ignore: nothing is
# written on arrival). Each figure is the best of RUNS rounds (5); a C-MOVE
# counts until its final response, which both servers send once the last
# image has been stored at the destination.
#
# Beside each figure the server's CPU per image, in milliseconds: user and
# system time from /proc of the server process and of its children once they
# have ended and been collected (Vantor's senders, dcmqrscp's process per
# association), measured over a pass of its own after the timed rounds, of at
# least CPU_IMAGES images (250) per server, operation and study.
#   sh bench/retrieve_bench.sh [build dir] [image counts, e.g. "50 5"]
set -eu
. "$(dirname "$0")/lib.sh"
bench_start retrieve-bench "${1:-}"
counts=${2:-50 5}
runs=${RUNS:-5}
vport=$(free_port)
qport=$(free_port)
dport=$(free_port)
export TCP_NODELAY=1

# Study k holds the k-th count of images, in folder STk.
study_uid() { echo "1.2.826.0.1.3680043.9.98.$1"; }
{
  echo "BEGIN;"
  echo "INSERT INTO tblPatienten (PATID, PATID1, PATNachname) VALUES (1, 'BENCH1', 'Bench');"
  echo "INSERT INTO tblArchive (ArchiveID, ArchivePath) VALUES (1, '$work/archive');"
  for aet in GETSCU MOVESCU; do
    echo "INSERT INTO tblDicomAETs (AET, IPAdress, IPPort, CallingAET, CallingHostName) VALUES ('$aet', '127.0.0.1', 0, '$aet', 'localhost');"
  done
  echo "INSERT INTO tblDicomAETs (AET, IPAdress, IPPort, CallingAET, CallingHostName) VALUES ('DEST', '127.0.0.1', $dport, 'DEST', 'localhost');"
  echo "COMMIT;"
} >"$work/archive.sql"
k=0
for count in $counts; do
  k=$((k + 1))
  study=$(study_uid $k)
  series=$study.1
  echo "== making study $k: $count images"
  make_study "$work/archive/ST$k" "$study" "$series" "$count" \
    --rows 512 --cols 512
  {
    echo "BEGIN;"
    echo "INSERT INTO tblStudies (StudyID, StudyUID, FKeyPatID, FKeyArchiveID, StudyDirectory1) VALUES ($k, '$study', 1, 1, 'ST$k');"
    echo "INSERT INTO tblSeries (SeriesID, SeriesUID, FKeyStudyID) VALUES ($k, '$series', $k);"
    i=1
    while [ $i -le "$count" ]; do
      echo "INSERT INTO tblImages (ImageUID, FKeySeriesID, ImageNr) VALUES ('$series.$i', $k, $i);"
      i=$((i + 1))
    done
    echo "COMMIT;"
  } >>"$work/archive.sql"
done

echo "== archive database and service"
new_archive "$work/archive.db"
sqlite3 "$work/archive.db" <"$work/archive.sql"

mkdir -p "$work/prog/drives/c/Temp"
cp "$build/vantor-send" "$work/prog/"
write_registry "$work/prog/registry.reg" \
  "DBServer=sqlite:$work/archive.db" "Temp=$work/in/" "Unzip=$work/unzip/" -- \
  "DCM=$vport" "Caption=Vantor retrieve bench $vport"
mkdir -p "$work/in" "$work/unzip"
start_service "$work/prog" "$vport"

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
dcmqridx "$work/qr/db" "$work/archive/"ST*/*.dcm
dcmqrscp -c "$work/qr/dcmqrscp.cfg" >"$work/qr.log" 2>&1 &
qpid=$!
bench_pids="$bench_pids $qpid"

# Receivers take the images but do not write them, so that the disk does not
# blur the figures.
storescp --ignore -aet DEST "$dport" >/dev/null 2>&1 &
bench_pids="$bench_pids $!"
wait_for_port "$qport" QRSCP || { cat "$work/qr.log"; exit 1; }
wait_for_port "$dport"

# get PORT CALLED STUDY COUNT: seconds of one run
get() {
  start=$(now)
  getscu -v --ignore -S -aet GETSCU -aec "$2" \
    -k QueryRetrieveLevel=STUDY -k StudyInstanceUID="$3" 127.0.0.1 "$1" \
    >"$work/tool.log" 2>&1
  end=$(now)
  grep -q "Number of Completed Suboperations : $4\$" "$work/tool.log" ||
    { echo "getscu from $1 did not get $4 images" >&2; exit 1; }
  echo "$start $end" | awk '{print $2 - $1}'
}

# move PORT CALLED STUDY COUNT: seconds of one run, until the final response
# (both servers send it once the last image is stored at the destination).
move() {
  rm -f "$work/prog/drives/c/Temp"/Return*
  start=$(now)
  movescu -v -S -aet MOVESCU -aec "$2" -aem DEST \
    -k QueryRetrieveLevel=STUDY -k StudyInstanceUID="$3" 127.0.0.1 "$1" \
    >"$work/tool.log" 2>&1
  end=$(now)
  grep -q "Final Move Response (Success)" "$work/tool.log" ||
    { echo "the C-MOVE from $1 did not succeed" >&2; cat "$work/tool.log" >&2; exit 1; }
  if [ "$1" = "$vport" ]; then
    # What the sender reported in its return file.
    grep -q "^Completed=$4" "$work/prog/drives/c/Temp"/Return* ||
      { echo "the sender did not send $4 images" >&2; exit 1; }
    # The sender's last step (removing its job file) before the next run.
    sleep 0.2
  else
    [ "$(grep -c "Move Response .* (Pending)" "$work/tool.log")" -eq "$4" ] ||
      { echo "dcmqrscp did not move $4 images" >&2; exit 1; }
  fi
  echo "$start $end" | awk '{print $2 - $1}'
}

# CPU milliseconds of process $1 and of its children that ended and were
# collected: utime, stime, cutime and cstime.
cpu_ms() {
  awk -v hz="$(getconf CLK_TCK)" '{printf "%.0f\n", ($14 + $15 + $16 + $17) * 1000 / hz}' "/proc/$1/stat"
}

# Waits (at most 10 s) until process $1 has no child left but those named
# in $2 (a pattern of pgrep; "" for none): dcmqrscp collects the process of
# an association a moment after its end.
children_collected() {
  _tries=0
  while :; do
    _left=$(pgrep -P "$1" | while read -r _c; do
      if [ -n "$2" ] && grep -qE "$2" "/proc/$_c/comm" 2>/dev/null; then :; else echo "$_c"; fi
    done)
    [ -n "$_left" ] || return 0
    _tries=$((_tries + 1))
    [ $_tries -lt 100 ] || { echo "children of $1 not collected: $_left" >&2; return 1; }
    sleep 0.1
  done
}

# cpu_per_image OP PORT CALLED STUDY COUNT SERVER-PID [KEEP]: the server's CPU
# milliseconds per image over enough rounds of OP (get or move) for
# CPU_IMAGES images; KEEP names children that stay (Vantor's waiting sender).
cpu_per_image() {
  _rounds=$(( (${CPU_IMAGES:-250} + $5 - 1) / $5 ))
  [ "$_rounds" -ge "$runs" ] || _rounds=$runs
  children_collected "$6" "${7:-}"
  _before=$(cpu_ms "$6")
  _r=0
  while [ $_r -lt "$_rounds" ]; do
    "$1" "$2" "$3" "$4" "$5" >/dev/null
    _r=$((_r + 1))
  done
  children_collected "$6" "${7:-}"
  _after=$(cpu_ms "$6")
  echo "$_before $_after $_rounds $5" | awk '{printf "%.2f\n", ($2 - $1) / ($3 * $4)}'
}

least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }

row() {  # op count server seconds peer_seconds cpu_ms_per_image
  echo "$1 $2 $3 $4 $5 $(($2 * 512 * 512 * 2)) $6" | awk '{printf "%-8s %-7s %-10s %9.3f %10.1f %9.1f %11.0f%% %13.2f\n", $1, $2, $3, $4, $2 / $4, $6 / $4 / 1e6, 100 * $5 / $4, $7}'
}

# Rounds alternate between the two servers, so that both meet the same load
# of the machine; the best of each is kept.
results=""
k=0
for count in $counts; do
  k=$((k + 1))
  study=$(study_uid $k)
  echo "== study $k ($count images): $runs timed rounds"
  vg="" qg="" vm="" qm=""
  r=0
  while [ $r -lt $runs ]; do
    vg=$(least "$vg" "$(get "$vport" ANY-SCP "$study" "$count")")
    qg=$(least "$qg" "$(get "$qport" QRSCP "$study" "$count")")
    vm=$(least "$vm" "$(move "$vport" ANY-SCP "$study" "$count")")
    qm=$(least "$qm" "$(move "$qport" QRSCP "$study" "$count")")
    r=$((r + 1))
  done
  for v in "$vg" "$qg" "$vm" "$qm"; do
    [ -n "$v" ] || { echo "a run failed (see above)" >&2; exit 1; }
  done
  echo "== study $k ($count images): CPU per image"
  # The service keeps one sender waiting for the next C-MOVE.
  vgc=$(cpu_per_image get "$vport" ANY-SCP "$study" "$count" "$pid" vantor-standby)
  qgc=$(cpu_per_image get "$qport" QRSCP "$study" "$count" "$qpid")
  vmc=$(cpu_per_image move "$vport" ANY-SCP "$study" "$count" "$pid" vantor-standby)
  qmc=$(cpu_per_image move "$qport" QRSCP "$study" "$count" "$qpid")
  results="$results
$(row C-GET "$count" vantor "$vg" "$qg" "$vgc")
$(row C-GET "$count" dcmqrscp "$qg" "$qg" "$qgc")
$(row C-MOVE "$count" vantor "$vm" "$qm" "$vmc")
$(row C-MOVE "$count" dcmqrscp "$qm" "$qm" "$qmc")"
done
echo
printf '%-8s %-7s %-10s %9s %10s %9s %12s %13s\n' "" "images" "server" "seconds" "images/s" "MB/s" "vs dcmqrscp" "CPU ms/image"
echo "$results" | sed '/^$/d'
