#!/usr/bin/env bash
# user-journey.sh PROGRAM
# A user's first hour with the tray program on an XEmbed tray, driven with xdotool inside
# with-keyring.sh, with-webdav.sh and with-xtray.sh: the icon docks, the first run writes its
# settings and login item, the menu opens on either click; set the server, connect, sync (from the
# menu, then with Ctrl+S in it), the notes byte for byte; disconnect, a wrong password (one alert);
# turn hourly syncing and the login item off, quit with Ctrl+Q in the open menu and launch again:
# the changes stay. Screenshots go to $PELTWICK_BINARY_DIR/test-artifacts/user-journey.
set -uo pipefail
. "$(dirname "$0")/x-test-lib.sh" user-journey "$1"
icon=

docked() { # the icon: the program's only visible window, moved into the tray
    local tree
    icon=$(xdotool search --onlyvisible --class PeltwickImporter 2>/dev/null | head -n1)
    [ -n "$icon" ] && tree=$(xwininfo -id "$icon" -tree) &&
        [ "$(sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")" != \
            "$(sed -n 's/^ *Root window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")" ]
}
windows() { # yes|no: the program's visible windows besides the icon that are override-redirect, or not
    local w
    for w in $(xdotool search --onlyvisible --class PeltwickImporter 2>/dev/null); do
        [ "$w" != "$icon" ] && xwininfo -id "$w" | grep -q "Override Redirect State: $1" && echo "$w"
    done
    return 0
}
menu_window() { # the menu; the dialogs are managed windows
    local w
    w=$(windows yes) && [ -n "$w" ] && head -n1 <<<"$w"
}
dialogs() { windows no; }
menu_closed() { ! menu_window >/dev/null; }
open_menu() { # [button]
    xdotool mousemove --window "$icon" 5 5 click "${1:-1}" && wait_until 100 menu_window
}
choose() { # key count: in the open menu press the key (Down from the top, Up from the bottom) that
    # often, skipping disabled and hidden items, then Return
    open_menu && xdotool key --delay 40 $(printf "$1 %.0s" $(seq "$2")) Return
}
no_dialog() { [ -z "$(dialogs)" ]; }
wait_dialog() { # the one open dialog, focused
    local d
    wait_until 100 eval '[ -n "$(dialogs)" ]' && d=$(dialogs | head -n1) || return 1
    xdotool windowfocus --sync "$d" 2>/dev/null
    sleep 0.2
    echo "$d"
}
dismiss_one_alert() { # name: exactly one alert is open; keep its screenshot, then press Return
    local d
    d=$(wait_dialog)
    check "one alert: $1" test -n "$d" -a "$(dialogs | wc -l)" = 1
    [ -n "$d" ] && shot "alert-$1" "$d"
    xdotool key Return
    check "alert dismissed: $1" wait_until 100 no_dialog
}
type_into_dialog() { # shot-name text...: types into the focused field, then Return
    local d name=$1
    shift
    d=$(wait_dialog) || return 1
    xdotool type --delay 20 "$*"
    shot "$name" "$d"
    xdotool key Return
    wait_until 100 eval "! dialogs | grep -qx $d"
}
stored_credential() { secret-tool lookup service app.peltwick.importer account webdav-credential 2>/dev/null; }
notes_are() { # added: the last-sync line, and both notes byte for byte
    grep -qE "^lastSyncSummary=\"?Last sync .+: $1 added, $((2 - $1)) already in your vault\"?$" "$settings" &&
        cmp -s "$PELTWICK_DAV_DATA/contacts/ada-king.md" <(printf '%s' "$expected_ada") &&
        cmp -s "$PELTWICK_DAV_DATA/contacts/acme.md" <(printf '%s' "$expected_acme")
}
expected_ada=$'---\nname: "Ada King"\ncompany: "Analytical Engines Ltd"\ntitle: "Head of R&D"\nphone: "+1 555 010 199"\n---\n\n# Ada King\n'
expected_acme=$'---\nname: "Acme"\ncompany: "Acme"\nemail: "sales@acme.example"\n---\n\n# Acme\n'

# The address book: two vCards in the user's contacts folder.
mkdir -p "$XDG_DATA_HOME/contacts"
printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nN:King;Ada;;;\r\nFN:Ada King\r\nORG:Analytical Engines Ltd\r\nTITLE:Head of R&D\r\nTEL:+1 555 010 199\r\nEND:VCARD\r\n' \
    >"$XDG_DATA_HOME/contacts/ada.vcf"
printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nN:;;;;\r\nFN:Acme\r\nORG:Acme\r\nEMAIL: sales@acme.example \r\nEND:VCARD\r\n' \
    >"$XDG_DATA_HOME/contacts/acme.vcf"

launch
check "icon docked in the tray, no other window" eval 'wait_until 200 docked && [ "$(xdotool search --onlyvisible --class PeltwickImporter | wc -l)" = 1 ]'
check "first run: hourly sync on in the settings file" wait_until 100 has_line "$settings" autoSync=true
check "first run: login item starts this program" has_line "$entry" "Exec=\"$app\""
check "left click opens the menu" open_menu 1
shot menu-left-click "$(menu_window)"
check "Escape closes it, a right click opens it" eval 'xdotool key Escape && wait_until 40 menu_closed && open_menu 3'
xdotool key Escape

# Counted from the bottom: Quit, Server…, then Connect… or Disconnect.
check "server dialog from the menu" choose Up 2
wait_dialog >/dev/null
xdotool key ctrl+a
check "server address typed" type_into_dialog server-dialog "$PELTWICK_DAV_URL"
check "server address stored" has_line "$settings" "serverURL=$PELTWICK_DAV_URL"

check "connect dialog from the menu" choose Up 3
check "e-mail typed" type_into_dialog connect-email "  ${PELTWICK_DAV_USER^^} "
check "app password typed" type_into_dialog connect-password "$PELTWICK_DAV_PASSWORD"
check "credential in the keyring after the server accepted it" \
    wait_until 100 test "$(stored_credential)" = "$(printf '%s\n%s' "$PELTWICK_DAV_USER" "$PELTWICK_DAV_PASSWORD")"
# Connected: Sync Contacts Now is the first item.
check "sync from the menu: two notes, byte for byte, and the last-sync line" eval 'choose Down 1 && wait_until 200 notes_are 2'
check "no alert after the sync" no_dialog
check "menu open after the sync" open_menu
shot menu-after-sync "$(menu_window)"
check "Ctrl+S in the open menu closes it and syncs: nothing added, nothing overwritten" \
    eval 'xdotool key ctrl+s && wait_until 40 menu_closed && wait_until 200 notes_are 0'

check "disconnect from the menu" choose Up 3
check "keyring emptied" wait_until 100 test -z "$(stored_credential)"
check "connect again" choose Up 3
check "e-mail typed again" type_into_dialog connect-email-again "$PELTWICK_DAV_USER"
check "wrong app password typed" type_into_dialog connect-wrong-password "not-the-password"
dismiss_one_alert rejected-password
check "keyring still empty" test -z "$(stored_credential)"

# Disconnected, Sync Contacts Now is disabled: Sync Hourly and Start at Login come first.
check "Sync Hourly off from the menu" eval 'choose Down 1 && wait_until 100 has_line "$settings" autoSync=false'
check "Start at Login off from the menu" eval 'choose Down 2 && wait_until 100 test ! -e "$entry"'
check "Ctrl+Q in the open menu quits" eval 'open_menu && xdotool key ctrl+q && wait_until 100 exited'
stop_app
check "exit status 0" test "$app_status" = 0

launch
check "second launch: icon docked" wait_until 200 docked
check "second launch: hourly sync stays off, no new login item" eval 'has_line "$settings" autoSync=false && test ! -e "$entry"'
check "second launch: Quit from the menu" eval 'choose Up 1 && wait_until 100 exited'
stop_app
check "second launch: exit status 0" test "$app_status" = 0
finish
