#!/bin/sh
# Runs a command (passing its exit code on) with a fresh HOME and XDG folders and a private EDS on a
# private session bus; with --no-bus without any session bus, with --no-eds on a bus without EDS.
set -u
case ${1:-} in --no-bus | --no-eds) mode=$1 && shift ;; *) mode= ;; esac
T=$(mktemp -d "${TMPDIR:-/tmp}/peltwick-eds.XXXXXX")
# The services started by this run's bus carry its marker: woken (a test may have stopped one) and ended.
trap 'for pid in $(grep -lsz "^PELTWICK_EDS_RUN=$T\$" /proc/[0-9]*/environ | cut -d/ -f3); do
    kill -CONT "$pid"; kill "$pid"; done 2>/dev/null; sleep 0.2; rm -rf "$T"' EXIT
trap 'exit 130' INT TERM
mkdir -m 700 "$T/run"
export HOME="$T" XDG_CONFIG_HOME="$T/config" XDG_DATA_HOME="$T/data" XDG_CACHE_HOME="$T/cache" \
    XDG_RUNTIME_DIR="$T/run" GSETTINGS_BACKEND=memory
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
echo "<busconfig><type>session</type><listen>unix:tmpdir=$T/run</listen><policy context='default'><allow
send_destination='*' eavesdrop='true'/><allow eavesdrop='true'/><allow own='*'/></policy></busconfig>" >"$T/bus.conf"
case $mode in
--no-bus) "$@" ;;
--no-eds) PELTWICK_EDS_RUN=$T dbus-run-session --config-file="$T/bus.conf" -- "$@" ;;
*) PELTWICK_EDS_RUN=$T dbus-run-session -- "$@" ;; # the bus starts EDS's services on first use
esac
