#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the fuzz targets for
# a bounded time, then the whole suite as built for use, then once more with
# AddressSanitizer, UndefinedBehaviorSanitizer and leak checks.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" test

# Line tables only (-g1): enough for a sanitizer's or debugger's file and
# line, and much quicker to build and link than full debug information.
lines_only=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
"$root/scripts/build.sh" "$root/build-test" -DBUILD_TESTING=ON "${lines_only[@]}"
"$root/scripts/build.sh" "$root/build-asan" -DBUILD_TESTING=ON -DTARVIK_SANITIZE=ON "${lines_only[@]}"

status=0
bash "$root/fuzz/run.sh" "${TARVIK_FUZZ_SECONDS:-12}" || status=1

# Any sanitizer report fails the test that caused it.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"

for dir in build-test build-asan; do
  echo "== tests in $dir"
  (cd "$root/$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 300) || status=1
done
exit $status
