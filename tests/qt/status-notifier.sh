#!/usr/bin/env bash
# status-notifier.sh PROGRAM
# The tray program under a status-notifier host (with-sni-panel.sh locked), its menu driven over
# D-Bus by $PELTWICK_MENU_HOST, which holds the item ids it fetched as the panel does. The icon
# registers and answers while the unlock prompt is up, the menu is disconnected once it is cancelled,
# each click on a toggle flips its setting, a tick due while the host's menu is open waits for the
# host's "closed", a second start leaves one copy, with the keyring daemon stopped the menu answers
# and waits and the read gives up, and Quit in the panel's own menu ends the program.
set -uo pipefail
. "$(dirname "$0")/x-test-lib.sh" status-notifier "$1"
trap '' PIPE # a menu-host that died makes its checks fail, not the script

host() { # command: menu-host's one-line answer
    local answer
    echo "$*" >&"${host_io[1]:-}" && read -r -t 10 -u "${host_io[0]:-}" answer && echo "$answer"
}
answers() { [ "$(host "$@")" = ok ]; }
menu_shows() { [[ $(host menu) == *"$1"* ]]; }
toggle() { # title shown-after check...: a click with the held id; the setting and the menu follow
    answers click "$1" && wait_until 100 "${@:3}" && wait_until 100 menu_shows "$2"
}
prompt() { xdotool search --onlyvisible --name '^Unlock Login Keyring$'; }
keyring_reads() { grep -c '^method call' "$work/keyring-calls.log"; }
panel_menu() { # the panel's open menu: a visible window of its plugin process besides the plugin's own
    xdotool search --onlyvisible --name '^wrapper-2.0$' | grep -vx "$plugin" | head -n1 | grep .
}

dbus-monitor --session "type='method_call',interface='org.freedesktop.Secret.Service',member='ReadAlias'" \
    >"$work/keyring-calls.log" 2>&1 &
helpers+=($!)
launch PELTWICK_AUTO_SYNC_SECONDS=3
check "the keyring shows its unlock prompt" wait_until 200 prompt
coproc host_io { "$PELTWICK_MENU_HOST"; }
helpers+=("$host_io_PID")
read -r -t 15 -u "${host_io[0]}" ready
check "the icon registers with the status-notifier watcher meanwhile" test "$ready" = ready
check "the item answers its host meanwhile" answers ping 500
check "the menu waits for the keyring meanwhile" menu_shows "Sync Contacts Now (off) | Sync Hourly [x] | Start at Login [x] | Waiting for the keyring… (off) |"
plugin=$(xdotool search --onlyvisible --name '^wrapper-2.0$' | head -n1)
check "the panel draws the icon meanwhile" test "$(import -window "$plugin" -format %k info:)" -gt 8
shot prompt-and-panel
xdotool key Escape
check "prompt cancelled" wait_until 100 eval '! prompt'
check "the menu shows the disconnected state" wait_until 100 menu_shows "| Connect… | Server: peltwick.app… | Quit"

check "Start at Login off" toggle "Start at Login" "Start at Login [ ]" test ! -e "$entry"
check "Start at Login on again" toggle "Start at Login" "Start at Login [x]" test -f "$entry"
check "Sync Hourly off" toggle "Sync Hourly" "Sync Hourly [ ]" has_line "$settings" autoSync=false
sleep 0.5
reads=$(keyring_reads)
# The hourly timer starts again from this click: its first tick falls due 3 s later.
check "Sync Hourly on again" toggle "Sync Hourly" "Sync Hourly [x]" has_line "$settings" autoSync=true
# A host that has reported a close (as those built on libdbusmenu-qt do) opens its menu.
check "the host's menu closed, then opened" eval 'answers closed && answers abouttoshow && answers opened'
sleep 0.5
reads_open=$(keyring_reads)
sleep 3
reads_held=$(keyring_reads)
check "no tick while the host's menu is open" test "$reads_held" = "$reads_open"
check "the host's menu closes" answers closed
sleep 0.7
check "the held tick runs once after it closed (as one read)" \
    test "$((reads_open - reads))" -gt 0 -a "$(($(keyring_reads) - reads_held))" = "$((reads_open - reads))"

timeout 10 "$app" >/dev/null 2>"$work/second.err"
check "a second start exits with status 0" test $? = 0
check "it says the program is already running" has_line "$work/second.err" "Peltwick Importer is already running."
check "one icon, and the first copy runs on" eval '[ "$(host items)" = 1 ] && ! exited'

kill -STOP "$KEYRING_PID"
trap 'kill -CONT "$KEYRING_PID"; cleanup' EXIT
check "a click works while the keyring daemon is stopped" toggle "Start at Login" "Start at Login [ ]" test ! -e "$entry"
check "the menu answers within 0.5 s meanwhile" answers ping 500
check "the menu waits for the keyring meanwhile" \
    wait_until 40 menu_shows "Sync Contacts Now (off) | Sync Hourly [x] | Start at Login [ ] | Waiting for the keyring… (off) |"
check "the read gives up within its bound" \
    wait_until 200 grep -q 'PeltwickImporter: the keyring (Secret Service) did not answer' "$artifacts/program.log"
check "after the failed read the menu still answers and waits" eval 'answers ping 500 && menu_shows "| Waiting for the keyring… (off) |"'
kill -CONT "$KEYRING_PID"
trap cleanup EXIT
check "the menu shows the keyring's answer once it runs again" wait_until 200 menu_shows "| Connect… |"

xdotool mousemove --window "$plugin" 11 13 click 3
check "a right click on the panel's icon opens the panel's menu" wait_until 100 panel_menu
shot panel-menu "$(panel_menu)"
xdotool key Up Return # Up selects the last item, Quit
check "Quit in the panel's menu ends the program" wait_until 100 exited
stop_app
check "exit status 0" test "$app_status" = 0
finish
