#!/bin/sh
# The DICOMweb end-to-end checks with clients of other stacks: first
# clients.mjs (dicomweb-client and dcmjs, plus raw HTTP requests for the
# error answers), then viewer.mjs (OHIF's viewer in headless Chromium must
# show the study).
#
#   sh tests/web-clients/run.sh <dicomweb-root> <study-uid> <file-to-store> <artifact-dir>
#
# <artifact-dir> receives clients.log, viewer.log, viewer.png (the
# screenshot) and viewer.requests.txt (what the viewer asked the server).
# Prints both scripts' output; exits 1 when either failed, 2 on bad usage.
# Needs tests/web-clients/node_modules (scripts/setup.sh installs it).
set -u
if [ $# -ne 4 ]; then
  echo "usage: sh tests/web-clients/run.sh <dicomweb-root> <study-uid> <file-to-store> <artifact-dir>" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -d "$here/node_modules/dicomweb-client" ] || [ ! -d "$here/node_modules/@ohif/app/dist" ]; then
  echo "FAIL: $here/node_modules is missing: run scripts/setup.sh (npm ci in tests/web)"
  exit 1
fi
mkdir -p "$4"
child=""
trap '[ -z "$child" ] || kill "$child" 2>/dev/null; exit 130' INT TERM

# run LOG COMMAND...: the command in the background (so that a signal to
# this script can end it), its output to LOG and then printed.
run() {
  _log=$1
  shift
  "$@" >"$_log" 2>&1 &
  child=$!
  wait "$child"
  _rc=$?
  child=""
  cat "$_log"
  return $_rc
}

failed=0
echo "== DICOMweb clients against $1"
run "$4/clients.log" node "$here/clients.mjs" "$1" "$2" "$3" || failed=1
echo "== OHIF viewer against $1"
run "$4/viewer.log" node "$here/viewer.mjs" "$1" "$2" "$4/viewer.png" || failed=1
if [ $failed -ne 0 ]; then
  echo "web checks FAILED (logs and screenshot in $4)"
  exit 1
fi
echo "web checks passed (logs and screenshot in $4)"
