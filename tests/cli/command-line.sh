#!/usr/bin/env bash
# command-line.sh PROGRAM, in with-keyring.sh and with-webdav.sh, without a display: --help, --version and
# wrong arguments; --sync runs one pass, prints the last-sync line and tells by its status how it went.
set -uo pipefail
app=$1 out=$(mktemp) fails=0
trap 'rm -f "$out"' EXIT
unset DISPLAY WAYLAND_DISPLAY
check() { eval "$2" && echo "PASS $1" || { echo "FAIL $1" && cat "$out" && fails=$((fails + 1)); }; } # name condition
status() { "${@:2}" >"$out" 2>&1; check "${*:2} exits $1" "[ $? = $1 ]"; } # expected command...
store() { printf '%s\n%s' "$1" "$2" | secret-tool store --label=x service app.peltwick.importer account webdav-credential; }

status 0 "$app" --help && check "help names the report" 'grep -q "PeltwickImporter/last-sync.log" "$out"'
status 0 "$app" --version && check "version" 'grep -qx "PeltwickImporter [0-9.]*" "$out"'
status 64 "$app" --frobnicate && check "usage line" 'grep -q "^Usage: PeltwickImporter" "$out"'
status 64 "$app" extra
status 1 "$app"
status 2 "$app" --sync

# Connected: the credential in the keyring, the vault's address in the settings, two cards.
store "$PELTWICK_DAV_USER" "$PELTWICK_DAV_PASSWORD"
mkdir -p "$XDG_CONFIG_HOME/Peltwick" "$XDG_DATA_HOME/contacts" && settings=$XDG_CONFIG_HOME/Peltwick/PeltwickImporter.conf
printf '[General]\nserverURL=%s\n' "$PELTWICK_DAV_URL" >"$settings"
printf 'BEGIN:VCARD\nFN:Ada Lovelace\nEND:VCARD\nBEGIN:VCARD\nEMAIL:x@example.org\nEND:VCARD\n' >"$XDG_DATA_HOME/contacts/people.vcf"
status 0 "$app" --sync --verbose
check "last-sync line" 'grep -qx "Last sync .*: 1 added, 1 already in your vault" "$out"'
check "report printed" 'grep -qx "added    ada-lovelace.md (Ada Lovelace)" "$out"'
check "report kept for the user alone" '[ "$(stat -c %a "$HOME/.local/state/PeltwickImporter/last-sync.log")" = 600 ]'
check "the note, and the line kept for the menu" '[ -f "$PELTWICK_DAV_DATA/contacts/ada-lovelace.md" ] &&
    grep -q "^lastSyncSummary=\"\?Last sync" "$settings"'
status 3 flock "$XDG_RUNTIME_DIR/app.peltwick.importer.lock" "$app" --sync
store ada@example.org wrong && status 1 "$app" --sync && check "the rejected-password text" 'grep -q "app password was rejected" "$out"'
exit $((fails > 0))
