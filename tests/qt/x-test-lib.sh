# Shared by the scripts that drive the tray program on an X server: PASS/FAIL bookkeeping,
# bounded waiting, and clean-up of the program and the scratch folder. Sourced, not run;
# the caller sets $work (its scratch folder) and $app_pid (the running program, if any).
pass=0 fail=0 app_pid=

check() { # name command...
    local name=$1
    shift
    if "$@"; then
        echo "PASS $name"
        pass=$((pass + 1))
    else
        echo "FAIL $name"
        fail=$((fail + 1))
    fi
}
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

wait_until() { # tries command... (every 0.05 s)
    local tries=$1
    shift
    for _ in $(seq "$tries"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    return 1
}
