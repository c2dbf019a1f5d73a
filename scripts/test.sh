#!/bin/sh
# Sets everything up and runs every test: the normal build, then the same
# tests once more under AddressSanitizer and UndefinedBehaviorSanitizer,
# then a short run of each fuzz target (when clang++ is there).
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 300)
}

run_suite build
echo "== again under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS UBSAN_OPTIONS
run_suite build-sanitize -DVANTOR_SANITIZE=ON
echo "== a short run of each fuzz target"
sh fuzz/run.sh 5
echo "== all tests passed"
