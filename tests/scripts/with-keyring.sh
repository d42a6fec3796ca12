#!/bin/bash
# with-keyring.sh MODE COMMAND...: COMMAND in a private D-Bus session, HOME and XDG folders, with a clean
# environment and the Secret Service in MODE: unlocked (gnome-keyring, its "login" collection the default,
# password "test-password"), locked, no-collection, no-service (nothing on the bus can provide it),
# no-bus or dead-bus. COMMAND sees PELTWICK_KEYRING_MODE and KEYRING_PID; its status is passed on.
set -euo pipefail
mode=$1 tmp=$(mktemp -d)
shift
[[ $mode =~ ^(unlocked|locked|no-collection|no-service|no-bus|dead-bus)$ ]] || { echo "unknown mode $mode" >&2 && exit 2; }
trap 'rm -rf "$tmp" || true' EXIT # a daemon still writing as it leaves must not fail the test
mkdir -p "$tmp/home" "$tmp/run" && chmod 700 "$tmp/run"
run=(env -i PATH="$PATH" HOME="$tmp/home" XDG_RUNTIME_DIR="$tmp/run" XDG_CONFIG_HOME="$tmp/home/.config"
    XDG_CONFIG_DIRS="$tmp/etc" XDG_DATA_HOME="$tmp/home/.local/share" XDG_CACHE_HOME="$tmp/home/.cache"
    LANG=C.UTF-8 PELTWICK_KEYRING_MODE="$mode")
for name in $(compgen -e | grep -E '^(PELTWICK_|GTEST_|[AUL]SAN_OPTIONS$)'); do run+=("$name=${!name}"); done

# The daemon is up once it owns its name (a call before would start a second one); it stops at the end.
inner='set -eu
daemon() { gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus --method \
    org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.secrets 2>/dev/null | awk "{printf \$2 + 0}"; }
case $1 in
    unlocked | locked) printf test-password | gnome-keyring-daemon --unlock --components=secrets >/dev/null ;;
    no-collection) gnome-keyring-daemon --start --daemonize --components=secrets >/dev/null 2>&1 ;;
    *) shift && exec "$@" ;;
esac
for _ in $(seq 200); do [ -z "$(daemon)" ] || break; sleep 0.025; done
export KEYRING_PID=$(daemon)
trap "kill $KEYRING_PID && timeout 2 tail --pid=$KEYRING_PID -s 0.05 -f /dev/null || true" EXIT
[ "$1" != locked ] || gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets \
    --method org.freedesktop.Secret.Service.Lock "[\"/org/freedesktop/secrets/collection/login\"]" >/dev/null
shift && "$@"'

conf=() # no-service: a bus without the standard service folders, where nothing can start a keyring
[ "$mode" != no-service ] || conf=(--config-file="$tmp/bus.conf") && echo "<busconfig><type>session</type>
    <listen>unix:tmpdir=$tmp/run</listen><auth>EXTERNAL</auth><policy context='default'><allow send_destination='*'
    eavesdrop='true'/><allow eavesdrop='true'/><allow own='*'/></policy></busconfig>" >"$tmp/bus.conf"
case $mode in
    no-bus) "${run[@]}" "$@" ;;
    dead-bus) "${run[@]}" DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/none" "$@" ;;
    *) "${run[@]}" dbus-run-session "${conf[@]}" -- bash -c "$inner" inner "$mode" "$@" ;;
esac
