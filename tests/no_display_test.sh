#!/usr/bin/env bash
# Without a display the program says so in one line on stderr and exits with
# status 1, for no display at all and for one that cannot be reached.
# Usage: no_display_test.sh PROGRAM
set -u
program="$1"
check() {
  local what="$1" expected="$2"
  shift 2
  local err rc
  err="$(env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY "$@" "$program" 2>&1 >/dev/null)"
  rc=$?
  if [ "$rc" -ne 1 ] || [ "$(printf '%s\n' "$err" | wc -l)" -ne 1 ] || [[ "$err" != *"$expected"* ]]; then
    echo "no display ($what): status $rc, stderr:"
    printf '%s\n' "$err"
    exit 1
  fi
  echo "no display ($what): $err"
}
check "none" "no display available" -u DISPLAY
check "unreachable" "cannot open a display" DISPLAY=:9999 XDG_RUNTIME_DIR=/tmp
