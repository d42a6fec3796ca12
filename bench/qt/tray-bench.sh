#!/usr/bin/env bash
# tray-bench.sh BUILD_DIR [RUNS] [IDLE_SECONDS]
# PeltwickImporter against a bare Qt tray icon (tray_baseline) built in the same tree, under trayer
# (an XEmbed tray) and under xfce4-panel (a status-notifier host), each on a private X server and
# session bus with an unlocked keyring (tests/scripts/with-keyring.sh with with-xtray.sh, and
# with-sni-panel.sh): the time from start to the icon docked (under trayer, the icon window
# reparented into the tray; under xfce4-panel, the item's registration with the status-notifier
# watcher), median of RUNS launches each with an empty home; the resident memory two seconds after
# docking; the wake-ups while idle for IDLE_SECONDS (context switches of all threads, and the system
# calls strace counts). Prints each figure and the ratios to the bare icon. The bare icon is also
# started with the program's own libraries preloaded: what loading them costs, apart from our code.
set -uo pipefail

if [ -z "${PELTWICK_BENCH_HOST:-}" ]; then
    here=$(cd "$(dirname "$0")" && pwd)
    build=$(cd "${1:?BUILD_DIR}" && pwd)
    scripts=$here/../../tests/scripts
    PELTWICK_BENCH_HOST=trayer "$scripts/with-keyring.sh" unlocked env TRAYWAIT="$build/tests/traywait" \
        "$scripts/with-xtray.sh" "$here/tray-bench.sh" "$build" "${@:2}"
    PELTWICK_BENCH_HOST=xfce4-panel "$scripts/with-sni-panel.sh" unlocked "$here/tray-bench.sh" "$build" "${@:2}"
    exit
fi

build=$1
runs=${2:-5}
idle=${3:-30}
work=$(mktemp -d "${TMPDIR:-/tmp}/tray-bench.XXXXXX")
pid= monitor=
trap 'kill $pid $monitor 2>/dev/null; rm -rf "$work"' EXIT
if [ "$PELTWICK_BENCH_HOST" = xfce4-panel ]; then
    dbus-monitor --session "type='signal',member='StatusNotifierItemRegistered'" >"$work/registered.log" 2>&1 &
    monitor=$!
    sleep 0.5
fi

now_ms() { echo $(($(date +%s%N) / 1000000)); }
registered_ms() { # the time of the last registration the status-notifier watcher announced
    awk '/^signal/ { sub("time=", "", $2); t = $2 } END { printf "%.0f", t * 1000 }' "$work/registered.log"
}
registrations() { grep -c '^signal' "$work/registered.log"; }
reparented() { # class: a visible window of the class whose parent is not the root window
    local w tree
    w=$(xdotool search --onlyvisible --class "$1" 2>/dev/null | head -n1)
    [ -n "$w" ] && tree=$(xwininfo -id "$w" -tree) &&
        [ "$(sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")" != \
            "$(sed -n 's/^ *Root window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")" ]
}
start_to_docked() { # program class home [VAR=value...]: starts the program with an empty home; took: ms to docked
    local t0 before
    before=$(registrations 2>/dev/null)
    mkdir -p "$3/config" "$3/run"
    chmod 700 "$3/run"
    t0=$(now_ms)
    env -u XDG_CURRENT_DESKTOP "${@:4}" HOME="$3" XDG_CONFIG_HOME="$3/config" XDG_DATA_HOME="$3/data" \
        XDG_RUNTIME_DIR="$3/run" "$1" >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 2000); do
        if [ -n "$monitor" ]; then
            [ "$(registrations)" -gt "$before" ] && { took=$(($(registered_ms) - t0)); return; }
        else
            reparented "$2" && { took=$(($(now_ms) - t0)); return; }
        fi
        sleep 0.005
    done
    took="not-docked"
}
stop() {
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
}
ctxt_switches() { # all threads of $pid
    cat /proc/"$pid"/task/*/status 2>/dev/null | awk '/^(non)?voluntary_ctxt_switches/ { n += $2 } END { print n + 0 }'
}

preload="LD_PRELOAD=$(readelf -d "$build/PeltwickImporter" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')"
declare -A program=([baseline]="$build/bench/tray_baseline" [preloaded]="$build/bench/tray_baseline"
    [program]="$build/PeltwickImporter") class=([baseline]=tray_baseline [preloaded]=tray_baseline
    [program]=PeltwickImporter) times=() docked=() rss=()
start() { # name home: the program of that name started with an empty home
    if [ "$1" = preloaded ]; then
        start_to_docked "${program[$1]}" "${class[$1]}" "$2" "$preload"
    else
        start_to_docked "${program[$1]}" "${class[$1]}" "$2"
    fi
}
# The launches of the three take turns, so that the load of a shared machine falls on each alike.
for i in $(seq "$runs"); do
    for name in baseline preloaded program; do
        start "$name" "$work/$name-$i"
        times[$name]+="$took "
        stop
    done
done
for name in baseline preloaded program; do
    docked[$name]=$(printf '%s\n' ${times[$name]} | sort -n | sed -n "$(((runs + 1) / 2))p")
    start "$name" "$work/$name-idle"
    sleep 2
    rss[$name]=$(awk '/^VmRSS/ { print $2 }' /proc/"$pid"/status)
    before=$(ctxt_switches)
    timeout -s INT "$idle" strace -f -c -p "$pid" -o "$work/$name.strace" >/dev/null 2>&1
    switches=$(($(ctxt_switches) - before))
    syscalls=$(awk '$NF == "total" { print $4 }' "$work/$name.strace")
    stop
    echo "$PELTWICK_BENCH_HOST, $name: start to docked ${docked[$name]} ms (median of $runs: ${times[$name]% }), idle RSS" \
        "$((rss[$name] / 1024)) MiB, idle ${idle}s: ${switches} context switches, ${syscalls:-0} system calls"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
echo "$PELTWICK_BENCH_HOST, ratios to the bare tray icon: start to docked $(ratio "${docked[program]}" "${docked[baseline]}")" \
    "(with the program's libraries preloaded $(ratio "${docked[preloaded]}" "${docked[baseline]}"))," \
    "idle RSS $(ratio "${rss[program]}" "${rss[baseline]}")"
