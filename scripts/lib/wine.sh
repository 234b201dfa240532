# Windows programs under Wine, in a private prefix: the one place that knows how
# to start a prefix, keep its server alive, run a program that Wine sometimes
# fails to start, and find the installed TarselHelper service's files.
# Sourced by build/windows/wine-run (the CTest runner, made from
# cmake/wine-run.sh.in), scripts/demo, scripts/soak and scripts/test.
# shellcheck shell=bash

TARSEL_INSTALL_DIR_WIN='C:\Program Files\TarselVPN'

# wine_prefix_use DIR: points Wine at a private prefix in DIR, quietly.
wine_prefix_use() {
    export WINEPREFIX=$1
    export WINEDEBUG=-all
    # No Mono or Gecko installer prompts in a headless prefix.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    TARSEL_INSTALL_DIR="$WINEPREFIX/drive_c/Program Files/TarselVPN"
}

# wine_prefix_start: makes the prefix if it does not exist yet and leaves one
# persistent server running in it. Safe to call from many processes at once
# (CTest runs tests in parallel): they take turns on $WINEPREFIX.lock.
#
# One persistent wineserver serves the whole run: with a short-lived one, Wine
# ends services a few seconds after the last console program exits, and every
# program pays about a second for the server's start. Wine's system processes
# inherit the standard handles of the command that starts them, so they are
# started here with those handles detached; otherwise whoever reads the output
# of the program run next (CTest, a shell's $(...)) would wait for them forever.
wine_prefix_start() {
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            wine wineboot -i </dev/null >/dev/null 2>&1 9>&-
            # wineboot returns before the prefix has settled; the first
            # StartServiceW would time out otherwise.
            wineserver -w 9>&-
        fi
        # The lock's descriptor is closed for everything started here: the
        # server and Wine's system processes live on and would hold the lock.
        if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
            wine cmd /c exit </dev/null >/dev/null 2>&1 9>&-
        fi
    ) 9>"$WINEPREFIX.lock"
}

# wine_prefix_stop: ends the server and every Wine process of the prefix.
wine_prefix_stop() {
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
}

# wine_prefix_remove: ends every Wine process of the prefix and deletes it.
wine_prefix_remove() {
    wine_prefix_stop
    rm -rf "$WINEPREFIX" "$WINEPREFIX.lock"
}

# wine_started PROGRAM [ARGS...]: runs a Windows program (through `wine`), then
# prints its standard output and error, each to its own stream, and returns its
# status.
#
# Now and then Wine fails to start a program at all: the program ends at once
# with a non-zero status and has written nothing, not even the first line every
# test program prints. (Inside Wine the same fault shows as CreateProcessW
# failing with error 1359.) Such a run says nothing about the program, so it is
# run again, up to twice. Each restart is reported on standard error and, when
# WINE_RUN_RESTARTS_LOG names a file, recorded there (scripts/test reports
# them in its last line). Any run that wrote something is final, whatever its
# status.
wine_started() {
    local capture attempt status line
    capture=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
    attempt=1
    while :; do
        status=0
        wine "$@" >"$capture/out" 2>"$capture/err" || status=$?
        if [ "$status" -eq 0 ] || [ -s "$capture/out" ] || [ -s "$capture/err" ] ||
            [ "$attempt" -ge 3 ]; then
            break
        fi
        line="wine-run: $* ended with status $status before writing anything (attempt $attempt); running it again"
        echo "$line" >&2
        if [ -n "${WINE_RUN_RESTARTS_LOG:-}" ]; then
            echo "$(date -u +%FT%TZ) $line" >>"$WINE_RUN_RESTARTS_LOG"
        fi
        attempt=$((attempt + 1))
    done
    cat "$capture/out"
    cat "$capture/err" >&2
    rm -rf "$capture"
    return "$status"
}

# wine_restarts_count FILE: how many restarts FILE records (0 if none).
wine_restarts_count() {
    if [ -s "$1" ]; then
        wc -l <"$1"
    else
        echo 0
    fi
}

# place_programs BIN_DIR: copies the helper, tarselctl and the stand-in
# wireguard.exe into C:\Program Files\TarselVPN.
place_programs() {
    mkdir -p "$TARSEL_INSTALL_DIR"
    cp "$1/tarsel-helper.exe" "$1/tarselctl.exe" "$1/wireguard.exe" "$TARSEL_INSTALL_DIR/"
}

# find_service_data_dir: sets data_dir (Unix path) and data_dir_win to the
# directory the running service made, or returns 1 after 10 s without one.
# Under Wine a service sees PROGRAMDATA as C:\users\Public, not the
# C:\ProgramData a console program sees, so it is looked for where it is.
find_service_data_dir() {
    data_dir=
    for _ in $(seq 100); do
        data_dir=$(find "$WINEPREFIX/drive_c" -maxdepth 3 -type d -name TarselVPN \
            -not -path "*/Program Files/*" | head -n 1)
        [ -n "$data_dir" ] && break
        sleep 0.1
    done
    [ -n "$data_dir" ] || return 1
    # msvcrt's text mode ends each line Windows programs print with "\r\n".
    data_dir_win=$(wine winepath -w "$data_dir" 2>/dev/null | tr -d '\r')
}

# wait_service_removed: waits up to 10 s until tarselctl reports the service
# gone. The service manager deletes it once it has stopped, which takes the
# command loop up to one 300 ms pass.
wait_service_removed() {
    local state
    for _ in $(seq 50); do
        state=$(wine "$TARSEL_INSTALL_DIR_WIN\\tarselctl.exe" --dir "${data_dir_win:-C:\\}" status \
            </dev/null 2>&1 || true)
        [[ $state == *"TarselHelper is not installed"* ]] && return 0
        sleep 0.2
    done
    return 1
}
