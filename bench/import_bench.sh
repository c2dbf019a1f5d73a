#!/bin/sh
# Import benchmark: CT images of 512x512 16-bit pixels (explicit little
# endian) in several studies and series, sent by DCMTK's storescu over one
# association and over four at once into the built service with Import off
# and on, and into Orthanc (Debian's package, which files every image in
# its index before it answers), all writing to the same file system.
#   sh bench/import_bench.sh [build dir] [image count] [rounds]
# PROBES=30 sets the number of find-after-store probes; ORTHANC=0 leaves
# Orthanc out (it is installed with apt-get when missing and the script runs
# as root).
#
# Each configuration runs once per round, the rounds alternating between
# the receivers; the best round of each is reported.
#
# Import off: the time until the last storescu returns (every image durable
# in the incoming folder). Import on: that time ("answered"), and the time
# until every image has its rows in the archive and nothing is left in the
# incoming folder or its importing/ folder ("indexed"). Orthanc: the time
# until the last storescu returns; it answers an image only once it is in
# its storage area and its SQLite index.
#
# Then, with Import on and four storescu sending all the time, a probe
# stores one image of a study of its own with storescu and runs findscu
# (STUDY level, by Study Instance UID) until the study is found: the delay
# from storescu's end to the end of the first findscu that finds it. Every
# poll is a findscu of its own, so each delay includes one tool start and
# association; echoscu's median is printed beside it for comparison.
set -eu
. "$(dirname "$0")/lib.sh"
bench_start import-bench "${1:-}"
count=${2:-1000}
rounds=${3:-3}
probes=${PROBES:-30}
with_orthanc=${ORTHANC:-1}
per_study=100
loaders=""
policy_made=""
bench_at_exit() {
  for l in $loaders; do kill "$l" 2>/dev/null || true; done
  for l in $loaders; do wait "$l" 2>/dev/null || true; done
  [ -n "$policy_made" ] && rm -f /usr/sbin/policy-rc.d
}
port=$(free_port)
export TCP_NODELAY=1
uid_root=1.2.826.0.1.3680043.9.99
for tool in storescu findscu echoscu; do
  command -v $tool >/dev/null || { echo "$tool missing (dcmtk)"; exit 1; }
done

# Orthanc from Debian's package, installed here when missing: the bench
# needs it, the build and the tests do not. The package's own service is
# kept from starting during the installation (policy-rc.d); the bench runs
# Orthanc as a process of its own.
orthanc_bin=""
if [ "$with_orthanc" = 1 ]; then
  orthanc_bin=$(command -v Orthanc || true)
  if [ -z "$orthanc_bin" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing Debian's orthanc package"
    if [ ! -e /usr/sbin/policy-rc.d ]; then
      printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
      chmod +x /usr/sbin/policy-rc.d
      policy_made=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends orthanc >/dev/null ||
      { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends orthanc >/dev/null; } || true
    if [ -n "$policy_made" ]; then rm -f /usr/sbin/policy-rc.d; policy_made=""; fi
    orthanc_bin=$(command -v Orthanc || true)
  fi
  [ -n "$orthanc_bin" ] || echo "== Orthanc not available: left out"
fi

echo "== making $count images and $probes probe images"
# series DIR STUDY SERIES COUNT PATIENT: COUNT CT images of one series of
# patient number PATIENT, with the study, patient and series attributes the
# importer files.
series() {
  make_study "$1" "$2" "$3" "$4" \
    --patient-id "IB$5" --patient-name "Bench^Patient$5" \
    --set "StudyDate=2026$(printf %02d $(( ($5 % 12) + 1 )))15" \
    --set StudyTime=101500 --set "AccessionNumber=ACC$5" \
    --set ReferringPhysicianName=Referring^Doctor \
    --set "StudyDescription=Import bench study" \
    --set PatientBirthDate=19600101 --set PatientSex=O \
    --set BodyPartExamined=CHEST --set SliceThickness=1 \
    --set "StudyID=$5" --set SeriesNumber=1 --set SliceLocation=1
}
# Studies of $per_study images in two series; a patient has two studies.
s=0
while [ $((s * per_study)) -lt "$count" ]; do
  left=$((count - s * per_study))
  [ $left -le $per_study ] || left=$per_study
  for r in 0 1; do
    n=$(( (left + 1 - r) / 2 ))
    [ $n -gt 0 ] || continue
    series "$work/images" "$uid_root.20.$s" "$uid_root.21.$s.$r" "$n" $((s / 2))
  done
  s=$((s + 1))
done
studies=$s
# One image per probe, in a study of its own: probes/<k>.dcm.
k=1
while [ $k -le "$probes" ]; do
  series "$work/probes" "$uid_root.30.$k" "$uid_root.31.$k" 1 "9$k"
  mv "$work/probes/$uid_root.31.$k.1.dcm" "$work/probes/$k.dcm"
  k=$((k + 1))
done
# Four equal shares for the parallel runs: share_<k>, round robin.
share_out "$work/images" 4 "$work/share_"
image_bytes=$(stat -c %s "$work/images/$uid_root.21.0.0.1.dcm")

busiest_thread() {  # CPU seconds of the busiest live thread of process $1
  for t in /proc/"$1"/task/*/stat; do cat "$t" 2>/dev/null || true; done |
    sed 's/^.*) //' |
    awk -v hz="$(getconf CLK_TCK)" '{c = ($12 + $13) / hz; if (c > m) m = c} END {print m + 0}'
}

# send ASSOCIATIONS: all images over one association or shared out over
# four at once.
send() {
  if [ "$1" = 1 ]; then
    storescu -q -aet STORESCU -aec "$called" 127.0.0.1 "$port" "$work/images" +sd >/dev/null
  else
    senders=""
    k=0
    while [ $k -lt 4 ]; do
      storescu -q -aet STORESCU -aec "$called" 127.0.0.1 "$port" "$work/share_$k" +sd >/dev/null &
      senders="$senders $!"
      k=$((k + 1))
    done
    for s in $senders; do wait "$s"; done
  fi
}

# A fresh demo archive (its tblArchive row points to $work/arch/archive,
# on the same file system as the incoming folder) and a fresh service.
start_vantor() {  # $1 = Import, $2 = Debug
  rm -rf "$work/in" "$work/prog" "$work/arch"; mkdir -p "$work/in" "$work/prog/drives/c/Temp" "$work/arch"
  "$build/vantor-demo" --schema "$root/archive/schema.sql" "$work/arch" >/dev/null
  write_registry "$work/prog/registry.reg" \
    "DBServer=sqlite:$work/arch/archive.db" "Temp=$work/in/" -- \
    "DCM=$port" "Caption=Vantor import bench $port" \
    "DateFormat=YYYY-MM-DD" "Import=$1" "Debug=$2"
  called=ANY-SCP
  start_service "$work/prog" "$port"
}

start_orthanc() {
  rm -rf "$work/orthanc"; mkdir -p "$work/orthanc"
  cat >"$work/orthanc/config.json" <<JSON
{
  "Name" : "import bench",
  "StorageDirectory" : "$work/orthanc/storage",
  "IndexDirectory" : "$work/orthanc/index",
  "StorageCompression" : false,
  "HttpServerEnabled" : false,
  "DicomServerEnabled" : true,
  "DicomAet" : "ORTHANC",
  "DicomPort" : $port,
  "DicomAlwaysAllowStore" : true,
  "DicomCheckCalledAet" : false,
  "Plugins" : [ ]
}
JSON
  "$orthanc_bin" "$work/orthanc/config.json" >"$work/orthanc/out.log" 2>&1 &
  pid=$!
  called=ORTHANC
  wait_for_port "$port"
}

# Until every image of the run has its rows and the incoming folder and
# importing/ hold no image: prints the moment (date +%s.%N), the rows, the
# images left in failed/ and whether it ended in time.
wait_indexed() {
  python3 - "$work/in" "$work/arch/archive.db" "$count" "$uid_root.21.%" <<'PY'
import os, sqlite3, sys, time
inc, db, n, like = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
def waiting(folder):
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return 0
    return sum(1 for x in names
               if x.endswith('.dcm') or x.endswith('.dcm.ren') or x.endswith('.cae'))
def rows():
    con = sqlite3.connect('file:%s?mode=ro' % db, uri=True, timeout=5)
    try:
        return con.execute('SELECT count(*) FROM tblImages WHERE ImageUID LIKE ?',
                           (like,)).fetchone()[0]
    finally:
        con.close()
deadline = time.monotonic() + 600
done, r = False, 0
while time.monotonic() < deadline:
    if waiting(inc) == 0 and waiting(os.path.join(inc, 'importing')) == 0:
        r = rows()
        if r >= n:
            done = True
            break
        if waiting(os.path.join(inc, 'failed')) + r >= n:
            break
    time.sleep(0.005)
t = time.time()
print('%.6f %d %d %s' % (t, r, waiting(os.path.join(inc, 'failed')) // 2,
                         'ok' if done else 'incomplete'))
PY
}

keep_errors() {  # $1 = label: the service's error log of the run, if any
  for f in "$work"/prog/Logs/ErrorVantor*.log; do
    [ -f "$f" ] || continue
    sed "s|^|$1: |" "$f" >>"$work/errors"
  done
  left=$(find "$work/in" -name '*.dcm' 2>/dev/null | wc -l)
  echo "$1|$left" >>"$work/leftovers"
}

# measure LABEL ASSOCIATIONS: one round of one configuration, appended to
# the results as "LABEL|assocs|images/s answered|images/s indexed|ms CPU
# per image|ms CPU per image of the busiest thread".
measure() {
  label=$1; assocs=$2
  case $label in
    "vantor, Import off") start_vantor 0 0 ;;
    "vantor, Import on") start_vantor 1 0 ;;
    orthanc) start_orthanc ;;
  esac
  before=$(cpu_of "$pid")
  start=$(now)
  send "$assocs"
  answered=$(now)
  indexed=$answered
  if [ "$label" = "vantor, Import on" ]; then
    set -- $(wait_indexed)
    indexed=$1
    if [ "$4" != ok ]; then
      echo "   $label $assocs: only $2 of $count images indexed, $3 in failed/"
      echo "$label $assocs round $round: $2 rows, $3 failed" >>"$work/incomplete"
    fi
  fi
  after=$(cpu_of "$pid")
  thread=$(busiest_thread "$pid")
  stop_server
  case $label in vantor*) keep_errors "$label $assocs round $round" ;; esac
  echo "$label|$assocs|$start|$answered|$indexed|$before|$after|$thread" |
    awk -F'|' -v n="$count" '{printf "%s|%s|%.1f|%.1f|%.2f|%.2f\n", $1, $2,
      n / ($4 - $3), n / ($5 - $3), ($7 - $6) * 1000 / n, $8 * 1000 / n}' \
    >>"$work/results"
  printf '   %-20s %s assoc: %s\n' "$label" "$assocs" "$(tail -1 "$work/results" |
    awk -F'|' '{printf "%s images/s answered, %s indexed", $3, $4}')"
}

disk_rate() {
  dd if=/dev/zero of="$work/dd.bin" bs=1M count=256 conv=fdatasync 2>&1 |
    awk '/copied/ { for (i = 1; i <= NF; i++) if ($i == "copied,") t = $(i + 1);
                    printf "%.1f\n", 256 * 1048576 / t / 1e6 }' >>"$work/dd"
  rm -f "$work/dd.bin"
}

: >"$work/results"
: >"$work/dd"
: >"$work/errors"
: >"$work/leftovers"
round=1
while [ $round -le "$rounds" ]; do
  echo "== round $round of $rounds"
  disk_rate
  for a in 1 4; do
    measure "vantor, Import off" $a
    measure "vantor, Import on" $a
    if [ -n "$orthanc_bin" ]; then measure orthanc $a; fi
  done
  round=$((round + 1))
done

# Find after store, under load: four storescu send the images again and
# again (each image stored anew replaces the archived one) while the probe
# runs; each loader stops after the pass in which the probe ended.
echo "== find after store: $probes probes under 4 associations of load, Import on"
start_vantor 1 0
rm -f "$work/stop"
k=0
while [ $k -lt 4 ]; do
  (
    pass=0
    while [ ! -e "$work/stop" ] && [ $pass -lt 100 ]; do
      storescu -q -aet STORESCU 127.0.0.1 "$port" "$work/share_$k" +sd >/dev/null 2>&1 || true
      pass=$((pass + 1))
    done
  ) &
  loaders="$loaders $!"
  k=$((k + 1))
done
sleep 1
python3 - "$work/probes" "$probes" "$port" "$uid_root.30" >"$work/probe" <<'PY'
import subprocess, sys, time
folder, n, port, study_root = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
def found(study):
    out = subprocess.run(['findscu', '-v', '-S', '-k', 'QueryRetrieveLevel=STUDY',
                          '-k', 'StudyInstanceUID=%s' % study, '-k', 'PatientID',
                          '127.0.0.1', port],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT).stdout
    return b'Pending' in out
for k in range(1, n + 1):
    study = '%s.%d' % (study_root, k)
    subprocess.run(['storescu', '-q', '-aet', 'STORESCU', '127.0.0.1', port,
                    '%s/%d.dcm' % (folder, k)], check=True)
    stored = time.monotonic()
    polls, delay = 0, None
    while polls < 2000 and time.monotonic() - stored < 20:
        polls += 1
        if found(study):
            delay = time.monotonic() - stored
            break
    print('%s %d' % ('%.4f' % delay if delay is not None else 'none', polls), flush=True)
    time.sleep(0.1)
PY
touch "$work/stop"
for l in $loaders; do wait "$l" 2>/dev/null || true; done
loaders=""
echo_ms=$(python3 - "$port" <<'PY'
import statistics, subprocess, sys, time
t = []
for _ in range(11):
    s = time.monotonic()
    subprocess.run(['echoscu', '127.0.0.1', sys.argv[1]], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    t.append((time.monotonic() - s) * 1000)
print('%.1f' % statistics.median(t))
PY
)
set -- $(wait_indexed)
stop_server
keep_errors "find after store"

dd_best=$(sort -n "$work/dd" | tail -1)
echo "== best of $rounds rounds, $count images of $image_bytes bytes in $studies studies"
echo "machine: $(nproc) cores, $(uname -sr); disk: dd conv=fdatasync $dd_best MB/s (best of $rounds)"
awk -F'|' -v bytes="$image_bytes" '
  { key = $1 "|" $2
    if (!(key in ans) || $3 > ans[key]) ans[key] = $3
    if (!(key in idx) || $4 > idx[key]) { idx[key] = $4; cpu[key] = $5; thr[key] = $6 }
    if (!(key in seen)) { seen[key] = 1; order[++n] = key } }
  END {
    printf "%-20s %-6s %18s %18s %12s %12s\n", "receiver", "assocs",
      "answered img/s MB/s", "indexed img/s MB/s", "ms CPU/img", "busiest thr"
    for (i = 1; i <= n; i++) {
      split(order[i], k, "|")
      o = order[i]
      ix = k[1] == "vantor, Import on" ? sprintf("%9.1f %8.1f", idx[o], idx[o] * bytes / 1e6) : "-"
      if (k[1] == "orthanc") ix = sprintf("%9.1f %8.1f", ans[o], ans[o] * bytes / 1e6)
      printf "%-20s %-6s %9.1f %8.1f %18s %12.2f %12.2f\n", k[1], k[2], ans[o],
        ans[o] * bytes / 1e6, ix, cpu[o], thr[o]
    }
    for (a = 1; a <= 4; a += 3) {
      off = ans["vantor, Import off|" a]; on = idx["vantor, Import on|" a]
      printf "%d assoc: Import on (indexed) / Import off: %5.0f %% (target at least 90 %%)\n", a, 100 * on / off
      if (("orthanc|" a) in ans)
        printf "%d assoc: Import on (indexed) / Orthanc:    %5.0f %% (target at least 200 %%)\n", a, 100 * on / ans["orthanc|" a]
    }
  }' "$work/results"
python3 - "$work/probe" "$echo_ms" <<'PY'
import statistics, sys
d, polls, lost = [], [], 0
for line in open(sys.argv[1]):
    v, p = line.split()
    polls.append(int(p))
    if v == 'none':
        lost += 1
    else:
        d.append(float(v) * 1000)
d.sort()
if d:
    p95 = d[max(0, -(-95 * len(d) // 100) - 1)]
    print('find after store, 4 associations of load, Import on: median %.0f ms, '
          '95th percentile %.0f ms, max %.0f ms over %d probes (%d never found); '
          'findscu runs per probe median %d; echoscu alone %s ms (target p95 under 1000 ms)'
          % (statistics.median(d), p95, d[-1], len(d), lost, statistics.median(polls), sys.argv[2]))
else:
    print('find after store: no probe was found')
PY
echo "after the probes: $2 of $count load images with rows, $3 in failed/, $4"
echo "images left in the incoming folder after the runs (Import off keeps them):"
awk -F'|' '{printf "  %s: %s\n", $1, $2}' "$work/leftovers" | grep -v 'Import off' || true
if [ -s "$work/incomplete" ]; then echo "incomplete runs:"; cat "$work/incomplete"; fi
echo "error log lines of the service: $(wc -l <"$work/errors")"
head -20 "$work/errors"
