#!/usr/bin/env bash
# End to end recording, simulated camera to tmpfs: frames Tarvik dropped
# (target 0), CPU per frame, and peak memory against the queue's bound.
# Usage: record_bench.sh TARVIK [FOLDER_ON_TMPFS]
set -euo pipefail
tarvik="$1"
dir="${2:-/dev/shm}/tarvik-record-bench.$$"
mkdir -p "$dir"
trap 'rm -rf "$dir"' EXIT
unset TARVIK_CAMERAS DISPLAY WAYLAND_DISPLAY

# name, TARVIK_SIM, path, seconds
run() {
  local name="$1" sim="$2" path="$dir/$3" seconds="$4"
  local buffer=$((2 * 1024 * 1024 * 1024))
  TARVIK_SIM="$sim" /usr/bin/time -f '%U %S %M' -o "$dir/time" \
    "$tarvik" --record "$path" --seconds "$seconds" --record-buffer "$buffer" 2>"$dir/err" || {
    cat "$dir/err"; return 1; }
  local line
  line="$(grep '^tarvik: recorded' "$dir/err")"
  read -r user sys rss <"$dir/time"
  # tarvik: recorded N frames to "..": C dropped by the camera, T dropped by Tarvik, I incomplete, B bytes, S s
  local n cam ours bytes secs
  n="$(sed -n 's/^tarvik: recorded \([0-9]*\) frames.*/\1/p' <<<"$line")"
  cam="$(sed -n 's/.*: \([0-9]*\) dropped by the camera.*/\1/p' <<<"$line")"
  ours="$(sed -n 's/.*, \([0-9]*\) dropped by Tarvik.*/\1/p' <<<"$line")"
  bytes="$(sed -n 's/.* \([0-9]*\) bytes.*/\1/p' <<<"$line")"
  secs="$(sed -n 's/.* \([0-9.]*\) s$/\1/p' <<<"$line")"
  awk -v name="$name" -v n="$n" -v cam="$cam" -v ours="$ours" -v bytes="$bytes" -v secs="$secs" \
      -v user="$user" -v sys="$sys" -v rss="$rss" -v buffer="$buffer" 'BEGIN {
    printf "%-34s %5d frames in %5.1f s (%6.1f/s), dropped: camera %d, Tarvik %d; %7.1f MB/s; " \
           "CPU %.2f ms a frame (user+sys %.1f s); peak RSS %d MiB (queue bound %d MiB)\n",
           name, n, secs, n / secs, cam, ours, bytes / secs / 1e6, (user + sys) * 1000 / (n ? n : 1),
           user + sys, rss / 1024, buffer / 1048576 }'
  rm -rf "$path" "$path.csv" "$path.settings"
}

run "1292x964 Mono8 200/s to MKV" "width=1292,height=964,formats=Mono8,rate=200" run.mkv 10
run "20 MP BayerRG8 30/s to TIFF" "width=5472,height=3648,formats=BayerRG8,rate=30" run.tiff 10
