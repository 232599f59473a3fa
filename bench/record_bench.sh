#!/usr/bin/env bash
# End to end recording, simulated camera to tmpfs: frames Tarvik dropped
# (target 0), CPU per frame, and peak memory against the queue's bound.
# Usage: record_bench.sh TARVIK [FOLDER_ON_TMPFS [BASELINE_TARVIK]]
# With a baseline (another build), each case runs on both, in turns, and the
# ratios this/baseline are printed.
set -euo pipefail
tarvik="$1"
baseline="${3:-}"
dir="${2:-/dev/shm}/tarvik-record-bench.$$"
mkdir -p "$dir"
trap 'rm -rf "$dir"' EXIT
unset TARVIK_CAMERAS DISPLAY WAYLAND_DISPLAY

# name, TARVIK_SIM, path, seconds [, program]; leaves "frames camera Tarvik cpu_ms" in $dir/last
run() {
  local name="$1" sim="$2" path="$dir/$3" seconds="$4" program="${5:-$tarvik}"
  local buffer=$((2 * 1024 * 1024 * 1024))
  TARVIK_SIM="$sim" /usr/bin/time -f '%U %S %M' -o "$dir/time" \
    "$program" --record "$path" --seconds "$seconds" --record-buffer "$buffer" 2>"$dir/err" || {
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
           user + sys, rss / 1024, buffer / 1048576
    printf "%d %d %d %.4f\n", n, cam, ours, (user + sys) * 1000 / (n ? n : 1) > "'"$dir/last"'" }'
  rm -rf "$path" "$path.csv" "$path.settings"
}

# As run, on this build and the baseline in turns (twice each), then the ratios.
compare() {
  if [ -z "$baseline" ]; then run "$@"; return; fi
  local sums=(0 0 0 0 0 0) f
  # Each first in one turn: a run right after another tends to fare worse.
  for order in "baseline this" "this baseline"; do
    for which in $order; do
      if [ "$which" = baseline ]; then
        run "baseline: $1" "$2" "$3" "$4" "$baseline"
        read -r -a f <"$dir/last"
        sums[0]=$((sums[0] + f[1])); sums[1]=$((sums[1] + f[2])); sums[2]="$(awk -v a="${sums[2]}" -v b="${f[3]}" 'BEGIN{print a+b}')"
      else
        run "this: $1" "$2" "$3" "$4"
        read -r -a f <"$dir/last"
        sums[3]=$((sums[3] + f[1])); sums[4]=$((sums[4] + f[2])); sums[5]="$(awk -v a="${sums[5]}" -v b="${f[3]}" 'BEGIN{print a+b}')"
      fi
    done
  done
  awk -v name="$1" -v bc="${sums[0]}" -v bt="${sums[1]}" -v bcpu="${sums[2]}" -v tc="${sums[3]}" \
      -v tt="${sums[4]}" -v tcpu="${sums[5]}" 'BEGIN {
    printf "%-34s this/baseline: CPU a frame %.2f; dropped by the camera %d/%d, by Tarvik %d/%d\n",
           name, tcpu / bcpu, tc, bc, tt, bt }'
}

compare "1292x964 Mono8 200/s to MKV" "width=1292,height=964,formats=Mono8,rate=200" run.mkv 10
compare "20 MP BayerRG8 30/s to TIFF" "width=5472,height=3648,formats=BayerRG8,rate=30" run.tiff 10

# The fast cameras, with read noise as a real sensor has (a still picture
# compresses many times better), each with the codec the rule picks for it.
noise="${TARVIK_BENCH_NOISE:-3}"
run "20 MP BayerRG8 30/s to MKV, noise $noise" "width=5472,height=3648,formats=BayerRG8,rate=30,noise=$noise" run.mkv 10
run "1292x964 Mono8 500/s to MKV, noise $noise" "width=1292,height=964,formats=Mono8,rate=500,noise=$noise" run.mkv 10

# The default codec's size against FFV1's for the same frames: the noise is
# drawn from a fixed seed and each frame's by its number, so a slower camera
# sends the same first frames, which FFV1 has the time to code.
size_of() {  # codec, frames: bytes a frame of a 20 MP BayerRG8 recording
  local path="$dir/size.mkv"
  TARVIK_SIM="width=5472,height=3648,formats=BayerRG8,rate=2,noise=$noise" \
    "$tarvik" --record "$path" --frames "$2" --record-codec "$1" 2>"$dir/err" || { cat "$dir/err"; return 1; }
  echo $(( $(stat -c %s "$path") / $2 ))
  rm -f "$path" "$path.csv" "$path.settings"
}
default_codec="$(TARVIK_SIM="width=5472,height=3648,formats=BayerRG8,rate=30" "$tarvik" --record "$dir/probe.mkv" \
  --frames 1 2>/dev/null && ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$dir/probe.mkv")"
rm -f "$dir/probe.mkv"*
ours="$(size_of "$default_codec" 6)"
ffv1="$(size_of ffv1 6)"
awk -v c="$default_codec" -v o="$ours" -v f="$ffv1" -v n="$noise" 'BEGIN {
  printf "20 MP BayerRG8, noise %s, 6 frames: default codec %s %.1f MB a frame, FFV1 %.1f MB: %.3fx FFV1\n",
         n, c, o / 1e6, f / 1e6, o / f }'
