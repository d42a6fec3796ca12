# Sourced as `. x-test-lib.sh NAME PROGRAM` by the scripts driving the tray program on an X server in the
# wrappers' private home: checks, bounded waits, the program (output in program.log), screenshots.
app=$(realpath "$2") work=$(mktemp -d) fails=0 app_pid= helpers=()
artifacts=${PELTWICK_BINARY_DIR:-$(dirname "$app")}/test-artifacts/$1
rm -rf "$artifacts" && mkdir -p "$artifacts" && : >"$artifacts/program.log"
settings=$XDG_CONFIG_HOME/Peltwick/PeltwickImporter.conf entry=$XDG_CONFIG_HOME/autostart/app.peltwick.importer.desktop
cleanup() { kill $app_pid "${helpers[@]}" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

check() { "${@:2}" && echo "PASS $1" || { echo "FAIL $1" && fails=$((fails + 1)); }; } # name command...
wait_until() { for _ in $(seq "$1"); do "${@:2}" >/dev/null 2>&1 && return 0 || sleep 0.05; done && false; }
has_line() { grep -qxF -- "$2" "$1"; }
launch() { # [VAR=value...]; no strict string checks: libxkbcommon-x11 hands strndup an unterminated buffer
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0" env -u XDG_CURRENT_DESKTOP "$@" "$app" >>"$artifacts/program.log" 2>&1 &
    app_pid=$!
}
exited() { ! kill -0 "$app_pid" 2>/dev/null; }
ended() { wait_until 100 exited && wait "$app_pid"; } # within 5 s, with status 0
shot() { import -window "${2:-root}" "$artifacts/$1.png"; } # name [window]
