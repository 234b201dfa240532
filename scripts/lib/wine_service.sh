# The TarselHelper service in a private Wine prefix, shared by scripts/demo and
# scripts/soak. Source lib/common.sh first.
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

# wine_prefix_start: makes the prefix afresh and leaves one persistent server
# running in it.
wine_prefix_start() {
    rm -rf "$WINEPREFIX"
    wine wineboot -i </dev/null >/dev/null 2>&1
    # wineboot returns before the prefix has settled; the first StartServiceW
    # would time out otherwise.
    wineserver -w
    # With a short-lived server, Wine ends services a few seconds after the
    # last console program exits. Wine's system processes inherit the standard
    # handles of the command that starts them, so they are started with those
    # handles detached; otherwise a $(wine ...) would wait for them forever.
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1
}

# wine_started PROGRAM [ARGS...]: runs a Windows program with its output
# captured and printed. Now and then Wine fails to start a program at all: it
# ends at once with a non-zero status having written nothing. Such a run says
# nothing about the program, so it is run again, up to twice, and each restart
# is reported on standard error. Any run that wrote something is final.
wine_started() {
    local attempt output rc
    for attempt in 1 2 3; do
        rc=0
        output=$(wine "$@" </dev/null 2>&1) || rc=$?
        if [ "$rc" -eq 0 ] || [ -n "$output" ] || [ "$attempt" -eq 3 ]; then
            break
        fi
        echo "wine: $1 ended with status $rc before writing anything (attempt $attempt); running it again" >&2
    done
    printf '%s\n' "$output"
    return "$rc"
}

# wine_prefix_remove: ends every Wine process of the prefix and deletes it.
wine_prefix_remove() {
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        rm -rf "$WINEPREFIX"
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
