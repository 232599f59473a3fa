#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 12);
# any crash fails. A longer run: bash fuzz/run.sh 600
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-12}"
"$root/scripts/deps.sh" fuzz
CC=clang CXX=clang++ "$root/scripts/build.sh" "$root/build-fuzz" -DBUILD_TESTING=OFF -DTARVIK_FUZZ=ON >/dev/null
cmake --build "$root/build-fuzz" -j"$(nproc)" >/dev/null
status=0
for target in copy_fuzz fit_fuzz image_fuzz halftone_fuzz live_fuzz sim_settings_fuzz sequence_fuzz; do
  corpus="$root/build-fuzz/corpus/$target"
  mkdir -p "$corpus"
  if "$root/build-fuzz/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$root/build-fuzz/$target-" "$corpus" "$root/fuzz/corpus/$target" \
       > "$root/build-fuzz/$target.log" 2>&1; then
    runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$root/build-fuzz/$target.log" | grep -o '[0-9]*$' || echo '?')"
    echo "fuzz: $target passed ($runs runs in ${seconds}s)"
  else
    echo "fuzz: $target FAILED, see $root/build-fuzz/$target.log"
    tail -40 "$root/build-fuzz/$target.log"
    status=1
  fi
done
exit $status
