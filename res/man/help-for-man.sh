#!/bin/sh
# Runs the program for help2man: the manual page is made from --help, with
# "Exit status:" marked as a section of its own (help2man's custom-section form).
# Usage: help-for-man.sh PROGRAM --help|--version
program="$1"
shift
"$program" "$@" | sed 's/^Exit status:$/*Exit status*/'
