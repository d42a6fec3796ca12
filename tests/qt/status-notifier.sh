#!/usr/bin/env bash
# status-notifier.sh PROGRAM, in with-sni-panel.sh locked: the tray program under xfce4-panel, its
# menu driven over D-Bus by $PELTWICK_MENU_HOST, which holds the item ids as libdbusmenu hosts do.
set -uo pipefail
. "$(dirname "$0")/x-test-lib.sh" status-notifier "$1"
trap '' PIPE # a menu-host that died makes its checks fail, not the script

host() { echo "$*" >&"${host_io[1]:-}" && read -r -t 10 -u "${host_io[0]:-}" reply && echo "$reply"; }
answers() { [ "$(host "$@")" = ok ]; }
shows() { [[ $(host menu) == *"$1"* ]]; }
toggle() { answers click "$1" && wait_until 100 "${@:3}" && wait_until 100 shows "$2"; } # title shown-after check...
prompt() { xdotool search --onlyvisible --name '^Unlock Login Keyring$'; }
reads() { grep -c '^method call' "$work/reads"; } # of the keyring: one at each menu rebuild and tick
panel_menu() { xdotool search --onlyvisible --name '^wrapper-2.0$' | grep -vx "$plugin" | grep -m1 .; }

dbus-monitor "type='method_call',interface='org.freedesktop.Secret.Service',member='ReadAlias'" >"$work/reads" & helpers+=($!)
launch PELTWICK_AUTO_SYNC_SECONDS=3
check "the keyring shows its unlock prompt" wait_until 200 prompt
coproc host_io { "$PELTWICK_MENU_HOST"; } && helpers+=("$host_io_PID")
check "meanwhile the icon registers with the watcher" eval 'read -r -t 15 -u "${host_io[0]}" ready && [ "$ready" = ready ]'
check "meanwhile the item answers its host" answers ping 500
check "meanwhile the menu waits for the keyring" shows "Sync Contacts Now (off) | Sync Hourly [x] | Start at Login [x] | Waiting for the keyring… (off) |"
plugin=$(xdotool search --onlyvisible --name '^wrapper-2.0$' | head -n1) # the panel's tray
check "meanwhile the panel draws the icon" test "$(import -window "$plugin" -format %k info:)" -gt 8
check "the prompt cancelled, the menu is disconnected" eval 'xdotool key Escape && wait_until 100 eval "! prompt" &&
    wait_until 100 shows "| Connect… | Server: peltwick.app… | Quit"'

check "Start at Login off" toggle "Start at Login" "Start at Login [ ]" test ! -e "$entry"
check "Start at Login on again" toggle "Start at Login" "Start at Login [x]" test -f "$entry"
check "Sync Hourly off" toggle "Sync Hourly" "Sync Hourly [ ]" has_line "$settings" autoSync=false
sleep 0.5 && before=$(reads)
# The timer starts again from this click: its first tick falls due 3 s later, while the menu is
# open on a host that has reported a close before (as those on libdbusmenu-qt do).
check "Sync Hourly on again" toggle "Sync Hourly" "Sync Hourly [x]" has_line "$settings" autoSync=true
check "the host's menu closes and opens" eval 'answers closed && answers opened'
sleep 0.5 && opened=$(reads) && sleep 3
check "no tick while the host's menu is open" test "$(reads)" = "$opened"
check "the held tick runs once after it closed" eval 'answers closed && sleep 0.7 && [ "$opened" -gt "$before" ] && [ $(($(reads) - opened)) = $((opened - before)) ]'

timeout 10 "$app" 2>"$work/second.err"
check "a second start exits with status 0, saying why" eval "[ $? = 0 ] && has_line \"\$work/second.err\" 'Peltwick Importer is already running.'"
check "one icon, and the first copy runs on" eval '[ "$(host items)" = 1 ] && ! exited'

kill -STOP "$KEYRING_PID" && trap 'kill -CONT "$KEYRING_PID"; cleanup' EXIT
check "with the keyring daemon stopped, a click works" toggle "Start at Login" "Start at Login [ ]" test ! -e "$entry"
check "and the menu answers within 0.5 s and waits for the keyring" eval 'answers ping 500 && wait_until 40 shows \
    "Sync Contacts Now (off) | Sync Hourly [x] | Start at Login [ ] | Waiting for the keyring… (off) |"'
check "and the read gives up within its bound, the menu answering and waiting on" eval 'wait_until 200 grep -q \
    "the keyring (Secret Service) did not answer" "$artifacts/program.log" && answers ping 500 && shows "| Waiting for"'
check "the menu shows the keyring's answer once it runs again" eval 'kill -CONT "$KEYRING_PID" && wait_until 200 shows "| Connect… |"'

check "a right click on the panel's icon opens the panel's menu" eval 'xdotool mousemove --window "$plugin" 11 13 click 3 &&
    wait_until 100 panel_menu'
check "Quit in the panel's menu (Up selects the last item) ends the program, with status 0" eval 'xdotool key Up Return && ended'
[ "$fails" = 0 ]
