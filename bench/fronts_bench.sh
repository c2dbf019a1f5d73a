#!/bin/sh
# Ingest and C-FIND through HAProxy with one and with two fronts on one
# PostgreSQL archive (the example deployment of packaging/cluster), with the
# CPU seconds of the fronts and of the database server beside the rates, so
# that a reader sees where the bound is. Everything runs on this machine.
#   sh bench/fronts_bench.sh [build dir]
# IMAGES (800) images of 256x256 pixels sent by 4 storescu at once; 4
# findscu at once asking QUERIES (250) times each for one study by UID.
set -eu
. "$(dirname "$0")/lib.sh"
bench_start fronts "${1:-}"
images=${IMAGES:-800}
queries=${QUERIES:-250}
cluster="$work/cluster"
bench_at_exit() { bash "$root/packaging/cluster/down.sh" "$cluster" >/dev/null 2>&1 || true; }
chmod 755 "$work"

study=1.2.826.0.1.3680043.9.79.1
make_study "$work/images" "$study" "$study.1" "$images" --rows 256 --cols 256 >/dev/null
share_out "$work/images" 4 "$work/part"

# CPU seconds of a process and of its children, those that ended (reaped)
# included.
cpu_tree() {
  _hz=$(getconf CLK_TCK)
  _sum=$(awk '{print $14 + $15 + $16 + $17}' "/proc/$1/stat")
  for _c in $(ps -o pid= --ppid "$1"); do
    _sum=$(awk -v s="$_sum" '{print s + $14 + $15}' "/proc/$_c/stat" 2>/dev/null || echo "$_sum")
  done
  python3 -c "print($_sum / $_hz)"
}

cpu_all() {  # the fronts' CPU, the database's CPU
  _fronts=0
  for _f in $front_pids; do
    _fronts=$(python3 -c "print($_fronts + $(cpu_tree "$_f"))")
  done
  echo "$_fronts $(cpu_tree "$pg_pid")"
}

metric_sum() {  # the sum over the fronts of a metric sample
  _total=0
  for _h in $health_ports; do
    _v=$(curl -s "http://127.0.0.1:$_h/metrics" | awk -v m="$1" '$1 == m {print $2}')
    _total=$(python3 -c "print($_total + ${_v:-0})")
  done
  echo "$_total"
}

run() {  # number of fronts, the queue ("database", or "" for job files)
  dicom=$(free_port); h1=$(free_port); h2=$(free_port)
  queue=$2
  if [ -n "$queue" ]; then incoming=shared; how="work queued in the database"; else incoming=own; how="job files, own incoming folder"; fi
  SETTINGS="JobQueue=$queue" INCOMING=$incoming \
  FRONTS=$1 BUILD="$build" DICOM_PORT=$dicom FRONT1_PORT=$(free_port) \
    FRONT2_PORT=$(free_port) HEALTH1_PORT=$h1 HEALTH2_PORT=$h2 \
    PG_PORT=$(free_port) STATS_PORT=$(free_port) \
    bash "$root/packaging/cluster/up.sh" "$cluster" >/dev/null
  front_pids=$(cat "$cluster/front1/vantor.pid")
  health_ports=$h1
  if [ "$1" = 2 ]; then
    front_pids="$front_pids $(cat "$cluster/front2/vantor.pid")"
    health_ports="$h1 $h2"
  fi
  pg_pid=$(head -n1 "$cluster/pg/data/postmaster.pid")

  set -- "$1" $(cpu_all)
  t0=$(now)
  for k in 0 1 2 3; do
    TCP_NODELAY=1 storescu -aet STORESCU 127.0.0.1 "$dicom" "$work/part$k"/* &
    bench_pids="$bench_pids $!"
  done
  for p in $bench_pids; do wait "$p"; done
  bench_pids=""
  t1=$(now)
  # Until every image is in the archive (bounded: ten minutes).
  i=0
  while [ "$(metric_sum vantor_images_imported)" != "$images" ] && [ $i -lt 6000 ]; do
    sleep 0.1; i=$((i + 1))
  done
  t2=$(now)
  set -- "$@" $(cpu_all)
  python3 -c "
n, f = $images, $1
print('%d front(s), $how, ingest of %d images through HAProxy: %.0f images/s received, %.0f images/s in the archive; CPU per 100 images: fronts %.2f s, database %.2f s' % (f, n, n / ($t1 - $t0), n / ($t2 - $t0), ($4 - $2) * 100 / n, ($5 - $3) * 100 / n))"

  set -- "$1" $(cpu_all)
  t0=$(now)
  for k in 0 1 2 3; do
    TCP_NODELAY=1 findscu -S -aet FINDSCU --repeat "$queries" -k QueryRetrieveLevel=STUDY \
      -k StudyInstanceUID=$study -k PatientName 127.0.0.1 "$dicom" >/dev/null 2>&1 &
    bench_pids="$bench_pids $!"
  done
  for p in $bench_pids; do wait "$p"; done
  bench_pids=""
  t1=$(now)
  set -- "$@" $(cpu_all)
  python3 -c "
q, f = 4 * $queries, $1
print('%d front(s), $how, C-FIND of one study by UID, 4 clients through HAProxy: %.0f queries/s; CPU per 1000 queries: fronts %.2f s, database %.2f s' % (f, q / ($t1 - $t0), ($4 - $2) * 1000 / q, ($5 - $3) * 1000 / q))"
  bash "$root/packaging/cluster/down.sh" "$cluster" >/dev/null
}

echo "== $(nproc) cores; fronts, HAProxy, PostgreSQL and the clients on this machine"
run 1 ""
run 1 database
run 2 database
