#!/usr/bin/env bash
# tray-program.sh PROGRAM
# The tray program as a user meets it, on the X server with a tray that with-xtray.sh provides: it
# starts with an empty home, docks one icon, opens its menu on a left and on a right click, quits
# on Ctrl+Q pressed in the open menu, and writes its first-run settings and autostart entry once;
# a second launch keeps what the user changed. Screenshots go to $PELTWICK_BINARY_DIR/test-artifacts.
set -uo pipefail

app=${1:?PROGRAM}
app=$(cd "$(dirname "$app")" && pwd)/$(basename "$app")
artifacts=${PELTWICK_BINARY_DIR:-$(dirname "$app")}/test-artifacts/tray-program
mkdir -p "$artifacts"
work=$(mktemp -d "${TMPDIR:-/tmp}/tray-program.XXXXXX")

. "$(dirname "$0")/x-test-lib.sh"

mkdir -p "$work/home" "$work/config" "$work/data" "$work/cache" "$work/run"
chmod 700 "$work/run"
settings=$work/config/Peltwick/PeltwickImporter.conf
entry=$work/config/autostart/app.peltwick.importer.desktop

launch() {
    # Under AddressSanitizer: libxkbcommon-x11 hands strndup an unterminated buffer, which the
    # strict string checks report although strndup reads no further than its bound.
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0" env -u XDG_CURRENT_DESKTOP -u XDG_CONFIG_DIRS HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
        XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/run" \
        DBUS_SESSION_BUS_ADDRESS=disabled: "$app" >>"$artifacts/program.log" 2>&1 &
    app_pid=$!
}
icon=
docked() { # the icon: the program's only visible window before any menu opens, moved into the tray
    local tree root parent
    icon=$(xdotool search --onlyvisible --class PeltwickImporter 2>/dev/null | head -n1)
    [ -n "$icon" ] || return 1
    tree=$(xwininfo -id "$icon" -tree) || return 1
    root=$(sed -n 's/^ *Root window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")
    parent=$(sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")
    [ -n "$parent" ] && [ "$parent" != "$root" ]
}
menu_window() { # the open menu: a visible window of the program other than the icon
    local w
    for w in $(xdotool search --onlyvisible --class PeltwickImporter 2>/dev/null); do
        [ "$w" != "$icon" ] && { echo "$w"; return 0; }
    done
    return 1
}
click_icon() { # button
    [ -n "$icon" ] || return 1
    eval "$(xdotool getwindowgeometry --shell "$icon")"
    xdotool mousemove --window "$icon" $((WIDTH / 2)) $((HEIGHT / 2)) click "$1"
}
menu_opens_on() { # button
    click_icon "$1" && wait_until 100 menu_window
}
menu_closed() { kill -0 "$app_pid" 2>/dev/null && ! menu_window >/dev/null; }
exited() { ! kill -0 "$app_pid" 2>/dev/null; }
stop_app() { # reaps the program, killing it if it is still running; its status in app_status
    kill "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_status=$?
    app_pid=
}
has_line() { grep -qxF -- "$2" "$1"; }
shot() { # name: the whole screen, and the menu cut out of it when one is open
    local menu
    import -window root "$artifacts/$1.png"
    if menu=$(menu_window); then
        eval "$(xdotool getwindowgeometry --shell "$menu")"
        /usr/bin/convert "$artifacts/$1.png" -crop "$((WIDTH + 40))x$((HEIGHT + 60))+$((X > 20 ? X - 20 : 0))+$((Y > 20 ? Y - 20 : 0))" \
            +repage "$artifacts/$1-menu.png"
    fi
}

# --- First launch with an empty home.
launch
check "icon docked in the tray" wait_until 200 docked
check "no window besides the icon" test "$(xdotool search --onlyvisible --class PeltwickImporter | wc -l)" = 1
check "left click opens the menu" menu_opens_on 1
shot menu-left-click
xdotool key Escape
check "Escape closes the menu" wait_until 40 menu_closed
check "right click opens the menu" menu_opens_on 3
shot menu-right-click
xdotool key ctrl+q
check "Ctrl+Q in the open menu quits" wait_until 100 exited
stop_app
check "exit status 0" test "$app_status" = 0

check "first run: settings file written" test -f "$settings"
check "first run: autoSync on" has_line "$settings" "autoSync=true"
check "first run: autoSyncDefaulted" has_line "$settings" "autoSyncDefaulted=true"
check "first run: loginItemDefaulted" has_line "$settings" "loginItemDefaulted=true"
check "first run: no last-sync line" bash -c "! grep -q '^lastSyncSummary=' '$settings'"
check "autostart entry written" test -f "$entry"
check "autostart entry starts this program" has_line "$entry" "Exec=\"$app\""
check "autostart entry waits for the tray" has_line "$entry" "X-LXQt-Need-Tray=true"
check "autostart entry starts after the panel" has_line "$entry" "X-KDE-autostart-after=panel"
check "autostart entry has a start delay" grep -q '^X-GNOME-Autostart-Delay=[0-9]' "$entry"
cp "$settings" "$entry" "$artifacts/" 2>/dev/null

# --- The user turned hourly syncing off and removed the login item; a later launch keeps both.
sed -i 's/^autoSync=true$/autoSync=false/' "$settings"
rm -f "$entry"
launch
check "second launch: icon docked" wait_until 200 docked
check "second launch: menu opens" menu_opens_on 1
shot menu-second-launch
xdotool key Up Return # Up wraps to the last item, "Quit"
check "Quit in the menu ends the program" wait_until 100 exited
stop_app
check "second launch: exit status 0" test "$app_status" = 0
check "second launch: autoSync stays off" has_line "$settings" "autoSync=false"
check "second launch: no new autostart entry" test ! -e "$entry"

echo "$pass passed, $fail failed"
[ "$fail" = 0 ]
