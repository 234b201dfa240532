#!/bin/sh
# Runs a Windows program under Wine on a pseudo-terminal and exits with its
# status. Wine gives a console program a console it can write to and read back
# only when it runs on a terminal; under CTest's pipes there is none.
# usage: on_terminal.sh WINE_RUN PROGRAM [ARGS...]
set -eu
wine_run=$1
shift
transcript=$(mktemp)
trap 'rm -f "$transcript"' EXIT
command="'$wine_run'"
for argument in "$@"; do
    command="$command '$argument'"
done
status=0
script -q -e -c "$command" "$transcript" </dev/null >/dev/null || status=$?
# What the program printed, as the terminal received it.
tr -d '\r' <"$transcript" | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g'
exit $status
