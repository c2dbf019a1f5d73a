#!/bin/sh
# Runs the web checks (run.sh) against a peer: Orthanc with its DICOMweb
# plugin (Debian's orthanc and orthanc-dicomweb, installed when missing and
# run as root), on 127.0.0.1 only, holding the demo archive's images. Shows
# that the clients and the viewer check work before they meet Vantor.
#
#   sh tests/web-clients/with_orthanc.sh [artifact-dir] [build dir]
#
# Needs the built vantor-demo and make-study (build/ by default): the demo
# archive's images go into Orthanc with storescu; a CT study of the demo is
# the one checked; one image made by make-study, of a study of its own, is
# the one STOW-RS stores. KEEP=1 keeps the work folder (Orthanc's storage).
set -eu
. "$(dirname "$0")/../../bench/lib.sh"
root=$(cd "$(dirname "$0")/../.." && pwd)  # lib.sh takes it from a bench script's place
bench_start web-orthanc "${2:-}"
artifacts=${1:-$work/artifacts}
need_orthanc orthanc orthanc-dicomweb
[ -n "$orthanc_bin" ] || { echo "Orthanc is not installed (apt-get install orthanc orthanc-dicomweb)"; exit 1; }

"$build/vantor-demo" --schema "$root/archive/schema.sql" "$work/demo" >/dev/null
study=$(sqlite3 "$work/demo/archive.db" \
  "SELECT StudyUID FROM tblStudies WHERE Modality = 'CT' ORDER BY StudyID LIMIT 1")
make_study "$work/stow" 1.2.826.0.1.3680043.9.77.1 1.2.826.0.1.3680043.9.77.1.1 1 \
  --rows 64 --cols 64 --patient-id WEBSTOW --patient-name Web^Stow \
  --set StudyDate=20260102 --set Modality=CT >/dev/null
http_port=$(free_port)
dicom_port=$(free_port)
start_orthanc_web "$work/orthanc" "$http_port" "$dicom_port"
storescu -q -aec ORTHANC +sd +r 127.0.0.1 "$dicom_port" "$work/demo/archive"
echo "== Orthanc on 127.0.0.1:$http_port holds the demo's $(find "$work/demo/archive" -name '*.dcm' | wc -l) images; study $study"
# Where Orthanc answers otherwise than Vantor must (see clients.mjs).
KNOWN_DEVIATIONS="STOW-RS malformed multipart is 400,QIDO Accept text/html is 406" \
  sh "$root/tests/web-clients/run.sh" "http://127.0.0.1:$http_port/dicom-web" "$study" \
  "$work/stow/1.2.826.0.1.3680043.9.77.1.1.1.dcm" "$artifacts"
