#!/bin/sh
# One command from a fresh checkout to a running demo service: installs the
# packages, builds, writes a demo archive and a registry file into run/, and
# starts Vantor 01 in the foreground on DICOM port 11112 (Ctrl-C stops it).
#
# run/ afterwards holds: vantor (and vantor-send), registry.reg, archive.db,
# archive/ (the image files), incoming/ (received images), Logs/ and
# Associations/. The service takes what it receives into the archive
# (Import), so the archive starts with the demo studies and grows with what
# is stored. Running the script again rebuilds and keeps the archive;
# `sh scripts/quickstart.sh --fresh` starts again from the demo archive.
set -eu

fresh=0
[ "${1:-}" = "--fresh" ] && fresh=1

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "$(id -u)" -eq 0 ]; then
  sh scripts/setup.sh
else
  sudo sh scripts/setup.sh
fi

cmake -S . -B build
targets="vantor vantor-demo"
if [ -f retrieve/send/send_main.cc ]; then
  targets="$targets vantor-send"
fi
# shellcheck disable=SC2086 # one word per target
make -C build -j2 $targets

run="$root/run"
mkdir -p "$run/incoming" "$run/drives/c/Temp"
# Copy, then rename: a copy onto a running program would fail.
cp build/vantor "$run/vantor.new"
mv -f "$run/vantor.new" "$run/vantor"
if [ -x build/vantor-send ]; then
  cp build/vantor-send "$run/vantor-send.new"
  mv -f "$run/vantor-send.new" "$run/vantor-send"
fi

if [ "$fresh" -eq 1 ] || [ ! -f "$run/archive.db" ]; then
  rm -rf "$run/archive" "$run/archive.db" "$run/incoming"
  mkdir -p "$run/incoming"
  build/vantor-demo --schema archive/schema.sql "$run"
fi

# A text inside the quotes of a .reg value: backslashes and quotes escaped.
reg_text() {
  printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g'
}

cat >"$run/registry.reg" <<EOF
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]
"DBServer"="sqlite:$(reg_text "$run/archive.db")"
"Temp"="$(reg_text "$run/incoming/")"
"Debug"="1"

[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]
"DCM"="11112"
"Debug"="1"
"Caption"="Vantor 01"
"DateFormat"="YYYY-MM-DD"
"Import"="1"
"CountStudy"="1"
"StorageCommitment"="1"
"HTTP"="8042"
EOF

cat <<EOF

Vantor 01 starts on port 11112 with the demo archive in $run.
Try, from another shell (DCMTK's tools, known to the archive by their
default AE titles on 127.0.0.1):
  TCP_NODELAY=1 echoscu 127.0.0.1 11112
  TCP_NODELAY=1 findscu -S -k QueryRetrieveLevel=STUDY -k 'PatientName=Meyer*' \\
    -k StudyInstanceUID -k StudyDate -k StudyDescription 127.0.0.1 11112
  TCP_NODELAY=1 getscu -S -k QueryRetrieveLevel=STUDY -k PatientID=KM-100544 \\
    -od /tmp 127.0.0.1 11112
  TCP_NODELAY=1 storescu -aet STORESCU 127.0.0.1 11112 /path/to/images/*.dcm
  TCP_NODELAY=1 findscu -S -k QueryRetrieveLevel=STUDY -k PatientID=<its ID> \\
    -k StudyInstanceUID -k NumberOfStudyRelatedInstances 127.0.0.1 11112
  storescp 11113 &   # the move destination STORESCP
  TCP_NODELAY=1 movescu -S -aem STORESCP -k QueryRetrieveLevel=STUDY \\
    -k PatientID=KM-100812 127.0.0.1 11112
DICOMweb on http://127.0.0.1:8042/dicom-web (callers from 127.0.0.1 are
known nodes):
  curl -H 'Accept: application/dicom+json' 'http://127.0.0.1:8042/dicom-web/studies?PatientName=Meyer*'
  node tests/web-clients/serve_viewer.mjs http://127.0.0.1:8042/dicom-web 3000
  (then open http://127.0.0.1:3000/ for the OHIF viewer on the demo)
Logs: $run/Logs. Stop with Ctrl-C.

EOF

exec env TCP_NODELAY=1 "$run/vantor"
