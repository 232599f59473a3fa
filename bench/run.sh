#!/usr/bin/env bash
# Installs what the benchmarks need, builds them as the program is built, and
# runs them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" bench
"$root/scripts/build.sh" "$root/build-bench" -DBUILD_TESTING=OFF >/dev/null
cmake "$root/build-bench" >/dev/null  # picks up OpenCV when it was installed just now
cmake --build "$root/build-bench" -j"$(nproc)" --target benchmarks >/dev/null
for b in copy_bench convert_bench convert_threads_bench paint_bench save_bench save_memory_bench stream_bench \
  live_bench live_stream_bench check_bench check_stream_bench trigger_bench record_mkv_bench record_tiff_bench \
  record_queue_bench exporter_bench viewer_bench play_bench; do
  echo "== $b"
  "$root/build-bench/bench/$b"
done
echo "== record_bench"
cmake --build "$root/build-bench" -j"$(nproc)" --target tarvik >/dev/null
bash "$root/bench/record_bench.sh" "$root/build-bench/tarvik"

# The camera ladder needs Aravis's fake GigE camera, on 127.0.0.1 only.
"$root/scripts/deps.sh" test >/dev/null
pidfile="$root/build-bench/fake_gv_camera.pid"
bash "$root/tests/fake_gv_camera.sh" start "$pidfile"
trap 'bash "$root/tests/fake_gv_camera.sh" stop "$pidfile"' EXIT
echo "== aravis_bench"
"$root/build-bench/bench/aravis_bench"
