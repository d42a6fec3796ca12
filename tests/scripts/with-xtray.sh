#!/usr/bin/env bash
# with-xtray.sh [--sni] CMD [ARGS...]
# Runs CMD on a private Xvfb with a tray host, and stops what it started afterwards, even on
# failure; CMD sees DISPLAY, its exit code is passed on. The host is trayer, an XEmbed tray (waited
# for with $TRAYWAIT, the traywait tool), or with --sni xfce4-panel holding only its systray plugin:
# a status-notifier host that draws tray menus itself from the program's exported D-Bus menu. It
# needs a private session bus and XDG_CONFIG_HOME (run it inside with-keyring.sh).
set -uo pipefail

sni=
[ "${1:-}" = --sni ] && { sni=1; shift; }
state=$(mktemp -d "${TMPDIR:-/tmp}/xtray.XXXXXX")
pids=()

stop() { # pid: TERM, then KILL after 2 s
    kill "$1" 2>/dev/null && timeout 2 tail --pid="$1" -s 0.05 -f /dev/null
    kill -9 "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
cleanup() { # the last started first
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done
    rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() { echo "with-xtray: $1" >&2 && cat "$state"/*.log >&2; exit 1; }
bus_name_owner() { # name: the owner's process id, once the name has one
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.GetConnectionUnixProcessID "$1" 2>/dev/null | sed -n 's/^(uint32 \([0-9]*\),)$/\1/p'
}
wait_for_name() { # name
    for _ in $(seq 300); do
        [ -n "$(bus_name_owner "$1")" ] && return 0
        sleep 0.05
    done
    fail "nobody took $1 on the bus within 15 s"
}

# -displayfd: the server takes a free display number and writes it once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state/display" >"$state/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do
    [ -s "$state/display" ] && break
    kill -0 "${pids[0]}" 2>/dev/null || break
    sleep 0.05
done
[ -s "$state/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$state/display")"

if [ -z "$sni" ]; then
    # The tray host gets no session bus, and none is launched on this display.
    DBUS_SESSION_BUS_ADDRESS=disabled: trayer --edge bottom --align right --widthtype request --height 32 \
        --SetDockType true --transparent false --tint 0x888888 >"$state/host.log" 2>&1 &
    pids+=($!)
    "${TRAYWAIT:?the traywait tool}" 10 >/dev/null || fail "no tray after 10 s"
else
    # What the bus starts from now on (the keyring's unlock prompt) opens on this display.
    dbus-update-activation-environment DISPLAY NO_AT_BRIDGE=1 || fail "no session bus"
    conf=$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml
    mkdir -p "$conf"
    cat >"$conf/xfce4-panel.xml" <<'XML'
<channel name="xfce4-panel" version="1.0"><property name="configver" type="int" value="2"/>
  <property name="panels" type="array"><value type="int" value="1"/>
    <property name="panel-1" type="empty"><property name="position" type="string" value="p=10;x=0;y=0"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property></property></property>
  <property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>
XML
    # A private bus has nothing to start xfconfd from.
    /usr/lib/*/xfce4/xfconf/xfconfd >"$state/xfconfd.log" 2>&1 &
    pids+=($!)
    wait_for_name org.xfce.Xfconf
    NO_AT_BRIDGE=1 xfce4-panel --disable-wm-check >"$state/panel.log" 2>&1 &
    pids+=($!)
    wait_for_name org.kde.StatusNotifierWatcher
    pids+=("$(bus_name_owner org.kde.StatusNotifierWatcher)") # the panel's systray plugin process
fi

"$@"
