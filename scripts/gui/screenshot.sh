#!/bin/sh
# Takes a picture of the tray program's main window under a private X server,
# talking to a stand-in agent, so anyone can look at the window without a
# desktop or the real agent.
#
# usage: scripts/gui/screenshot.sh <build dir> [output.png] [--pin]
#   default output: <build dir>/gui-screenshots/main-window.png
#   --pin: show the PIN entry instead of the sign-in form
# Needs: Xvfb, xdotool, ImageMagick (import); root for the private network
# namespace (the control port 49101 and the single-instance guard stay private).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { echo "usage: $0 <build dir> [output.png] [--pin]" >&2; exit 2; }

if [ -z "${CORVANE_GUI_SHOT_INSIDE:-}" ]; then
    CORVANE_GUI_SHOT_INSIDE=1 exec unshare --net --ipc -- "$0" "$@"
fi

build=$(cd "$1" && pwd)
shift
out="$build/gui-screenshots/main-window.png"
pin=""
for arg in "$@"; do
    case "$arg" in
    --pin) pin="--pin" ;;
    *) out=$arg ;;
    esac
done
gui="$build/agent/host/agentcorvanegui/agentcorvanegui"
fake="$build/tests/gui/corvane-gui-fake-agent"
for bin in "$gui" "$fake"; do
    [ -x "$bin" ] || { echo "$bin not built (ninja -C $build agentcorvanegui corvane-gui-fake-agent)" >&2; exit 1; }
done

. "$here/xsession.sh"
run=$(mktemp -d /tmp/corvane-gui-shot.XXXXXX)
finish() {
    status=$?
    trap - EXIT INT TERM
    gx_stop_all
    [ "$status" -eq 0 ] && rm -rf "$run" || echo "logs kept in $run" >&2
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip link set lo up
gx_start_x "$run"
export XDG_DATA_HOME="$run/data"
unset QT_QPA_PLATFORM

gx_spawn "$run/fake-agent.log" "$fake" $pin
# "activation" on a first start: the window opens as soon as the agent answers.
gx_spawn "$run/gui.log" "$gui" activation
win=$(gx_visible_window "Corvane Agent" 20) || { echo "the main window did not appear" >&2; exit 1; }
# Let the page settle (fonts, the answer to AUTHDATA) before the picture.
sleep 1
mkdir -p "$(dirname "$out")"
gx_capture "$win" "$out"
echo "$out"
