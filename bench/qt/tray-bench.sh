#!/usr/bin/env bash
# tray-bench.sh BUILD_DIR [RUNS] [IDLE_SECONDS]
# On a private X server with a tray (tests/scripts/with-xtray.sh), for PeltwickImporter and for a
# bare Qt tray icon (tray_baseline) built in the same tree: the time from start to the icon docked
# in the tray (median of RUNS launches, each with an empty home), the resident memory two seconds
# after docking, and the wake-ups while idle for IDLE_SECONDS (context switches of all threads,
# and the system calls strace counts). Prints each figure and the ratio to the baseline.
set -uo pipefail

if [ -z "${DISPLAY:-}" ] || [ -z "${BENCH_IN_XTRAY:-}" ]; then
    here=$(cd "$(dirname "$0")" && pwd)
    build=$(cd "${1:?BUILD_DIR}" && pwd)
    BENCH_IN_XTRAY=1 TRAYWAIT=$build/tests/qt/traywait exec "$here/../../tests/scripts/with-xtray.sh" "$here/tray-bench.sh" "$@"
fi

build=$(cd "$1" && pwd)
runs=${2:-5}
idle=${3:-30}
work=$(mktemp -d "${TMPDIR:-/tmp}/tray-bench.XXXXXX")
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

now_ms() { echo $(($(date +%s%N) / 1000000)); }
docked() { # class: a visible window of the class whose parent is not the root window
    local w tree root parent
    w=$(xdotool search --onlyvisible --class "$1" 2>/dev/null | head -n1)
    [ -n "$w" ] || return 1
    tree=$(xwininfo -id "$w" -tree) || return 1
    root=$(sed -n 's/^ *Root window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")
    parent=$(sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")
    [ -n "$parent" ] && [ "$parent" != "$root" ]
}
start() { # program run: a fresh home each time, no session bus
    local home=$work/$2
    mkdir -p "$home/config" "$home/run"
    chmod 700 "$home/run"
    env -u XDG_CURRENT_DESKTOP HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
        XDG_RUNTIME_DIR="$home/run" DBUS_SESSION_BUS_ADDRESS=disabled: "$1" >/dev/null 2>&1 &
    pid=$!
}
stop() {
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
}
ctxt_switches() { # all threads of $pid
    cat /proc/"$pid"/task/*/status 2>/dev/null | awk '/^(non)?voluntary_ctxt_switches/ { n += $2 } END { print n + 0 }'
}

measure() { # name program class
    local name=$1 program=$2 class=$3 times=() t0 i
    for i in $(seq "$runs"); do
        t0=$(now_ms)
        start "$program" "$name-$i"
        for _ in $(seq 1000); do
            docked "$class" && break
            sleep 0.005
        done
        times+=($(($(now_ms) - t0)))
        [ "$i" = "$runs" ] || stop
    done
    docked_ms=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
    sleep 2
    rss_kb=$(awk '/^VmRSS/ { print $2 }' /proc/"$pid"/status)
    local before
    before=$(ctxt_switches)
    timeout -s INT "$idle" strace -f -c -p "$pid" -o "$work/$name.strace" >/dev/null 2>&1
    switches=$(($(ctxt_switches) - before))
    syscalls=$(awk '$NF == "total" { print $4 }' "$work/$name.strace")
    polls=$(awk '$NF ~ /^(poll|ppoll|epoll_wait|select|pselect6)$/ { n += $4 } END { print n + 0 }' "$work/$name.strace")
    echo "-- strace -c -f of $name over ${idle} s idle:"; cat "$work/$name.strace"
    stop
    echo "$name: start to docked ${docked_ms} ms (median of $runs: ${times[*]}), idle RSS $((rss_kb / 1024)) MiB, " \
        "idle ${idle}s: ${switches} context switches, ${syscalls:-0} system calls, ${polls} poll waits"
    eval "${name}_docked=$docked_ms ${name}_rss=$rss_kb ${name}_switches=$switches ${name}_syscalls=${syscalls:-0}"
}

measure baseline "$build/bench/tray_baseline" tray_baseline
measure program "$build/PeltwickImporter" PeltwickImporter
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
echo "ratios to the bare tray icon: start to docked $(ratio "$program_docked" "$baseline_docked"), idle RSS" \
    "$(ratio "$program_rss" "$baseline_rss"), idle context switches $program_switches vs $baseline_switches," \
    "idle system calls $program_syscalls vs $baseline_syscalls"
