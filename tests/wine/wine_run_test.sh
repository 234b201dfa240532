#!/bin/sh
# The wine-run wrapper runs a program again only when Wine ended it without a
# word; every other outcome, success or failure, passes through unchanged.
#   wine_run_test.sh WINE_RUN EXIT_AS_TOLD_EXE
set -u
wine_run=$1
program=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
WINE_RUN_RESTARTS_LOG=$work/restarts.log
export WINE_RUN_RESTARTS_LOG
failures=0

# check NAME EXPECTED_STATUS EXPECTED_RESTARTS EXPECTED_STDOUT -- ARGS...
check() {
    name=$1 want_status=$2 want_restarts=$3 want_out=$4
    shift 5
    rm -f "$WINE_RUN_RESTARTS_LOG"
    out=$("$wine_run" "$program" "$@" 2>"$work/err")
    status=$?
    restarts=0
    [ -f "$WINE_RUN_RESTARTS_LOG" ] && restarts=$(wc -l <"$WINE_RUN_RESTARTS_LOG")
    err_lines=$(grep -c "running it again" "$work/err")
    out=$(printf '%s' "$out" | tr -d '\r')
    if [ "$status" -ne "$want_status" ] || [ "$restarts" -ne "$want_restarts" ] ||
        [ "$err_lines" -ne "$want_restarts" ] || [ "$out" != "$want_out" ]; then
        echo "FAIL $name: status $status (want $want_status), restarts $restarts and $err_lines on stderr (want $want_restarts), stdout '$out' (want '$want_out')"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

check "silent every time: three runs, the status kept" 7 2 "" -- silent
check "loud failure: one run, passed through" 2 0 "failing loudly" -- loud
check "silent once: the second run is the answer" 0 1 "second run" -- silent-once 'Z:'"$(printf '%s' "$work" | tr / '\\')"'\mark'
[ "$failures" -eq 0 ]
