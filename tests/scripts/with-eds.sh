#!/bin/sh
# Runs a command against a private, throw-away Evolution Data Server in its own D-Bus session,
# with a fresh HOME and XDG folders. The built-in "Personal" book exists from the start.
# Usage: with-eds.sh [--no-bus | --no-eds] COMMAND [ARGS...]
#   --no-bus  no session bus at all
#   --no-eds  a private session bus on which EDS is neither running nor activatable
# Passes the command's exit code on.
set -eu
mode=eds
case "${1:-}" in
--no-bus | --no-eds) mode=${1#--}; shift ;;
esac
[ $# -gt 0 ] || { echo "usage: with-eds.sh [--no-bus|--no-eds] COMMAND [ARGS...]" >&2; exit 2; }

T=$(mktemp -d "${TMPDIR:-/tmp}/peltwick-eds.XXXXXX")
# The processes of this run's bus (the services it started carry the marker in their environment).
run_pids() {
    grep -lsz "^PELTWICK_EDS_RUN=$T\$" /proc/[0-9]*/environ | sed -e 's|^/proc/||' -e 's|/environ$||'
}
cleanup() {
    # The services leave when their bus goes; wait for that, then end any that stayed (a test
    # may have stopped one).
    i=0
    while [ -n "$(run_pids)" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    for pid in $(run_pids); do kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; done
    # A service still writing as it leaves must not turn a passed test into a failed one.
    rm -rf "$T" || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$T/home" "$T/config" "$T/data" "$T/cache" "$T/run" "$T/services"
chmod 700 "$T/run"
export HOME="$T/home" XDG_CONFIG_HOME="$T/config" XDG_DATA_HOME="$T/data" XDG_CACHE_HOME="$T/cache" \
    XDG_RUNTIME_DIR="$T/run" GSETTINGS_BACKEND=memory
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
rc=0
case $mode in
no-bus)
    "$@" || rc=$?
    ;;
no-eds)
    cat >"$T/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=$T/run</listen>
  <servicedir>$T/services</servicedir>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
    PELTWICK_EDS_RUN="$T" dbus-run-session --config-file="$T/bus.conf" -- "$@" || rc=$?
    ;;
eds)
    # The bus starts the source registry and the address-book factory on first use.
    PELTWICK_EDS_RUN="$T" dbus-run-session -- "$@" || rc=$?
    ;;
esac
exit $rc
