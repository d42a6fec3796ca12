#!/usr/bin/env bash
# with-xtray.sh CMD [ARGS...]
# Runs CMD on a private X server (Xvfb, free display picked by the server itself) with the trayer
# tray host, and stops both afterwards, even on failure. CMD sees DISPLAY; its exit code is passed
# on. TRAYWAIT (the traywait tool's path) makes the wait for the tray exact; without it the script
# waits for trayer's window.
set -uo pipefail

state=$(mktemp -d "${TMPDIR:-/tmp}/xtray.XXXXXX")
xvfb_pid= host_pid=

stop() { # pid: TERM, then KILL after 2 s
    local pid=$1
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 40); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    stop "$host_pid"
    stop "$xvfb_pid"
    rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# -displayfd: the server takes a free display number and writes it once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state/display" >"$state/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 200); do
    [ -s "$state/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
done
if [ ! -s "$state/display" ]; then
    echo "with-xtray: Xvfb did not start" >&2
    cat "$state/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$(head -n1 "$state/display")"

# The tray host gets no session bus, and none is launched on this display.
DBUS_SESSION_BUS_ADDRESS=disabled: trayer --edge bottom --align right --widthtype request --height 32 \
    --SetDockType true --transparent false --tint 0x888888 >"$state/host.log" 2>&1 &
host_pid=$!

if [ -n "${TRAYWAIT:-}" ]; then
    if ! "$TRAYWAIT" 10 >/dev/null; then
        echo "with-xtray: no tray after 10 s" >&2
        cat "$state/host.log" >&2
        exit 1
    fi
else
    if ! timeout 10 xdotool search --sync --name '^panel$' >/dev/null; then
        echo "with-xtray: no tray window after 10 s" >&2
        exit 1
    fi
    sleep 0.5 # trayer takes the selection around the time its window appears
fi

"$@"
status=$?
exit $status
