#!/usr/bin/env bash
# user-journey.sh PROGRAM, in with-keyring.sh, with-webdav.sh and with-xtray.sh: a user's first hour
# with the tray program on an XEmbed tray, driven with xdotool.
set -uo pipefail
. "$(dirname "$0")/x-test-lib.sh" user-journey "$1"

docked() { # the icon: the program's only visible window, moved into the tray
    icon=$(xdotool search --onlyvisible --class PeltwickImporter) && [ "$(wc -w <<<"$icon")" = 1 ] &&
        xwininfo -id "$icon" -tree | awk '/Root window id/ {r = $4} /Parent window id/ {p = $4} END {exit p == r}'
}
windows() { # yes|no: the program's other visible windows that are override-redirect (the menu) or not
    for w in $(xdotool search --onlyvisible --class PeltwickImporter); do
        [ "$w" != "$icon" ] && xwininfo -id "$w" | grep -q "Override Redirect State: $1" && echo "$w"
    done; true
}
open_menu() { xdotool mousemove --window "$icon" 5 5 click 1 && wait_until 100 eval '[ -n "$(windows yes)" ]'; }
choose() { open_menu && xdotool key --delay 40 $(printf "$1 %.0s" $(seq "$2")) Return; } # Down|Up count
answer() { # text shot: into the one dialog's field (in place of its text), then Return
    wait_until 100 eval '[ -n "$(windows no)" ]' && dialog=$(windows no) && [ "$(wc -w <<<"$dialog")" = 1 ] &&
        xdotool windowfocus --sync "$dialog" && sleep 0.2 && xdotool key ctrl+a type --delay 20 "$1" &&
        shot "$2" "$dialog" && xdotool key Return && wait_until 100 eval "! windows no | grep -qx $dialog"
}
stored() { secret-tool lookup service app.peltwick.importer account webdav-credential 2>/dev/null; }
connected() { [ "$(stored)" = "$PELTWICK_DAV_USER"$'\n'"$PELTWICK_DAV_PASSWORD" ]; }
synced() { # the last-sync line, both notes byte for byte
    grep -qE '^lastSyncSummary="?Last sync .+: 2 added, 0 already in your vault"?$' "$settings" &&
        cmp -s "$PELTWICK_DAV_DATA/contacts/ada-king.md" <(printf -- '---\nname: "Ada King"\ncompany: "Analytical Engines Ltd"\ntitle: "Head of R&D"\nphone: "+1 555 010 199"\n---\n\n# Ada King\n') &&
        cmp -s "$PELTWICK_DAV_DATA/contacts/acme.md" <(printf -- '---\nname: "Acme"\ncompany: "Acme"\nemail: "sales@acme.example"\n---\n\n# Acme\n')
}

mkdir -p "$XDG_DATA_HOME/contacts"
printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nN:King;Ada;;;\r\nFN:Ada King\r\nORG:Analytical Engines Ltd\r\nTITLE:Head of R&D\r\nTEL:+1 555 010 199\r\nEND:VCARD\r\n' >"$_/ada.vcf"
printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nN:;;;;\r\nFN:Acme\r\nORG:Acme\r\nEMAIL: sales@acme.example \r\nEND:VCARD\r\n' >"$XDG_DATA_HOME/contacts/acme.vcf"
launch G_MESSAGES_DEBUG=all # what GLib and libsecret would say goes into the log too
check "the icon docks in the tray, no other window" wait_until 200 docked
check "first run: hourly sync on, a login item for this program" eval 'wait_until 100 has_line "$settings" autoSync=true && has_line "$entry" "Exec=\"$app\""'
check "a left click opens the menu, Escape closes it" eval 'open_menu && shot menu "$(windows yes)" && xdotool key Escape && wait_until 40 eval "[ -z \"\$(windows yes)\" ]"'
# Counted from the bottom: Quit, Server…, Connect… (the lines above may still wait for the keyring).
check "the server, set from the menu" eval 'choose Up 2 && answer "$PELTWICK_DAV_URL" server && has_line "$settings" "serverURL=$PELTWICK_DAV_URL"'
check "a wrong app password: one alert, nothing stored" eval 'choose Up 3 && answer "$PELTWICK_DAV_USER" e-mail &&
    answer not-the-password password && answer "" alert && [ -z "$(stored)" ]'
check "connected: the credential in the keyring" eval 'choose Up 3 && answer "  ${PELTWICK_DAV_USER^^} " e-mail &&
    answer "$PELTWICK_DAV_PASSWORD" password && wait_until 100 connected'
check "Sync Contacts Now, first when connected: both notes, no alert" eval 'choose Down 1 && wait_until 200 synced && [ -z "$(windows no)" ]'
check "Ctrl+Q in the open menu quits, with status 0" eval 'open_menu && xdotool key ctrl+q && ended'
check "the app password in no output and no file" eval '! grep -rqaF "$PELTWICK_DAV_PASSWORD" "$HOME" "$artifacts"'
[ "$fails" = 0 ]
