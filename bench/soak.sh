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
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-600}
loops=${3:-50}
max_rounds=100000
work=$(mktemp -d /tmp/vantor-soak.XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
export TCP_NODELAY=1

echo "== archive, images and service"
sqlite3 "$work/archive.db" <"$root/archive/schema.sql"
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
mkdir -p "$work/images" "$work/in"
i=1
while [ $i -le "$loops" ]; do
  cat >"$work/dump.txt" <<DUMP
(0008,0016) UI =CTImageStorage
(0008,0018) UI [1.2.826.0.1.3680043.9.56.$i]
(0008,0060) CS [CT]
(0010,0010) PN [Soak^Patient]
(0010,0020) LO [S1]
(0020,000d) UI [1.2.826.0.1.3680043.9.56]
(0020,000e) UI [1.2.826.0.1.3680043.9.56.0]
(0028,0002) US 1
(0028,0004) CS [MONOCHROME2]
(0028,0010) US 2
(0028,0011) US 2
(0028,0100) US 16
(0028,0101) US 12
(0028,0102) US 11
(0028,0103) US 0
(7fe0,0010) OW 0000\0001\0002\0003
DUMP
  dump2dcm -q +te "$work/dump.txt" "$work/images/$i.dcm"
  i=$((i + 1))
done
cp "$build/vantor" "$work/vantor"
cat >"$work/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]
"DBServer"="sqlite:$work/archive.db"
"Temp"="$work/in/"

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]
"DCM"="$port"
"Caption"="Vantor soak $port"
REG
"$work/vantor" >/dev/null 2>&1 &
pid=$!
i=0
while ! echoscu 127.0.0.1 "$port" >/dev/null 2>&1; do
  i=$((i + 1)); [ $i -lt 100 ] || { echo "service did not start"; exit 1; }
  sleep 0.1
done

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
      "$work/images/$1.dcm" >"$out" 2>&1
    echo "store $(outcome $? "$out")"
    set -e
    r=$((r + 1))
  done >"$work/tally.$1"
}

echo "== $loops loops for $seconds s"
started=$(date +%s)
k=1
loop_pids=""
while [ $k -le "$loops" ]; do
  soak_loop $k &
  loop_pids="$loop_pids $!"
  k=$((k + 1))
done
for p in $loop_pids; do wait "$p" || true; done
elapsed=$(( $(date +%s) - started ))
# Let finished associations wind down before the descriptors are counted.
sleep 3
echo "end after ${elapsed} s: RSS $(rss), $(fds) descriptors, $(threads) threads, $(records) association records"
kill -0 "$pid" 2>/dev/null || { echo "the service died"; exit 1; }
cat "$work"/tally.* | sort | uniq -c | awk '{printf "  %-6s %-8s %d\n", $2, $3, $1}'
errors=$(cat "$work"/tally.* | grep -c " error$" || true)
echo "incoming files: $(ls "$work/in" | wc -l); errors: $errors"
