#!/bin/sh
# Pictures of every page of the tray program: connecting, sign-in (also
# rejected, locked out, unreachable service and after the launch limit), PIN
# creation and entry with each of their status texts, the personal area with
# each section and with the longest agent data, the access-key form of
# directory mode, the update notice and the filtering-off page. Fails (exit 1)
# when a label's text is clipped on any page; CI runs it (tst_gui_page_shots)
# and keeps the pictures in <build dir>/gui-screenshots/pages.
# The pages are rendered offscreen at the window's fixed size with sample
# data; a stand-in agent in a private network namespace keeps the window in
# its connected state.
#
# usage: scripts/gui/page-screenshots.sh <build dir> [output dir]
#   default output dir: <build dir>/gui-screenshots/pages
# Prints the path of each picture. Needs root (private namespace); exit 77
# (skipped) without it.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 <build dir> [output dir]" >&2; exit 2; }
build=$(cd "$1" && pwd)
out=${2:-$build/gui-screenshots/pages}
tool="$build/tests/gui/corvane-gui-page-shots"
[ -x "$tool" ] || { echo "$tool not built (ninja -C $build corvane-gui-page-shots)" >&2; exit 1; }
{ [ "$(id -u)" = 0 ] && unshare --net --ipc true 2>/dev/null; } ||
    { echo "needs root and namespaces; skipped" >&2; exit 77; }
mkdir -p "$out"
out=$(cd "$out" && pwd)
data=$(mktemp -d /tmp/corvane-gui-pages.XXXXXX)
trap 'rm -rf "$data"' EXIT
# The program's own INI file goes to a private folder; the log lands beside
# the tool and is of no interest here.
# shellcheck disable=SC2016 # expanded by the inner shell
XDG_DATA_HOME="$data" XDG_RUNTIME_DIR="$data" QT_QPA_PLATFORM=offscreen \
    unshare --net --ipc -- sh -c 'ip link set lo up && exec "$0" "$1"' "$tool" "$out"
