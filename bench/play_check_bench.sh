#!/usr/bin/env bash
# --check --play against FFmpeg's own decode of the same recording: frames a
# second of each, their ratio (target >= 0.9) and the check's peak memory.
# Usage: play_check_bench.sh TARVIK [FOLDER [FRAMES [CODEC]]]
# The recording is 1292 x 964 Mono8 from the simulated camera with read
# noise (a picture no codec shrinks to nothing); FFmpeg decodes with as many
# threads as the reader takes (one a core). The runs alternate, three each,
# and the best of each counts: the machine may be shared.
set -euo pipefail
tarvik="$1"
dir="${2:-/dev/shm}/tarvik-play-check-bench.$$"
frames="${3:-600}"
codec="${4:-ffv1}"
mkdir -p "$dir"
trap 'rm -rf "$dir"' EXIT
unset TARVIK_CAMERAS DISPLAY WAYLAND_DISPLAY
rec="$dir/rec.mkv"
TARVIK_SIM=width=1292,height=964,formats=Mono8,picture=soft,noise=3 \
  "$tarvik" --record "$rec" --frames "$frames" --record-codec "$codec" 2>/dev/null
held="$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$rec")"
best_ff=0 best_check=0 peak=0
for _ in 1 2 3; do
  start=$(date +%s.%N)
  ffmpeg -v error -threads "$(nproc)" -i "$rec" -f null -
  ff=$(echo "$held / ($(date +%s.%N) - $start)" | bc -l)
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$dir/time" "$tarvik" --check --play "$rec" >/dev/null || true
  check=$(echo "$held / ($(date +%s.%N) - $start)" | bc -l)
  kb=$(tail -n 1 "$dir/time")
  best_ff=$(echo "if ($ff > $best_ff) $ff else $best_ff" | bc -l)
  best_check=$(echo "if ($check > $best_check) $check else $best_check" | bc -l)
  peak=$((kb > peak ? kb : peak))
done
printf '%s frames 1292x964 Mono8 %s: ffmpeg %.1f frames/s, --check --play %.1f frames/s, ratio %.2f (target >= 0.9), peak %d MB\n' \
  "$held" "$codec" "$best_ff" "$best_check" "$(echo "$best_check / $best_ff" | bc -l)" "$((peak / 1024))"
