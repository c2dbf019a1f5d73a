#!/bin/sh
# Builds the libFuzzer targets (fuzz/, with clang) in build-fuzz/ and runs
# each for SECONDS seconds (default 5) on a copy of its seed corpus
# fuzz/corpus/<target>/, printing one line per target:
#   <target> <executions> <exec/s> <corpus files> <ok|FAILED>
# Exits 1 when a target found a fault (its log and reproducer stay in
# build-fuzz/runs/), 0 otherwise. Without clang++ it says so and exits 0.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-5}
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found, the fuzz targets are not run"
  exit 0
fi
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-fuzz -DVANTOR_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VANTOR_FUZZ_CMAKE_ARGS:-} >/dev/null
cmake --build build-fuzz -j"$jobs" >/dev/null
runs=build-fuzz/runs
mkdir -p "$runs"
status=0
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  corpus="$runs/$target-corpus"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp "$seeds"* "$corpus"/ 2>/dev/null || true
  log="$runs/$target.log"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$runs/$target-" \
    "$corpus" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
  files=$(find "$corpus" -type f | wc -l)
  echo "$target ${execs:-0} executions ${rate:-0}/s corpus $files $result"
  [ "$result" = ok ] || tail -n 30 "$log"
done
exit $status
