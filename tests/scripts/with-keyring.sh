#!/bin/bash
# with-keyring.sh MODE COMMAND [ARGS...]
# Runs COMMAND inside a private, throw-away D-Bus session with a private HOME and XDG folders, and
# passes its exit code on. MODE:
#   unlocked       gnome-keyring-daemon (secrets only) with an unlocked "login" collection (the
#                  default alias), created from a password on stdin;
#   locked         as 'unlocked', then the login collection is locked over D-Bus;
#   no-collection  gnome-keyring-daemon running, but no keyring was ever created;
#   no-service     a private bus on which nobody owns or can start org.freedesktop.secrets;
#   no-bus         no session bus at all; dead-bus: DBUS_SESSION_BUS_ADDRESS names no socket.
# No X display is given: the unlock prompt opens only where COMMAND starts one (with-xtray.sh --sni).
# Env in: KEYRING_PASSWORD (default "test-password"); KEYRING_SETUP, a shell command run while the
# collection is still unlocked. Env out: PELTWICK_KEYRING_MODE=MODE, KEYRING_PASSWORD, KEYRING_PID
# (the daemon's), PATH, the sanitizer options and the PELTWICK_* variables of the caller. Safe to
# run in parallel.
set -euo pipefail

mode=${1:?usage: with-keyring.sh MODE COMMAND [ARGS...]}
shift
[ $# -gt 0 ] || { echo "usage: with-keyring.sh MODE COMMAND [ARGS...]" >&2; exit 2; }

tmp=$(mktemp -d)
# A daemon still writing as it leaves must not turn a passed test into a failed one.
trap 'rm -rf "$tmp" || true' EXIT
mkdir -p "$tmp/home" "$tmp/run" "$tmp/empty-services" "$tmp/xdg-config-dirs"
chmod 700 "$tmp/run"

# A clean environment: nothing of the caller's desktop (display, bus, keyring) leaks in.
base_env=(env -i PATH="$PATH" HOME="$tmp/home" XDG_RUNTIME_DIR="$tmp/run" XDG_CONFIG_HOME="$tmp/home/.config"
    XDG_CONFIG_DIRS="$tmp/xdg-config-dirs" XDG_DATA_HOME="$tmp/home/.local/share" XDG_CACHE_HOME="$tmp/home/.cache"
    LANG=C.UTF-8 KEYRING_PASSWORD="${KEYRING_PASSWORD:-test-password}" KEYRING_SETUP="${KEYRING_SETUP:-}"
    PELTWICK_KEYRING_MODE="$mode")
for name in $(compgen -e); do
    case "$name" in
        PELTWICK_*|ASAN_OPTIONS|UBSAN_OPTIONS|LSAN_OPTIONS|GTEST_*) base_env+=("$name=${!name}") ;;
    esac
done

# Runs inside the private bus: starts gnome-keyring-daemon and waits until it really owns
# org.freedesktop.secrets (it returns a few ms before that; a call in that gap would make the bus
# start a second daemon), optionally locks the collection, runs COMMAND, then stops the daemon.
inner=$(cat <<'INNER'
set -euo pipefail
mode=$1; shift
bus() { # method [args...]: a call to the bus daemon
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "org.freedesktop.DBus.$1" "${@:2}"
}
name_owned() { bus NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; }
gkd_pid=
start_daemon() { # unlock|nounlock
    if [ "$1" = unlock ]; then
        printf '%s' "$KEYRING_PASSWORD" | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    else
        gnome-keyring-daemon --start --daemonize --components=secrets >/dev/null 2>&1
    fi
    for _ in $(seq 200); do name_owned && break; sleep 0.025; done
    name_owned || { echo "gnome-keyring-daemon did not take org.freedesktop.secrets" >&2; exit 90; }
    gkd_pid=$(bus GetConnectionUnixProcessID string:org.freedesktop.secrets | awk '/uint32/{print $2}')
}
stop_daemon() { # the daemon is not our child: wait until it has gone, at most 2 s
    if [ -n "$gkd_pid" ] && kill "$gkd_pid" 2>/dev/null; then timeout 2 tail --pid="$gkd_pid" -s 0.05 -f /dev/null || true; fi
}
trap stop_daemon EXIT
case "$mode" in
    unlocked|locked) start_daemon unlock ;;
    no-collection) start_daemon nounlock ;;
esac
if [ -n "$KEYRING_SETUP" ]; then bash -c "$KEYRING_SETUP"; fi
if [ "$mode" = locked ]; then
    login=/org/freedesktop/secrets/collection/login
    dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets \
        org.freedesktop.Secret.Service.Lock array:objpath:$login >/dev/null
    dbus-send --session --print-reply --dest=org.freedesktop.secrets $login org.freedesktop.DBus.Properties.Get \
        string:org.freedesktop.Secret.Collection string:Locked | grep -q 'boolean true' ||
        { echo "the login collection did not lock" >&2; exit 91; }
fi
export KEYRING_PID=$gkd_pid
set +e
"$@"
INNER
)

# dbus-daemon may print "Failed to set fd limit to 65536: Operation not permitted"; it is harmless.
case "$mode" in
    unlocked|locked|no-collection)
        "${base_env[@]}" dbus-run-session -- bash -c "$inner" inner "$mode" "$@"
        ;;
    no-service)
        cat >"$tmp/bus.conf" <<CONF
<busconfig><type>session</type><listen>unix:tmpdir=$tmp/run</listen><auth>EXTERNAL</auth>
  <servicedir>$tmp/empty-services</servicedir>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
        "${base_env[@]}" dbus-run-session --config-file="$tmp/bus.conf" -- bash -c "$inner" inner "$mode" "$@"
        ;;
    no-bus) "${base_env[@]}" "$@" ;;
    dead-bus) "${base_env[@]}" DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/run/no-such-bus-socket" "$@" ;;
    *)
        echo "with-keyring.sh: unknown mode $mode" >&2
        exit 2
        ;;
esac
