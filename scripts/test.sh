#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" test
"$root/scripts/build.sh" "$root/build-test" -DBUILD_TESTING=ON
cd "$root/build-test"
ctest --output-on-failure -j"$(nproc)" --timeout 300
