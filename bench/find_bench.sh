#!/bin/sh
# C-FIND benchmark: an SQLite archive of 10,000 patients, 20,000 studies and
# 200,000 images, served by the built service on a loopback port, queried by
# DCMTK's findscu. Prints one line per measurement.
#   sh bench/find_bench.sh [build dir]
set -eu
. "$(dirname "$0")/lib.sh"
bench_start bench "${1:-}"
port=$(free_port)

echo "== building the archive"
new_archive "$work/archive.db"
fill_archive "$work/archive.db" 10000 20000 40000 200000

# open_trips LABEL STUDY-UID: the round trip of the query itself, 101
# queries for one study over one association, timed from findscu's own log
# (request sent to final response received), and the service's CPU per
# query over them.
open_trips() {
  oc0=$(cpu_of "$pid")
  TCP_NODELAY=1 findscu -aet FINDSCU -S -k QueryRetrieveLevel=STUDY -lc "$work/log.cfg" --repeat 101 -k StudyInstanceUID=$2 -k PatientName 127.0.0.1 "$port" 2>&1 |
    python3 -c "
import re, statistics, sys
def t(line):
    h, m, s, ms, us = re.match(r'(\d+):(\d+):(\d+)\.(\d+)\.(\d+)', line).groups()
    return ((int(h) * 60 + int(m)) * 60 + int(s)) * 1000 + int(ms) + int(us) / 1000
sent, trips = None, []
for line in sys.stdin:
    if 'Sending Find Request' in line: sent = t(line)
    elif 'Final Find Response' in line and sent is not None: trips.append(t(line) - sent); sent = None
p95 = sorted(trips)[int(0.95 * len(trips)) - 1]
print('$who$1 one study by UID on an open association: median %.2f ms, 95th percentile %.2f ms over %d queries' % (statistics.median(trips), p95, len(trips)))"
  oc1=$(cpu_of "$pid")
  python3 -c "print('$who$1 one study by UID on an open association: service CPU %.2f ms per query' % (($oc1 - $oc0) * 1000 / 101))"
}

run_bench() {  # $1 = CountStudy
  write_registry "$work/registry.reg" \
    "DBServer=sqlite:$work/archive.db" "Temp=$work/in/" -- \
    "DCM=$port" "Caption=Vantor bench $port" "CountStudy=$1" \
    "DateFormat=YYYY-MM-DD"
  start_service "$work" "$port"
  find() {
    TCP_NODELAY=1 findscu -aet FINDSCU -S -k QueryRetrieveLevel=STUDY "$@" 127.0.0.1 "$port" 2>&1
  }

  # The freshly started service's peak memory before and after its first
  # all-studies query: what the query itself needs.
  rss0=$(peak_rss_of "$pid")
  c0=$(cpu_of "$pid")
  t0=$(now); n=$(find -k PatientName -k StudyInstanceUID -k StudyDate -v | grep -c 'Find Response.*Pending' || true); t1=$(now)
  c1=$(cpu_of "$pid")
  rss1=$(peak_rss_of "$pid")
  python3 -c "d=$t1-$t0;print('${who}CountStudy=$1 all studies: %d responses in %.2f s, %.0f responses/s'%($n,d,$n/d))"
  # The service's own CPU time for it: what a busy machine disturbs least.
  python3 -c "c=$c1-$c0;print('${who}CountStudy=$1 all studies: service CPU %.2f s, %.0f responses per CPU second'%(c,$n/c if c>0 else 0))"
  # The client's own CPU for the same query (findscu printing each response
  # with -v, as above): with the service's CPU it shows which side bounds
  # the rate on this machine.
  python3 - "$port" <<PY
import resource, subprocess, sys
before = resource.getrusage(resource.RUSAGE_CHILDREN)
subprocess.run(["findscu", "-aet", "FINDSCU", "-S", "-k", "QueryRetrieveLevel=STUDY",
                "-k", "PatientName", "-k", "StudyInstanceUID", "-k", "StudyDate", "-v",
                "127.0.0.1", sys.argv[1]], stdout=subprocess.DEVNULL,
               stderr=subprocess.DEVNULL, env={"TCP_NODELAY": "1", "PATH": "/usr/bin:/bin"})
after = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
print("${who}CountStudy=$1 all studies: findscu's own CPU %.2f s" % cpu)
PY
  echo "${who}CountStudy=$1 all studies: service peak RSS (VmHWM) $rss0 kB after start, $rss1 kB after the query (+$((rss1 - rss0)) kB)"
  # The first response's latency: from findscu's own log, the request sent
  # to the first pending response received (median of 5 queries).
  lat=""
  for k in 1 2 3 4 5; do
    lat="$lat $(find -lc "$work/log.cfg" -k PatientName -k StudyInstanceUID -k StudyDate |
      python3 -c "
import re, sys
def t(line):
    h, m, s, ms, us = re.match(r'(\d+):(\d+):(\d+)\.(\d+)\.(\d+)', line).groups()
    return ((int(h) * 60 + int(m)) * 60 + int(s)) * 1000 + int(ms) + int(us) / 1000
sent = first = None
for line in sys.stdin:
    if sent is None and 'Sending Find Request' in line: sent = t(line)
    elif sent is not None and first is None and 'Find Response' in line: first = t(line)
print(first - sent)")"
  done
  python3 -c "import statistics;print('${who}CountStudy=$1 all studies: first response after %.1f ms (median of 5, request sent to first response received)'%statistics.median([float(x) for x in '$lat'.split()]))"
  t0=$(now); n=$(find -k 'PatientName=Name12*' -k StudyInstanceUID -v | grep -c 'Pending' || true); t1=$(now)
  python3 -c "print('${who}CountStudy=$1 name prefix Name12*: %d responses in %.3f s'%($n,$t1-$t0))"
  lat=""
  for k in 1 2 3 4 5 6 7 8 9 10 11; do
    t0=$(now); find -k StudyInstanceUID=1.2.826.0.1.3680043.9.$((k * 1000)) -k PatientName >/dev/null; t1=$(now)
    lat="$lat $(python3 -c "print(($t1-$t0)*1000)")"
  done
  python3 -c "import statistics;print('${who}CountStudy=$1 one study by UID, own findscu each: median %.1f ms (findscu start and association included)'%statistics.median([float(x) for x in '$lat'.split()]))"
  lat=""
  for k in 1 2 3 4 5 6 7 8 9 10 11; do
    t0=$(now); TCP_NODELAY=1 echoscu 127.0.0.1 "$port" >/dev/null 2>&1; t1=$(now)
    lat="$lat $(python3 -c "print(($t1-$t0)*1000)")"
  done
  python3 -c "import statistics;print('${who}CountStudy=$1 echoscu for comparison (tool start and association, no query): median %.1f ms'%statistics.median([float(x) for x in '$lat'.split()]))"
  open_trips "CountStudy=$1" 1.2.826.0.1.3680043.9.7000
  t0=$(now)
  clients=""
  for c in 1 2 3 4 5 6 7 8; do
    find -k "PatientName=Name$c*" -k StudyInstanceUID -v >"$work/client$c.out" &
    clients="$clients $!"
  done
  for j in $clients; do wait "$j" || true; done
  t1=$(now)
  n=$(cat "$work"/client*.out | grep -c 'Pending' || true)
  python3 -c "print('${who}CountStudy=$1 8 parallel prefix queries: %d responses in %.2f s for all'%($n,$t1-$t0))"
  stop_server
}

cat >"$work/log.cfg" <<'CFG'
log4cplus.rootLogger = INFO, console
log4cplus.appender.console = log4cplus::ConsoleAppender
log4cplus.appender.console.layout = log4cplus::PatternLayout
log4cplus.appender.console.layout.ConversionPattern = %D{%H:%M:%S.%Q} %m%n
CFG
# A small archive beside the large one: the fixed cost of a query.
small() {
  write_registry "$work/registry.reg" \
    "DBServer=sqlite:$work/small.db" "Temp=$work/in/" -- \
    "DCM=$port" "Caption=Vantor bench $port" "DateFormat=YYYY-MM-DD"
  start_service "$work" "$port"
  open_trips "small archive (100 studies)" 1.2.826.0.1.3680043.9.50
  stop_server
}
new_archive "$work/small.db"
fill_archive "$work/small.db" 50 100 >/dev/null

echo "== machine: $(nproc) cores, $(uname -sr)"
# BASELINE=<build dir> runs an earlier build of the service beside this one.
for who in "" ${BASELINE:+before}; do
  service_build=""
  if [ -n "$who" ]; then service_build=$BASELINE; who="$who: "; fi
  small
  run_bench 0
  run_bench 1
done
