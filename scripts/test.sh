#!/bin/sh
# Sets everything up and runs every test: the normal build, then the same
# tests once more under AddressSanitizer and UndefinedBehaviorSanitizer,
# then a short run of each fuzz target (when clang++ is there).
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
# setup.sh installed PostgreSQL: the tests on it must run, not skip.
VANTOR_REQUIRE_POSTGRESQL=1
export VANTOR_REQUIRE_POSTGRESQL

run_suite() {
  dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 300)
}

run_suite build -DVANTOR_WERROR=ON
echo "== the Debian package"
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/vantor_*_*.deb | head -n1)
contents=$(dpkg-deb -c "$deb")
for f in ./opt/vantor/vantor ./opt/vantor/vantor-send \
  ./lib/systemd/system/vantor@.service ./etc/logrotate.d/vantor \
  ./usr/share/vantor/archive/schema.sql ./usr/share/vantor/archive/schema-postgresql.sql \
  ./usr/share/vantor/archive/import.sql ./usr/share/vantor/archive/import-postgresql.sql \
  ./usr/share/vantor/registry.reg.example; do
  echo "$contents" | grep -q " $f\$" || { echo "missing in $deb: $f"; exit 1; }
done
if echo "$contents" | grep -q "registry.reg\$"; then
  echo "$deb must not carry a registry.reg"; exit 1
fi
dpkg-deb -I "$deb" postinst | sh -n
dpkg-deb -I "$deb" conffiles | grep -qx /etc/logrotate.d/vantor
echo "== again under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS UBSAN_OPTIONS
run_suite build-sanitize -DVANTOR_SANITIZE=ON
echo "== a short run of each fuzz target"
sh fuzz/run.sh 5
echo "== all tests passed"
