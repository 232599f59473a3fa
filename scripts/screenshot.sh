#!/usr/bin/env bash
# Makes the README's picture of the window: the built program, live on the
# simulated camera, in an X server of its own (Xvfb), its window captured once
# the camera's picture shows. Builds nothing.
# Usage: scripts/screenshot.sh [PNG [PROGRAM]]
#   PNG      where to write (default docs/images/window.png)
#   PROGRAM  the built program (default build/tarvik)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
usage="Usage: scripts/screenshot.sh [PNG [PROGRAM]] (default docs/images/window.png and build/tarvik)"
fail() { echo "screenshot.sh: $*" >&2; exit 1; }
# A name starting with - would reach dirname and cp as an option.
case "${1:-}" in
  -h | --help) echo "$usage"; exit 0 ;;
  -*) fail "unknown option $1; $usage" ;;
esac
[ $# -le 2 ] || fail "at most two arguments; $usage"
out="${1:-$root/docs/images/window.png}"
program="${2:-$root/build/tarvik}"
[ -f "$program" ] && [ -x "$program" ] || fail "no program at $program: build it first (bash scripts/run.sh, or scripts/build.sh build)"
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || fail "$tool is missing: bash scripts/deps.sh test installs it"
done
# Said before the program runs, not after: a folder would take the picture
# in under a made-up name and the script would call that success.
[ -d "$out" ] && fail "$out is a folder: give the picture's file name, e.g. $out/window.png"

work="$(mktemp -d)" || fail "cannot make a temporary folder in ${TMPDIR:-/tmp}"
xvfb_pid=""
app_pid=""
app_group=""
partial=""
# Ends a process this script started (with "group", every process of the
# group it leads, also once it has ended itself) and waits for it, so that
# nothing it started outlives it: asked first, killed after 5 s.
stop() {
  local pid="$1" target="$1" i
  [ -n "$pid" ] || return 0
  [ "${2:-}" = group ] && target="-$pid"
  kill -- "$target" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
  for ((i = 0; i < 50; i++)); do
    kill -0 -- "$target" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "$target" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop "$app_group" group
  stop "$xvfb_pid"
  [ -z "$partial" ] || rm -f "$partial"
  rm -rf "$work"
}
trap cleanup EXIT
# Xvfb, import and convert write here; on a full disk they fail as an X
# server that did not start or a picture that never came.
printf 'probe\n' >"$work/probe" 2>/dev/null ||
  fail "cannot write in the temporary folder $work (is ${TMPDIR:-/tmp} full?)"

# Xvfb picks a display number nobody uses and says which once it accepts
# clients, so that no guessed number clashes with another person's server.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
deadline=$((SECONDS + 20))
until [ -s "$work/display" ]; do
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start"
  [ $SECONDS -lt $deadline ] || fail "Xvfb gave no display within 20 s"
  sleep 0.1
done
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"

# The default simulated camera: its bars and grey ramp show every colour the
# window draws, and no network is touched.
# In a process group of its own (setsid execs in place: a script's job leads
# no group), so that what a wrapper or a crashed program leaves behind is
# ended with it.
env -u QT_QPA_PLATFORM -u TARVIK_CAMERAS -u TARVIK_SIM -u TARVIK_CAMERA_TRACE \
  setsid "$program" --live >"$work/program.log" 2>&1 &
app_pid=$!
app_group=$app_pid
# Looked for again and again rather than waited for, so that a program that
# ends or crashes first is said at once, with its status.
deadline=$((SECONDS + 20))
until window="$(xdotool search --onlyvisible --name '^Tarvik$' 2>/dev/null | head -n 1)" && [ -n "$window" ]; do
  if ! kill -0 "$app_pid" 2>/dev/null; then
    status=0
    wait "$app_pid" || status=$?
    app_pid=""
    fail "the program ended (status $status) before its window showed: $(cat "$work/program.log")"
  fi
  [ $SECONDS -lt $deadline ] || fail "the window did not show within 20 s: $(cat "$work/program.log")"
  sleep 0.2
done

# The window is drawn before the first frame comes; the bars' pure yellow,
# which nothing else in the window has, says the picture is there.
deadline=$((SECONDS + 20))
while :; do
  import -window "$window" "png:$work/window.png" 2>/dev/null || true
  yellow="$(convert "$work/window.png" -alpha off -fill black +opaque '#ffff00' -fill white -opaque '#ffff00' \
            -format '%[fx:round(mean*w*h)]' info: 2>/dev/null || echo 0)"
  [ "$yellow" -gt 100 ] && break
  kill -0 "$app_pid" 2>/dev/null || fail "the program ended: $(cat "$work/program.log")"
  [ $SECONDS -lt $deadline ] || fail "no picture in the window within 20 s: $(cat "$work/program.log")"
  sleep 0.2
done

# No time stamps or other metadata: a remade picture differs only where the
# window does.
convert "$work/window.png" -strip -define png:compression-level=9 "png:$work/out.png"
mkdir -p "$(dirname "$out")" 2>/dev/null || fail "cannot make the folder $(dirname "$out") for $out"
partial="$out.tmp.$$"
cp "$work/out.png" "$partial" && mv "$partial" "$out" || fail "cannot write $out"
partial=""
echo "wrote $out ($(identify -format '%wx%h' "$out"))"
