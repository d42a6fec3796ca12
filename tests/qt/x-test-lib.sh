# Shared by the scripts that drive the tray program on an X server, sourced as
# `. x-test-lib.sh NAME PROGRAM` inside the wrappers' private home: PASS/FAIL bookkeeping, bounded
# waiting, starting and stopping the program, screenshots (to $PELTWICK_BINARY_DIR/test-artifacts/
# NAME) and clean-up of the program, the helpers the caller adds to `helpers` and the scratch folder.
app=$(realpath "$2")
artifacts=${PELTWICK_BINARY_DIR:-$(dirname "$app")}/test-artifacts/$1
mkdir -p "$artifacts"
: >"$artifacts/program.log"
work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
settings=$XDG_CONFIG_HOME/Peltwick/PeltwickImporter.conf
entry=$XDG_CONFIG_HOME/autostart/app.peltwick.importer.desktop
pass=0 fail=0 app_pid= helpers=()

check() { # name command...
    if "${@:2}"; then echo "PASS $1"; pass=$((pass + 1)); else echo "FAIL $1"; fail=$((fail + 1)); fi
}
finish() { echo "$pass passed, $fail failed" && [ "$fail" = 0 ]; }
cleanup() { kill $app_pid "${helpers[@]}" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
wait_until() { # tries command...: every 0.05 s
    for _ in $(seq "$1"); do "${@:2}" >/dev/null 2>&1 && return 0; sleep 0.05; done
    return 1
}
has_line() { grep -qxF -- "$2" "$1"; }

launch() { # [VAR=value...]: the program in the background, its output appended to program.log
    # Under AddressSanitizer: libxkbcommon-x11 hands strndup an unterminated buffer, which the
    # strict string checks report although strndup reads no further than its bound.
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0" env -u XDG_CURRENT_DESKTOP "$@" "$app" \
        >>"$artifacts/program.log" 2>&1 &
    app_pid=$!
}
exited() { ! kill -0 "$app_pid" 2>/dev/null; }
stop_app() { # reaps the program, killing it if it still runs; its exit status in app_status
    kill "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_status=$? app_pid=
}

shot() { # name [window]: the screen, and the window cut out of it
    import -window root "$artifacts/$1.png"
    [ -n "${2:-}" ] || return 0
    eval "$(xdotool getwindowgeometry --shell "$2")"
    /usr/bin/convert "$artifacts/$1.png" -crop "$((WIDTH + 20))x$((HEIGHT + 20))+$((X > 10 ? X - 10 : 0))+$((Y > 10 ? Y - 10 : 0))" \
        +repage "$artifacts/$1-window.png"
}
