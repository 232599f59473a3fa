#!/usr/bin/env bash
# Installs what the benchmarks need, builds them optimised, and runs them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" build
"$root/scripts/build.sh" "$root/build-bench" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$root/build-bench" -j"$(nproc)" --target benchmarks >/dev/null
for b in copy_bench; do
  echo "== $b"
  "$root/build-bench/bench/$b"
done
