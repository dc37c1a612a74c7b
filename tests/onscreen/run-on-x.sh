#!/usr/bin/env bash
# Runs a test program on a private X server: Xvfb on a display it picks itself (other
# X servers may run at the same time), matchbox-window-manager without title bars, and
# the xcb platform. Both servers end with the test, whatever happens to it.
# Exit 77 (CTest: skipped) when no X server can be started, said loudly on stderr.
set -u

skip() {
    echo "" >&2
    echo "***************************************************************" >&2
    echo "*** SKIPPED: $*" >&2
    echo "*** The on-screen tests did not run: no X server could start. ***" >&2
    echo "***************************************************************" >&2
    exit 77
}

[ $# -ge 1 ] || { echo "usage: $0 PROGRAM [ARGS...]" >&2; exit 2; }
command -v Xvfb >/dev/null 2>&1 || skip "Xvfb is not installed"
command -v matchbox-window-manager >/dev/null 2>&1 || skip "matchbox-window-manager is not installed"

work="$(mktemp -d)"
xvfb_pid=""
wm_pid=""
cleanup() {
    [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# -displayfd: the server chooses a free display and writes its number when it is ready.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 300); do # up to 30 s on a loaded machine
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
done
display="$(head -n 1 "$work/display" 2>/dev/null | tr -dc 0-9)"
if [ -z "$display" ]; then
    cat "$work/xvfb.log" >&2
    skip "Xvfb did not start"
fi
export DISPLAY=":$display"

# FOTARIK_X_DIALOGS (window titles, comma-separated) makes those windows dialogs: shown
# at their own size instead of filling the screen (the screenshot of the search window).
dialogs=()
[ -n "${FOTARIK_X_DIALOGS:-}" ] && dialogs=(-use_dialog_mode free -force_dialogs "$FOTARIK_X_DIALOGS")
matchbox-window-manager -use_titlebar no "${dialogs[@]}" 2>"$work/wm.log" &
wm_pid=$!
# The window manager has taken over once it owns the root window's substructure; give
# it a moment, and make sure it is still there.
sleep 0.5
if ! kill -0 "$wm_pid" 2>/dev/null; then
    cat "$work/wm.log" >&2
    skip "matchbox-window-manager did not start on $DISPLAY"
fi

export QT_QPA_PLATFORM=xcb
echo "on-screen test on DISPLAY=$DISPLAY (Xvfb $xvfb_pid, matchbox $wm_pid)"
"$@" &
test_pid=$!
trap 'kill "$test_pid" 2>/dev/null; exit 143' TERM
trap 'kill "$test_pid" 2>/dev/null; exit 130' INT
wait "$test_pid"
exit $?
