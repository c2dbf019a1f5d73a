#!/bin/sh
# DICOM over TLS next to plain DICOM: one built service listening on both
# its ports, measured with DCMTK's own clients (storescu, findscu, echoscu)
# on each port in turn. The certificates (RSA 2048) are made by openssl.
#   sh bench/tls_bench.sh [build dir] [image count] [rounds]
# Figures, best round of each:
#   - C-STORE: `image count` images of 512x512 16-bit pixels over one
#     association (images/s and MB/s of pixel data);
#   - C-FIND: all 4,000 studies of a small archive in one query
#     (responses/s), and one study by UID repeated 101 times on one open
#     association (median round trip, from findscu's own log);
#   - association: echoscu start, association (with the TLS handshake) and
#     release, median of 11.
set -eu
. "$(dirname "$0")/lib.sh"
bench_start tls-bench "${1:-}"
count=${2:-300}
rounds=${3:-3}
port=$(free_port)
tls_port=$(free_port)
export TCP_NODELAY=1

echo "== certificates"
pki="$work/pki"
mkdir -p "$pki"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Bench CA" \
  -keyout "$pki/ca.key" -out "$pki/ca.pem" 2>/dev/null
for name in server client; do
  openssl req -newkey rsa:2048 -nodes -subj "/CN=$name" \
    -keyout "$pki/$name.key" -out "$pki/$name.csr" 2>/dev/null
  openssl x509 -req -in "$pki/$name.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" \
    -CAcreateserial -sha256 -days 2 -out "$pki/$name.pem" 2>/dev/null
done
tls="+tls $pki/client.key $pki/client.pem +cf $pki/ca.pem"

echo "== archive and $count images"
new_archive "$work/archive.db"
fill_archive "$work/archive.db" 2000 4000 >/dev/null
make_study "$work/images" 1.2.826.0.1.3680043.9.98.2 \
  1.2.826.0.1.3680043.9.98.3 "$count" \
  --patient-id B1 --patient-name Bench^Patient

echo "== service: plain port $port, TLS port $tls_port"
mkdir -p "$work/prog" "$work/in"
write_registry "$work/prog/registry.reg" \
  "DBServer=sqlite:$work/archive.db" "Temp=$work/in/" -- \
  "DCM=$port" "Caption=Vantor TLS bench $port" "DateFormat=YYYY-MM-DD" \
  "TLSPort=$tls_port" "TLSCertificate=$pki/server.pem" \
  "TLSPrivateKey=$pki/server.key" "TLSCACertificates=$pki/ca.pem"
start_service "$work/prog" "$port"
# shellcheck disable=SC2086
wait_for_port "$tls_port" ANY-SCP $tls

cat >"$work/log.cfg" <<'CFG'
log4cplus.rootLogger = INFO, console
log4cplus.appender.console = log4cplus::ConsoleAppender
log4cplus.appender.console.layout = log4cplus::PatternLayout
log4cplus.appender.console.layout.ConversionPattern = %D{%H:%M:%S.%Q} %m%n
CFG
# The options and port of a transport: "plain" or "tls".
opts() { [ "$1" = tls ] && echo "$tls" || true; }
port_of() { [ "$1" = tls ] && echo "$tls_port" || echo "$port"; }

# Each measurement appends "figure|transport|value" to the results.
: >"$work/results"
store() {  # $1 = transport
  rm -rf "$work/in"/*.dcm "$work/in"/*.cae 2>/dev/null || true
  t0=$(now)
  # shellcheck disable=SC2046
  storescu -q -aet BENCH $(opts "$1") 127.0.0.1 "$(port_of "$1")" \
    "$work/images" +sd >/dev/null
  t1=$(now)
  python3 -c "d=$t1-$t0;print('C-STORE images/s|$1|%.1f'%($count/d));print('C-STORE MB/s|$1|%.1f'%($count*0.5/d))" \
    >>"$work/results"
}
find_all() {
  t0=$(now)
  # shellcheck disable=SC2046
  n=$(findscu -v -aet FINDSCU -S $(opts "$1") -k QueryRetrieveLevel=STUDY \
    -k PatientName -k StudyInstanceUID -k StudyDate 127.0.0.1 "$(port_of "$1")" 2>&1 |
    grep -c 'Find Response.*Pending' || true)
  t1=$(now)
  python3 -c "print('C-FIND all studies, responses/s|$1|%.0f'%($n/($t1-$t0)))" >>"$work/results"
}
find_trip() {
  # shellcheck disable=SC2046
  findscu -lc "$work/log.cfg" -aet FINDSCU -S $(opts "$1") --repeat 101 \
    -k QueryRetrieveLevel=STUDY -k StudyInstanceUID=1.2.826.0.1.3680043.9.3000 \
    -k PatientName 127.0.0.1 "$(port_of "$1")" 2>&1 | python3 -c "
import re, statistics, sys
def t(line):
    h, m, s, ms, us = re.match(r'(\d+):(\d+):(\d+)\.(\d+)\.(\d+)', line).groups()
    return ((int(h) * 60 + int(m)) * 60 + int(s)) * 1000 + int(ms) + int(us) / 1000
sent, trips = None, []
for line in sys.stdin:
    if 'Sending Find Request' in line: sent = t(line)
    elif 'Final Find Response' in line and sent is not None: trips.append(t(line) - sent); sent = None
print('C-FIND one study on an open association, median ms|$1|%.2f' % statistics.median(trips))" \
    >>"$work/results"
}
echo_latency() {
  lat=""
  for k in 1 2 3 4 5 6 7 8 9 10 11; do
    t0=$(now)
    # shellcheck disable=SC2046
    echoscu $(opts "$1") 127.0.0.1 "$(port_of "$1")" >/dev/null 2>&1
    t1=$(now)
    lat="$lat $(python3 -c "print(($t1-$t0)*1000)")"
  done
  python3 -c "import statistics;print('echoscu with association, median ms|$1|%.1f'%statistics.median([float(x) for x in '$lat'.split()]))" \
    >>"$work/results"
}

round=1
while [ $round -le "$rounds" ]; do
  echo "== round $round of $rounds"
  for transport in plain tls; do
    store $transport
    find_all $transport
    find_trip $transport
    echo_latency $transport
  done
  round=$((round + 1))
done

echo "== best of $rounds rounds ($(nproc) cores, $count images)"
awk -F'|' '
  { key = $1; lower = (key ~ /ms$/)
    if (!((key, $2) in best) || (lower ? $3 < best[key, $2] : $3 > best[key, $2]))
      best[key, $2] = $3
    if (!(key in seen)) { seen[key] = 1; order[++n] = key } }
  END {
    printf "%-52s %10s %10s %8s\n", "figure", "plain", "TLS", "TLS/plain"
    for (i = 1; i <= n; i++) {
      k = order[i]
      printf "%-52s %10s %10s %7.0f%%\n", k, best[k, "plain"], best[k, "tls"],
             100 * best[k, "tls"] / best[k, "plain"]
    }
  }' "$work/results"
