#!/bin/sh
# Runs every libFuzzer target for MINUTES minutes (default 2) and prints,
# per target, the executions, executions per second, the corpus size and
# the result. The grown corpora stay in build-fuzz/runs/.
set -eu
cd "$(dirname "$0")/.."
minutes=${1:-2}
echo "== fuzzing each target for $minutes min ($(date -u +%Y-%m-%d))"
sh fuzz/run.sh "$((minutes * 60))"
