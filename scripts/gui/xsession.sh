# shellcheck shell=sh
# Shared by the scripts of this folder (sourced): a private X server and
# helpers to find and capture the tray program's windows.
#   gx_start_x <run dir>     starts Xvfb on a free display, exports DISPLAY
#   gx_visible_window <name> [seconds]  id of a visible window with that title
#   gx_capture <window id> <png>
#   gx_stop_all              stops every process started through gx_spawn
GX_PIDS=""

gx_spawn() { # <log file> <command...>: starts a background process, records its PID
    _log=$1
    shift
    "$@" >"$_log" 2>&1 &
    GX_LAST_PID=$!
    GX_PIDS="$GX_LAST_PID $GX_PIDS"
}

gx_start_x() {
    command -v Xvfb >/dev/null 2>&1 || { echo "Xvfb missing (apt-get install xvfb)" >&2; return 77; }
    command -v xdotool >/dev/null 2>&1 || { echo "xdotool missing (apt-get install xdotool)" >&2; return 77; }
    _fifo="$1/displayfd"
    mkfifo "$_fifo"
    # -noreset: by default the server resets whenever its last client leaves,
    # and a client connecting during that reset is refused. Every xdotool
    # call is a client of its own, so a program started while a poll ends
    # (the PIN prompt the agent starts) could find no display and exit.
    Xvfb -displayfd 3 -screen 0 1400x800x24 -nolisten tcp -noreset 3>"$_fifo" >"$1/xvfb.log" 2>&1 &
    GX_XVFB_PID=$!
    GX_PIDS="$GX_XVFB_PID $GX_PIDS"
    read -r _display <"$_fifo" || return 1
    rm -f "$_fifo"
    export DISPLAY=":$_display"
    export XDG_RUNTIME_DIR="$1/xdg-runtime"
    mkdir -p "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"
}

gx_visible_window() { # <title> [seconds]
    _until=$(($(date +%s) + ${2:-10}))
    while [ "$(date +%s)" -le "$_until" ]; do
        _id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
        [ -n "$_id" ] && { echo "$_id"; return 0; }
        sleep 0.2
    done
    return 1
}

gx_no_visible_window() { # <title> [seconds]: true once no such window is visible
    _until=$(($(date +%s) + ${2:-10}))
    while [ "$(date +%s)" -le "$_until" ]; do
        [ -z "$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null)" ] && return 0
        sleep 0.2
    done
    return 1
}

gx_capture() { # <window id> <png>
    # ImageMagick's own import (a different program may shadow it on PATH).
    _import=/usr/bin/import
    [ -x "$_import" ] || _import=import
    "$_import" -display "$DISPLAY" -window "$1" "$2"
}

gx_wait_log() { # <file> <fixed text> <seconds> [count]: waits until the text occurs count times
    _until=$(($(date +%s) + $3))
    while [ "$(date +%s)" -le "$_until" ]; do
        # grep -c prints nothing for a file not written yet.
        _count=$(grep -cF -- "$2" "$1" 2>/dev/null || true)
        [ "${_count:-0}" -ge "${4:-1}" ] && return 0
        sleep 0.2
    done
    echo "timed out waiting for '$2' in $1" >&2
    return 1
}

gx_stop() { # <pid>
    kill -TERM "$1" 2>/dev/null || true
    _n=0
    while kill -0 "$1" 2>/dev/null && [ $_n -lt 50 ]; do
        sleep 0.1
        _n=$((_n + 1))
    done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

gx_stop_all() {
    for _pid in $GX_PIDS; do
        gx_stop "$_pid"
    done
    GX_PIDS=""
}
