#!/usr/bin/env bash
# scripts/screenshot.sh over the built program: it writes a PNG of the window
# alone (the size of the README's committed picture, which it made, so a
# picture of the whole screen or a stale committed one shows), leaves no X
# server or program behind, and without a program says so and writes nothing.
# Usage: screenshot_test.sh PROGRAM SOURCE_DIR
set -u
program="$1"
source_dir="$2"
script="$source_dir/scripts/screenshot.sh"
committed="$source_dir/docs/images/window.png"
work="$(mktemp -d)"
fail() { echo "screenshot: $*" >&2; exit 1; }

size_of() { identify -format '%wx%h' "$1" 2>/dev/null; }
# Processes that carry this run's mark in their environment: whatever the
# script started (its X server, the program) inherits it.
commands_of() { local p; for p in "$@"; do echo "${p#/proc/}: $(tr '\0' ' ' <"$p/cmdline" 2>/dev/null)"; done; }
mark="screenshot-test-$$-$RANDOM"
# One grep over every environment: a process a pid costs seconds on a loaded
# machine, and the rows below ask after each run.
marked() {
  grep -lzx "SCREENSHOT_TEST_MARK=$mark" /proc/[0-9]*/environ 2>/dev/null | sed 's|/environ$||'
}

# Whatever a failed row left running is ended with the test.
trap 'for left in $(marked); do kill -KILL "${left#/proc/}" 2>/dev/null; done; umount "$work/full" 2>/dev/null; rm -rf "$work"' EXIT

# Made: a PNG of the committed picture's size.
out="$work/shot/window.png"
SCREENSHOT_TEST_MARK="$mark" bash "$script" "$out" "$program" >"$work/log" 2>&1
status=$?
[ "$status" -eq 0 ] || fail "status $status: $(cat "$work/log")"
[ "$(head -c 8 "$out" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || fail "$out is not a PNG"
[ -f "$committed" ] || fail "no committed picture at $committed"
[ "$(size_of "$out")" = "$(size_of "$committed")" ] ||
  fail "made $(size_of "$out"), the committed picture is $(size_of "$committed"): remake it with scripts/screenshot.sh"
# The script waits for what it ended, so nothing it started is left.
left="$(marked)"
[ -z "$left" ] || fail "left running: $left"

# No program: one line naming what is missing, status not 0, no file.
missing="$work/none/tarvik"
bash "$script" "$work/none.png" "$missing" >"$work/log" 2>&1 && fail "succeeded without a program"
grep -q "no program at $missing" "$work/log" || fail "unclear without a program: $(cat "$work/log")"
[ ! -e "$work/none.png" ] || fail "wrote a picture without a program"

# What a careless caller gives: each fails with a line that says what went
# wrong, leaves a file already at the output path as it was, writes nothing
# else beside it and leaves nothing running.
printf '#!/bin/sh\nexit 3\n' >"$work/quits at once"
printf '#!/bin/sh\nkill -SEGV $$\n' >"$work/crashes"
printf '#!/bin/sh\nsleep 300 &\nexit 4\n' >"$work/leaves a child"
chmod +x "$work/quits at once" "$work/crashes" "$work/leaves a child"
mkdir "$work/folder" "$work/program folder"
: >"$work/a file"
printf 'old picture' >"$work/kept.png"
# name | output | program | what the message says
cases=(
  "folder as output|$work/folder|$program|$work/folder is a folder"
  "folder under a file|$work/a file/sub/window.png|$program|cannot make the folder $work/a file/sub"
  "program quits at once|$work/kept.png|$work/quits at once|the program ended (status 3) before its window showed"
  "program crashes|$work/kept.png|$work/crashes|the program ended (status 139) before its window showed"
  "program leaves a child|$work/kept.png|$work/leaves a child|the program ended (status 4) before its window showed"
  "program is a folder|$work/kept.png|$work/program folder|no program at $work/program folder"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name output prog expected <<<"$row"
  before="$(ls -A "$work/folder" "$work")"
  SCREENSHOT_TEST_MARK="$mark" bash "$script" "$output" "$prog" >"$work/log" 2>&1 && fail "$name: succeeded"
  grep -qF "screenshot.sh: $expected" "$work/log" || fail "$name: unclear: $(cat "$work/log")"
  [ "$(cat "$work/kept.png")" = "old picture" ] || fail "$name: the file at the output path was changed"
  [ "$(ls -A "$work/folder" "$work")" = "$before" ] || fail "$name: left files: $(ls -A "$work/folder" "$work")"
  left="$(marked)"
  [ -z "$left" ] || fail "$name: left running: $(commands_of $left)"
done
# Options, asked for or mistyped, in a folder of their own: usage or a
# clear refusal, and nothing made there (a name starting with - once went
# to dirname and cp as an option, making a folder named after dirname's help).
mkdir "$work/cwd"
# arguments | status | what it prints
options=(
  "--help|0|Usage: scripts/screenshot.sh"
  "-h|0|Usage: scripts/screenshot.sh"
  "--output|1|screenshot.sh: unknown option --output"
  "a.png|$program|extra|1|screenshot.sh: at most two arguments"
)
for row in "${options[@]}"; do
  IFS='|' read -r -a fields <<<"$row"
  expected="${fields[-1]}"
  status="${fields[-2]}"
  args=("${fields[@]:0:${#fields[@]}-2}")
  (cd "$work/cwd" && SCREENSHOT_TEST_MARK="$mark" bash "$script" "${args[@]}") >"$work/log" 2>&1
  got=$?
  [ "$got" -eq "$status" ] || fail "${args[*]}: status $got: $(cat "$work/log")"
  grep -qF -- "$expected" "$work/log" || fail "${args[*]}: unclear: $(cat "$work/log")"
  [ -z "$(ls -A "$work/cwd")" ] || fail "${args[*]}: made $(ls -A "$work/cwd")"
done
# A full disk, where mounting is allowed (as root): a full temporary folder
# is said as such rather than as an X server that did not start, and a
# picture that cannot be written leaves the one there as it was.
mkdir "$work/full"
if mount -t tmpfs -o size=64k tmpfs "$work/full" 2>/dev/null; then
  printf 'old picture' >"$work/full/kept.png"
  head -c 1M /dev/zero >"$work/full/fill" 2>/dev/null
  # what | environment | output | what the message says
  full=(
    "full temporary folder|TMPDIR=$work/full|$work/full.png|cannot write in the temporary folder"
    "full disk at the output|TMPDIR=$work|$work/full/kept.png|cannot write $work/full/kept.png"
  )
  for row in "${full[@]}"; do
    IFS='|' read -r name environment output expected <<<"$row"
    env "$environment" SCREENSHOT_TEST_MARK="$mark" bash "$script" "$output" "$program" >"$work/log" 2>&1 &&
      fail "$name: succeeded"
    grep -qF "screenshot.sh: $expected" "$work/log" || fail "$name: unclear: $(cat "$work/log")"
    [ "$(cat "$work/full/kept.png")" = "old picture" ] || fail "$name: the file at the output path was changed"
    [ "$(ls -A "$work/full")" = "$(printf 'fill\nkept.png')" ] || fail "$name: left files: $(ls -A "$work/full")"
    left="$(marked)"
    [ -z "$left" ] || fail "$name: left running: $(commands_of $left)"
  done
else
  echo "screenshot: full disk rows skipped: mounting is not allowed here"
fi
echo "screenshot: $(size_of "$out"), as committed"
