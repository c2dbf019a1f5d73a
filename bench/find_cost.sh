#!/bin/sh
# The service's own cost of repeated one-study C-FINDs, for before/after
# comparisons on a shared machine where clock times are noisy: 101 queries
# by Study Instance UID over one association (the archive of find_bench.sh),
# measured three ways:
#   - the service's CPU time (user + system) for the 101 queries;
#   - its instructions under callgrind, collected only while they run
#     (MODE=callgrind, the default; MODE=none skips it);
#   - with STRACE=1, the file-system calls the service makes meanwhile.
#   sh bench/find_cost.sh [build dir]
set -eu
. "$(dirname "$0")/lib.sh"
bench_start cost "${1:-}"
port=$(free_port)
mode=${MODE:-callgrind}

echo "== building the archive"
new_archive "$work/archive.db"
fill_archive "$work/archive.db" 10000 20000 40000 200000 >/dev/null
write_registry "$work/registry.reg" \
  "DBServer=sqlite:$work/archive.db" "Temp=$work/in/" -- \
  "DCM=$port" "Caption=Vantor cost $port" "CountStudy=0" \
  "DateFormat=YYYY-MM-DD"

queries() {
  TCP_NODELAY=1 findscu -aet FINDSCU -S -k QueryRetrieveLevel=STUDY \
    --repeat 101 -k StudyInstanceUID=1.2.826.0.1.3680043.9.7000 \
    -k PatientName 127.0.0.1 "$port" >/dev/null 2>&1
}

# CPU time, the service running on its own.
start_service "$work" "$port"
queries  # warm: the archive's pages are read once
c0=$(cpu_of "$pid"); queries; c1=$(cpu_of "$pid")
python3 -c "print('service CPU for 101 one-study queries: %.0f ms, %.2f ms per query' % (($c1-$c0)*1000, ($c1-$c0)*1000/101))"
if [ "${STRACE:-0}" = 1 ]; then
  strace -f -e trace=file,desc -o "$work/strace.out" -p "$pid" 2>/dev/null &
  bench_pids="$!"
  sleep 1
  queries
  sleep 0.5
  kill "$bench_pids"; wait "$bench_pids" 2>/dev/null || true; bench_pids=""
  echo "file-system calls of the service during 101 queries (by call):"
  grep -v -e '--- SIG' -e '+++ ' "$work/strace.out" |
    sed -E 's/^[0-9]+ +//; s/\(.*//' | sort | uniq -c | sort -rn | head -20
  echo "paths named:"
  grep -o '"[^"]*"' "$work/strace.out" | sort | uniq -c | sort -rn | head -10
fi
stop_server

if [ "$mode" = callgrind ]; then
  cp "$build/vantor" "$work/vantor"
  valgrind --tool=callgrind --instr-atstart=no \
    --callgrind-out-file="$work/callgrind.out" "$work/vantor" \
    >/dev/null 2>"$work/valgrind.log" &
  pid=$!
  wait_for_port "$port"
  queries
  callgrind_control -i on "$pid" >/dev/null 2>&1
  queries
  callgrind_control -i off "$pid" >/dev/null 2>&1
  stop_server
  python3 - "$work/callgrind.out" <<'PY'
import sys
total = 0
for line in open(sys.argv[1]):
    if line.startswith('summary:') or line.startswith('totals:'):
        total = max(total, int(line.split()[1]))
print('service instructions for 101 one-study queries: %.1f M, %.0f k per query'
      % (total / 1e6, total / 101 / 1e3))
PY
fi
