#!/bin/sh
# DICOMweb benchmark: the built service's HTTP port and Orthanc with its
# DICOMweb plugin (Debian's orthanc and orthanc-dicomweb, installed when
# missing and the script runs as root) side by side, on the same images,
# one after the other on this machine, both on the loopback interface.
#   sh bench/web_bench.sh [build dir]
#
# Sizes (small defaults for a quick try; the figures worth quoting use
# STUDIES=10000 STOW_IMAGES=1000):
#   STUDIES=1000      studies that QIDO-RS lists (one image each in Orthanc)
#   WADO_IMAGES=50    images (512x512, 16 bits) of the study that WADO-RS
#                     retrieves and whose metadata is asked for
#   STOW_IMAGES=200   images (512x512, 16 bits) stored with STOW-RS, and as
#                     many stored with C-STORE (storescu, one association)
#   STOW_BATCH=50     images per STOW-RS request
#   REQUESTS=50       requests of the latency measurements
#   ROUNDS=3          rounds of QIDO-RS all studies and WADO-RS (best kept)
#   VANTOR=0, ORTHANC=0 leave that receiver out.
#
# What is measured (node tests/web-clients/bench.mjs, one kept-alive connection,
# one request after the other; scripts/setup.sh installs its packages):
#   QIDO all studies  GET /studies: studies in the answer per second
#   study by UID      GET /studies?StudyInstanceUID=...: median and 95th
#                     percentile ms, a different study each request
#   WADO-RS study     GET /studies/{uid}, multipart/related application/dicom,
#                     transfer-syntax=*: MB/s of the answer, read by curl
#   study metadata    GET /studies/{uid}/metadata: median ms
#   STOW-RS           POST /studies, STOW_BATCH images a request: images/s
#                     until the last answer
#   C-STORE           storescu of as many other images (same size) over one
#                     association: images/s until storescu returns
# Vantor runs with Import on, so what it receives is answered first and
# filed into its archive after; "indexed" is the rate until every image has
# its row in tblImages. Orthanc answers an image once it is indexed.
#
# Vantor's archive: STUDIES made-up study rows (bench/lib.sh fill_archive,
# as the C-FIND benchmark has) and the WADO study stored into it by
# C-STORE. Orthanc: as many one-image studies with the same attributes
# (made by bench.mjs from a make-study image), stored by C-STORE first.
set -eu
. "$(dirname "$0")/lib.sh"
bench_start web-bench "${1:-}"
studies=${STUDIES:-1000}
wado_images=${WADO_IMAGES:-50}
stow_images=${STOW_IMAGES:-200}
stow_batch=${STOW_BATCH:-50}
requests=${REQUESTS:-50}
rounds=${ROUNDS:-3}
with_vantor=${VANTOR:-1}
with_orthanc=${ORTHANC:-1}
patients=$(( (studies + 1) / 2 ))
uid_root=1.2.826.0.1.3680043.9.98
wado_study=$uid_root.10.1
stow_series=$uid_root.21.1
cstore_series=$uid_root.31.1
export TCP_NODELAY=1
web="$root/tests/web-clients"
for tool in storescu echoscu curl node sqlite3 cc; do
  command -v $tool >/dev/null || { echo "$tool missing (scripts/setup.sh installs it)"; exit 1; }
done
[ -d "$web/node_modules/dcmjs" ] || { echo "tests/web-clients/node_modules missing: run scripts/setup.sh"; exit 1; }
[ -x "$build/make-study" ] || { echo "$build/make-study missing: build the project first"; exit 1; }
measure() { node "$web/bench.mjs" "$@"; }
: >"$work/results"
# result RECEIVER METRIC VALUE: one figure for the table.
result() { echo "$1|$2|$3" >>"$work/results"; }
# field NAME LINE: the value of NAME= in a line of bench.mjs.
field() { printf '%s\n' "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"; }

echo "== making the images: $wado_images for WADO-RS, 2 x $stow_images for STOW-RS and C-STORE"
make_study "$work/wado" "$wado_study" "$uid_root.11.1" "$wado_images" \
  --patient-id WEB1 --patient-name Web^Retrieve --set StudyDate=20260301 >/dev/null
make_study "$work/stow" "$uid_root.20.1" "$stow_series" "$stow_images" \
  --patient-id WEB2 --patient-name Web^Stow --set StudyDate=20260302 >/dev/null
make_study "$work/cstore" "$uid_root.30.1" "$cstore_series" "$stow_images" \
  --patient-id WEB3 --patient-name Web^Store --set StudyDate=20260303 >/dev/null
image_bytes=$(stat -c %s "$work/wado/$uid_root.11.1.1.dcm")

# The measurements against DICOMweb root $2, results under receiver $1.
run_web() {
  _who=$1
  _url=$2
  echo "   QIDO-RS all studies, $rounds rounds"
  _l=$(measure qido "$_url/studies" "$rounds")
  result "$_who" qido_count "$(field count "$_l")"
  result "$_who" qido_rate "$(awk -v n="$(field count "$_l")" -v s="$(field best_s "$_l")" 'BEGIN {printf "%.0f", n / s}')"
  echo "   one study by UID, $requests requests"
  _l=$(measure latency "$_url/studies?StudyInstanceUID=1.2.826.0.1.3680043.9.{k}" "$requests" "$studies")
  result "$_who" uid_median "$(field median_ms "$_l")"
  result "$_who" uid_p95 "$(field p95_ms "$_l")"
  [ "$(field found "$_l")" = "$requests" ] || echo "   only $(field found "$_l") of $requests studies found by UID"
  echo "   WADO-RS study of $wado_images images, $rounds rounds"
  # The parts are counted once by the Node.js client; the rate is curl's
  # (best of the rounds, the answer thrown away), since Node.js's own
  # reading of a multipart body is slower than either server.
  _l=$(measure get "$_url/studies/$wado_study" 'multipart/related; type="application/dicom"; transfer-syntax=*' 1)
  [ "$(field parts "$_l")" = "$wado_images" ] || echo "   WADO-RS answered $(field parts "$_l") parts, expected $wado_images"
  _best=""
  _r=0
  while [ $_r -lt "$rounds" ]; do
    _r=$((_r + 1))
    _s=$(curl -s -o /dev/null -w '%{size_download} %{time_total}\n' \
      -H 'Accept: multipart/related; type="application/dicom"; transfer-syntax=*' \
      "$_url/studies/$wado_study" | awk '{printf "%.1f", $1 / $2 / 1e6}')
    _best=$(awk -v a="$_best" -v b="$_s" 'BEGIN {print (a == "" || b > a) ? b : a}')
  done
  result "$_who" wado_rate "$_best"
  echo "   study metadata, $requests requests"
  _l=$(measure get "$_url/studies/$wado_study/metadata" application/dicom+json "$requests")
  result "$_who" meta_median "$(field median_ms "$_l")"
  [ "$(field objects "$_l")" = "$wado_images" ] || echo "   metadata answered $(field objects "$_l") instances, expected $wado_images"
}

# store_rates RECEIVER DICOM-PORT CALLED-AE DICOMWEB-ROOT [DB]: STOW-RS of
# the STOW images, then C-STORE of the others; with DB (Vantor's archive)
# also the rates until every image has its row.
store_rates() {
  echo "   STOW-RS of $stow_images images, $stow_batch a request"
  _l=$(measure stow "$4" "$stow_batch" "$work/stow")
  _t0=$(field started "$_l")
  [ "$(field failed "$_l")" = 0 ] || echo "   STOW-RS: $(field failed "$_l") images not stored"
  result "$1" stow_rate "$(awk -v n="$stow_images" -v s="$(field seconds "$_l")" 'BEGIN {printf "%.1f", n / s}')"
  if [ -n "${5:-}" ]; then
    result "$1" stow_indexed "$(indexed_rate "$5" "$stow_series" "$_t0")"
  else
    result "$1" stow_indexed "$(awk -v n="$stow_images" -v s="$(field seconds "$_l")" 'BEGIN {printf "%.1f", n / s}')"
  fi
  echo "   C-STORE of $stow_images images"
  _t0=$(now)
  storescu -q -aet STORESCU -aec "$3" 127.0.0.1 "$2" "$work/cstore" +sd >/dev/null
  _t1=$(now)
  result "$1" cstore_rate "$(awk -v n="$stow_images" -v a="$_t0" -v b="$_t1" 'BEGIN {printf "%.1f", n / (b - a)}')"
  if [ -n "${5:-}" ]; then
    result "$1" cstore_indexed "$(indexed_rate "$5" "$cstore_series" "$_t0")"
  else
    result "$1" cstore_indexed "$(awk -v n="$stow_images" -v a="$_t0" -v b="$_t1" 'BEGIN {printf "%.1f", n / (b - a)}')"
  fi
}

# indexed_rate DB SERIES-UID START: images per second from START until
# every image of the series has its row (at most 300 s; "-" if not).
indexed_rate() {
  _n=0
  _tries=0
  while [ $_tries -lt 3000 ]; do
    _n=$(sqlite3 "file:$1?mode=ro" "SELECT count(*) FROM tblImages WHERE ImageUID LIKE '$2.%'" 2>/dev/null || echo 0)
    [ "$_n" -lt "$stow_images" ] || break
    _tries=$((_tries + 1))
    sleep 0.1
  done
  if [ "$_n" -ge "$stow_images" ]; then
    awk -v n="$stow_images" -v a="$3" -v b="$(now)" 'BEGIN {printf "%.1f", n / (b - a)}'
  else
    echo "-"
  fi
}

if [ "$with_vantor" = 1 ]; then
  echo "== Vantor: $studies studies of $patients patients in its archive, Import on"
  v="$work/vantor"
  mkdir -p "$v/prog" "$v/in" "$v/archive"
  new_archive "$v/archive.db"
  fill_archive "$v/archive.db" "$patients" "$studies" >/dev/null
  dport=$(free_port)
  hport=$(free_port)
  write_registry "$v/prog/registry.reg" \
    "DBServer=sqlite:$v/archive.db" "Temp=$v/in/" -- \
    "DCM=$dport" "HTTP=$hport" "Caption=Vantor web bench $dport" \
    "DateFormat=YYYY-MM-DD" "Import=1" "ImportArchive=$v/archive" "CountStudy=1"
  start_service "$v/prog" "$dport"
  vurl="http://127.0.0.1:$hport/dicom-web"
  tries=0
  until curl -sf -o /dev/null -H 'Accept: application/dicom+json' "$vurl/studies?limit=1"; do
    tries=$((tries + 1))
    if [ $tries -ge 100 ]; then break; fi
    sleep 0.1
  done
  if [ $tries -ge 100 ]; then
    echo "   Vantor answers no DICOMweb on its HTTP port ($hport): its half is left out"
    stop_server
  else
    storescu -q -aet STORESCU 127.0.0.1 "$dport" "$work/wado" +sd >/dev/null
    tries=0
    while [ "$(sqlite3 "file:$v/archive.db?mode=ro" "SELECT count(*) FROM tblImages WHERE ImageUID LIKE '$uid_root.11.1.%'")" -lt "$wado_images" ]; do
      tries=$((tries + 1))
      [ $tries -lt 600 ] || { echo "   the WADO study was not filed within 60 s"; break; }
      sleep 0.1
    done
    run_web vantor "$vurl"
    store_rates vantor "$dport" ANY-SCP "$vurl" "$v/archive.db"
    stop_server
  fi
fi

if [ "$with_orthanc" = 1 ]; then
  need_orthanc orthanc orthanc-dicomweb
  if [ -z "$orthanc_bin" ]; then
    echo "== Orthanc not available: left out"
  else
    echo "== Orthanc: storing $studies one-image studies and the WADO study"
    make_study "$work/template" "$uid_root.1" "$uid_root.1.1" 1 --rows 16 --cols 16 >/dev/null
    measure make-studies "$work/template/$uid_root.1.1.1.dcm" "$work/qido" "$patients" "$studies" >/dev/null
    dport=$(free_port)
    hport=$(free_port)
    start_orthanc_web "$work/orthanc" "$hport" "$dport"
    t0=$(now)
    storescu -q -aet STORESCU -aec ORTHANC 127.0.0.1 "$dport" "$work/qido" +sd >/dev/null
    t1=$(now)
    echo "   ($studies studies stored in $(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.1f", b - a}') s)"
    storescu -q -aet STORESCU -aec ORTHANC 127.0.0.1 "$dport" "$work/wado" +sd >/dev/null
    run_web orthanc "http://127.0.0.1:$hport/dicom-web"
    store_rates orthanc "$dport" ORTHANC "http://127.0.0.1:$hport/dicom-web"
    kill "$orthanc_pid"
    wait "$orthanc_pid" 2>/dev/null || true
  fi
fi

echo "== DICOMweb: $studies studies listed; WADO-RS study of $wado_images images of $image_bytes bytes; $stow_images images stored each way"
echo "machine: $(nproc) cores, $(uname -sr)"
awk -F'|' -v stow_batch="$stow_batch" '
  { v[$1 "|" $2] = $3; if ($1 == "vantor") hv = 1; if ($1 == "orthanc") ho = 1 }
  function cell(who, key) { return (who "|" key) in v ? v[who "|" key] : "-" }
  function ratio(a, b) { return (a == "-" || b == "-" || b == 0) ? "-" : sprintf("%.2f", a / b) }
  function row(label, key, unit, higher) {
    a = cell("vantor", key); b = cell("orthanc", key)
    printf "%-34s %-11s %10s %10s %14s\n", label, unit, a, b, higher ? ratio(a, b) : ratio(b, a)
  }
  END {
    printf "%-34s %-11s %10s %10s %14s\n", "measurement", "unit", "Vantor", "Orthanc", "Vantor better x"
    row("QIDO-RS all studies", "qido_rate", "studies/s", 1)
    row("  studies in the answer", "qido_count", "count", 1)
    row("QIDO-RS one study by UID, median", "uid_median", "ms", 0)
    row("QIDO-RS one study by UID, p95", "uid_p95", "ms", 0)
    row("WADO-RS study", "wado_rate", "MB/s", 1)
    row("study metadata, median", "meta_median", "ms", 0)
    row("STOW-RS (" stow_batch " a request), answered", "stow_rate", "images/s", 1)
    row("C-STORE (1 association), answered", "cstore_rate", "images/s", 1)
    row("STOW-RS, indexed", "stow_indexed", "images/s", 1)
    row("C-STORE, indexed", "cstore_indexed", "images/s", 1)
    for (w = 1; w <= 2; w++) {
      who = w == 1 ? "vantor" : "orthanc"
      s = cell(who, "stow_rate"); c = cell(who, "cstore_rate")
      if (s != "-" && c != "-") printf "%s: STOW-RS / C-STORE answered: %.0f %%\n", who, 100 * s / c
    }
  }' "$work/results"
