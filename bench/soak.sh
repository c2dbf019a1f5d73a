#!/bin/sh
# Soak: 50 parallel loops (more than the association bound of 32) of C-ECHO,
# C-FIND and C-STORE against the built service on a loopback port, for a
# fixed time and a fixed most number of rounds per loop. Counts successes,
# refusals with temporary congestion and errors, and reads the service's
# RSS and open descriptors at the start and at the end.
#   sh bench/soak.sh [build dir] [seconds] [loops]
# Defaults: build/, 600 s, 50 loops. Each loop stops after its deadline or
# after 100,000 rounds, whichever comes first.
set -eu
. "$(dirname "$0")/lib.sh"
bench_start soak "${1:-}"
seconds=${2:-600}
loops=${3:-50}
max_rounds=100000
port=$(free_port)
export TCP_NODELAY=1

echo "== archive, images and service"
new_archive "$work/archive.db"
sqlite3 "$work/archive.db" <<'SQL'
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<200)
INSERT INTO tblPatienten (PATID, PATID1, PATNachname, PATVorname, PATGebDatum, PATGeschlecht)
SELECT i, 'S' || i, 'Soak' || (i % 17), 'First', date('1950-01-01', '+' || i || ' days'), 'O' FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<400)
INSERT INTO tblStudies (StudyID, StudyUID, FKeyPatID, StudyDate, StudyTime, StudyDescription, Modality)
SELECT i, '1.2.826.0.1.3680043.9.55.' || i, 1 + (i % 200), date('2020-01-01', '+' || i || ' days'),
       '10:00:00', 'Soak ' || i, 'CT' FROM n;
INSERT INTO tblDicomAETs (AET, IPAdress, IPPort, AETSiemens, InternalID, StoreOnly)
VALUES ('SOAK', '127.0.0.1', 104, 0, 0, 0);
SQL
# One small image per loop: a loop stores its own image again and again, so
# the incoming folder holds at most one file pair per loop.
mkdir -p "$work/in"
images="$work/images"
soak_series=1.2.826.0.1.3680043.9.56.0
make_study "$images" 1.2.826.0.1.3680043.9.56 "$soak_series" "$loops" \
  --rows 2 --cols 2 --patient-id S1 --patient-name Soak^Patient
write_registry "$work/registry.reg" \
  "DBServer=sqlite:$work/archive.db" "Temp=$work/in/" -- \
  "DCM=$port" "Caption=Vantor soak $port"
start_service "$work" "$port"

rss() { awk '/^VmRSS/ {print $2 " kB"}' "/proc/$pid/status"; }
fds() { ls "/proc/$pid/fd" | wc -l; }
threads() { awk '/^Threads/ {print $2}' "/proc/$pid/status"; }
records() { ls "$work/Associations/$port" 2>/dev/null | wc -l; }
echo "start: RSS $(rss), $(fds) descriptors, $(threads) threads"

# One outcome word per request: ok, refused (temporary congestion), error.
outcome() {  # $1 = exit code, $2 = output file
  if grep -q "Association Rejected" "$2"; then echo refused
  elif [ "$1" -eq 0 ] && ! grep -qE "^E: |error status|Failed" "$2"; then echo ok
  else echo error; fi
}
soak_loop() {  # $1 = loop number
  deadline=$(( $(date +%s) + seconds ))
  out="$work/out.$1"
  r=0
  while [ $r -lt $max_rounds ] && [ "$(date +%s)" -lt "$deadline" ]; do
    set +e
    echoscu -to 20 -ta 20 -td 20 127.0.0.1 "$port" >"$out" 2>&1
    echo "echo $(outcome $? "$out")"
    findscu -S -to 20 -ta 20 -td 20 -aet SOAK -k QueryRetrieveLevel=STUDY \
      -k "PatientName=Soak$(( r % 17 ))*" -k StudyInstanceUID \
      127.0.0.1 "$port" >"$out" 2>&1
    echo "find $(outcome $? "$out")"
    storescu -to 20 -ta 20 -td 20 -aet SOAK 127.0.0.1 "$port" \
      "$images/$soak_series.$1.dcm" >"$out" 2>&1
    echo "store $(outcome $? "$out")"
    set -e
    r=$((r + 1))
  done >"$work/tally.$1"
}

# The service's RSS once a minute, for as long as the loops run.
rss_sampler() {
  m=0
  while [ $m -le $(( seconds / 60 + 1 )) ] && kill -0 "$pid" 2>/dev/null; do
    echo "$m $(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")"
    m=$((m + 1))
    sleep 60
  done >"$work/rss"
}

echo "== $loops loops for $seconds s"
rss_sampler &
sampler=$!
bench_pids="$bench_pids $sampler"
started=$(date +%s)
k=1
loop_pids=""
while [ $k -le "$loops" ]; do
  soak_loop $k &
  loop_pids="$loop_pids $!"
  bench_pids="$bench_pids $!"
  k=$((k + 1))
done
for p in $loop_pids; do wait "$p" || true; done
elapsed=$(( $(date +%s) - started ))
kill "$sampler" 2>/dev/null || true
echo "RSS by minute (kB):"
awk '{printf "  %3d min %8d\n", $1, $2}' "$work/rss"
# Let finished associations wind down before the descriptors are counted.
sleep 3
echo "end after ${elapsed} s: RSS $(rss), $(fds) descriptors, $(threads) threads, $(records) association records"
kill -0 "$pid" 2>/dev/null || { echo "the service died"; exit 1; }
cat "$work"/tally.* | sort | uniq -c | awk '{printf "  %-6s %-8s %d\n", $2, $3, $1}'
errors=$(cat "$work"/tally.* | grep -c " error$" || true)
echo "incoming files: $(ls "$work/in" | wc -l); errors: $errors"
