#!/usr/bin/env bash
# user-journey.sh PROGRAM
# A user's first hour with the tray program, driven with xdotool on the X server, keyring and
# WebDAV vault that the wrappers provide (with-keyring.sh, with-webdav.sh, with-xtray.sh): set the
# server, connect with a typed e-mail address and app password, sync a folder of vCards, check the
# notes on the server byte for byte and the last-sync line; revoke the password on the server and
# sync (one alert); then disconnect, and try a wrong password, which gives one alert and leaves
# the keyring empty. Screenshots of each dialog and
# menu go to $PELTWICK_BINARY_DIR/test-artifacts/user-journey.
set -uo pipefail

app=${1:?PROGRAM}
app=$(cd "$(dirname "$app")" && pwd)/$(basename "$app")
artifacts=${PELTWICK_BINARY_DIR:-$(dirname "$app")}/test-artifacts/user-journey
mkdir -p "$artifacts"
: >"$artifacts/program.log"
work=$(mktemp -d "${TMPDIR:-/tmp}/user-journey.XXXXXX")
icon=

. "$(dirname "$0")/x-test-lib.sh"

docked() {
    icon=$(xdotool search --onlyvisible --class PeltwickImporter 2>/dev/null | head -n1)
    [ -n "$icon" ]
}
menu_window() {
    local w
    for w in $(xdotool search --onlyvisible --class PeltwickImporter 2>/dev/null); do
        [ "$w" != "$icon" ] && xwininfo -id "$w" | grep -q 'Override Redirect State: yes' && { echo "$w"; return 0; }
    done
    return 1
}
dialogs() { # dialogs are the program's managed windows; the icon and the menu are override-redirect
    local w
    for w in $(xdotool search --onlyvisible --name '^Peltwick Importer$' 2>/dev/null); do
        xwininfo -id "$w" | grep -q 'Override Redirect State: no' && echo "$w"
    done
}
dialog_count() { dialogs | wc -l; }
no_dialog() { [ "$(dialog_count)" = 0 ]; }
dismiss_one_alert() { # name: exactly one alert is open; keep its screenshot, then press Return
    local d
    d=$(wait_dialog)
    check "one alert: $1" test -n "$d" -a "$(dialog_count)" = 1
    [ -n "$d" ] && shot "alert-$1" "$d"
    xdotool key Return
    check "alert dismissed: $1" wait_until 100 no_dialog
}
menu_closed() { ! menu_window >/dev/null; }
open_menu() {
    xdotool mousemove --window "$icon" 5 5 click 1 && wait_until 100 menu_window
}
choose() { # downs: the number of enabled items to step over, counted from the top
    open_menu || return 1
    local keys=()
    for _ in $(seq "$1"); do keys+=(Down); done
    xdotool key --delay 40 "${keys[@]}" Return
}
wait_dialog() { # the one open dialog, focused
    local d
    for _ in $(seq 100); do
        d=$(dialogs | head -n1)
        [ -n "$d" ] && break
        sleep 0.05
    done
    [ -n "$d" ] || return 1
    xdotool windowfocus --sync "$d" 2>/dev/null
    sleep 0.2
    echo "$d"
}
shot() { # name [window]: the screen, and the window cut out of it
    import -window root "$artifacts/$1.png"
    [ -n "${2:-}" ] || return 0
    eval "$(xdotool getwindowgeometry --shell "$2")"
    /usr/bin/convert "$artifacts/$1.png" -crop "$((WIDTH + 20))x$((HEIGHT + 20))+$((X > 10 ? X - 10 : 0))+$((Y > 10 ? Y - 10 : 0))" \
        +repage "$artifacts/$1-window.png"
}
type_into_dialog() { # shot-name text...: types into the focused field, then Return
    local d name=$1
    shift
    d=$(wait_dialog) || return 1
    xdotool type --delay 20 "$*"
    shot "$name" "$d"
    xdotool key Return
    wait_until 100 closed "$d"
}
closed() { ! dialogs | grep -qx "$1"; }
stored_credential() { secret-tool lookup service app.peltwick.importer account webdav-credential 2>/dev/null; }
notes_present() { [ "$(ls "$PELTWICK_DAV_DATA/contacts" 2>/dev/null | wc -l)" = "$1" ]; }

# The address book: two vCards in the user's contacts folder.
mkdir -p "$work/data/contacts" "$work/config" "$work/run"
chmod 700 "$work/run"
printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nN:King;Ada;;;\r\nFN:Ada King\r\nORG:Analytical Engines Ltd\r\nTITLE:Head of R&D\r\nTEL:+1 555 010 199\r\nEND:VCARD\r\n' \
    >"$work/data/contacts/ada.vcf"
printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nN:;;;;\r\nFN:Acme\r\nORG:Acme\r\nEMAIL: sales@acme.example \r\nEND:VCARD\r\n' \
    >"$work/data/contacts/acme.vcf"

ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0" env -u XDG_CURRENT_DESKTOP \
    XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" \
    "$app" >>"$artifacts/program.log" 2>&1 &
app_pid=$!
settings=$work/config/Peltwick/PeltwickImporter.conf

check "icon docked" wait_until 200 docked
# Disconnected menu, enabled items: Sync Hourly, Start at Login, Connect…, Server…, Quit.
check "server dialog from the menu" choose 4
d=$(wait_dialog)
xdotool key ctrl+a
check "server address typed" type_into_dialog server-dialog "$PELTWICK_DAV_URL"
check "server address stored" grep -qxF "serverURL=$PELTWICK_DAV_URL" "$settings"

check "connect dialog from the menu" choose 3
check "e-mail typed" type_into_dialog connect-email "  ${PELTWICK_DAV_USER^^} "
check "app password typed" type_into_dialog connect-password "$PELTWICK_DAV_PASSWORD"
check "credential in the keyring after the server accepted it" \
    wait_until 100 test "$(stored_credential)" = "$(printf '%s\n%s' "$PELTWICK_DAV_USER" "$PELTWICK_DAV_PASSWORD")"
open_menu
shot menu-connected "$(menu_window)"
xdotool key Escape

# Connected menu, enabled items: Sync Contacts Now, Sync Hourly, Start at Login, Disconnect, ...
check "sync from the menu" choose 1
check "two notes on the server" wait_until 200 notes_present 2
check "last-sync line stored" wait_until 100 grep -qE '^lastSyncSummary="?Last sync .+: 2 added, 0 already in your vault"?$' "$settings"
expected_ada=$'---\nname: "Ada King"\ncompany: "Analytical Engines Ltd"\ntitle: "Head of R&D"\nphone: "+1 555 010 199"\n---\n\n# Ada King\n'
expected_acme=$'---\nname: "Acme"\ncompany: "Acme"\nemail: "sales@acme.example"\n---\n\n# Acme\n'
check "ada-king.md byte for byte" cmp -s "$PELTWICK_DAV_DATA/contacts/ada-king.md" <(printf '%s' "$expected_ada")
check "acme.md byte for byte" cmp -s "$PELTWICK_DAV_DATA/contacts/acme.md" <(printf '%s' "$expected_acme")
check "no alert after the sync" no_dialog
open_menu
shot menu-after-sync "$(menu_window)"
xdotool key Escape

# A second pass, with Ctrl+S in the open menu, adds nothing and overwrites nothing.
check "menu open for Ctrl+S" open_menu
xdotool key ctrl+s
check "Ctrl+S closed the menu" wait_until 40 menu_closed
check "Ctrl+S synced: second last-sync line" wait_until 100 grep -qE '^lastSyncSummary="?Last sync .+: 0 added, 2 already in your vault"?$' "$settings"
check "notes unchanged by the second pass" eval 'cmp -s "$PELTWICK_DAV_DATA/contacts/ada-king.md" <(printf "%s" "$expected_ada") &&
    cmp -s "$PELTWICK_DAV_DATA/contacts/acme.md" <(printf "%s" "$expected_acme")'

# The app password is revoked on the server: the next sync shows one alert, keeps the
# credential and the last line.
line_before=$(grep '^lastSyncSummary=' "$settings")
printf '%s' "revoked-$RANDOM" | htpasswd -i -c -m "$PELTWICK_DAV_RUNDIR/htpasswd" "$PELTWICK_DAV_USER" 2>/dev/null
check "sync after the password was revoked" choose 1
dismiss_one_alert revoked-password
check "credential kept after the rejection" test -n "$(stored_credential)"
check "last-sync line unchanged after the failure" test "$(grep '^lastSyncSummary=' "$settings")" = "$line_before"

# Connected menu with a last-sync line: Sync, Sync Hourly, Start at Login, Disconnect, ...
check "disconnect from the menu" choose 4
check "keyring emptied" wait_until 100 test -z "$(stored_credential)"

check "connect again" choose 3
check "e-mail typed again" type_into_dialog connect-email-again "$PELTWICK_DAV_USER"
check "wrong app password typed" type_into_dialog connect-wrong-password "not-the-password"
dismiss_one_alert rejected-password
check "keyring still empty" test -z "$(stored_credential)"
check "program still running" kill -0 "$app_pid"

echo "$pass passed, $fail failed"
[ "$fail" = 0 ]
