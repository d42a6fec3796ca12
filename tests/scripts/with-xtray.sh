#!/usr/bin/env bash
# with-xtray.sh [--sni] CMD...: CMD on a private Xvfb with a tray host, all stopped afterwards; CMD
# sees DISPLAY, its status is passed on. The host is trayer, an XEmbed tray (waited for with the tool
# in $TRAYWAIT), or with --sni xfce4-panel holding only its systray plugin, a status-notifier host
# that draws tray menus itself (it needs the private bus and XDG_CONFIG_HOME of with-keyring.sh).
set -uo pipefail
state=$(mktemp -d) pids=()
trap 'for pid in "${pids[@]}"; do kill $pid && timeout 2 tail --pid=$pid -s 0.05 -f /dev/null || kill -9 $pid; done 2>/dev/null
    rm -rf "$state"' EXIT
trap 'exit 130' INT TERM
fail() { echo "with-xtray.sh: $1" >&2 && cat "$state"/*.log >&2 && exit 1; }

# -displayfd: the server takes a free display number and writes it once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state/display" >"$state/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -s "$state/display" ] && break || sleep 0.05; done
export DISPLAY=":$(head -n1 "$state/display")"
[ "$DISPLAY" != : ] || fail "Xvfb did not start"
if [ "${1:-}" != --sni ]; then
    # The tray host gets no session bus, and none is launched on this display.
    DBUS_SESSION_BUS_ADDRESS=disabled: trayer --edge bottom --align right --widthtype request --height 32 \
        --SetDockType true --transparent false --tint 0x888888 >"$state/host.log" 2>&1 &
    pids+=($!)
    "${TRAYWAIT:?the traywait tool}" || fail "no tray after 10 s"
else
    shift
    # What the bus starts from now on (xfconfd, the keyring's unlock prompt) opens on this display.
    dbus-update-activation-environment DISPLAY NO_AT_BRIDGE=1 || fail "no session bus"
    mkdir -p "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml" && cat >"$_/xfce4-panel.xml" <<'XML'
<channel name="xfce4-panel" version="1.0"><property name="configver" type="int" value="2"/><property name="panels"
  type="array"><value type="int" value="1"/><property name="panel-1" type="empty"><property name="position" type="string"
  value="p=10;x=0;y=0"/><property name="plugin-ids" type="array"><value type="int" value="1"/></property></property>
  </property><property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>
XML
    NO_AT_BRIDGE=1 xfce4-panel --disable-wm-check >"$state/panel.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 300); do # the watcher: the panel's systray plugin, in a process of its own
        plugin=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus --method \
            org.freedesktop.DBus.GetConnectionUnixProcessID org.kde.StatusNotifierWatcher 2>/dev/null) && break
        sleep 0.05
    done
    plugin=$(awk '{printf $2 + 0}' <<<"$plugin") && [ "$plugin" != 0 ] && pids+=("$plugin") || fail "no status-notifier watcher"
fi
"$@"
