#!/usr/bin/env bash
# with-webdav.sh SERVER COMMAND [ARGS...]
#
# Starts a throw-away WebDAV vault on a free loopback port, runs COMMAND against it, stops the
# server (also when COMMAND fails or the script is interrupted) and passes COMMAND's exit code on.
# SERVER is "apache" (httpd with mod_dav) or "lighttpd" (mod_webdav); their configs are in
# tests/servers/. Both serve an empty data folder at /dav/ with HTTP Basic auth. Safe to run in
# parallel: each run has its own port, folders and process.
#
# Environment given to COMMAND:
#   PELTWICK_DAV_SERVER    apache | lighttpd
#   PELTWICK_DAV_URL       the server's origin, http://127.0.0.1:PORT (the vault is /dav/ under it)
#   PELTWICK_DAV_DATA      the folder served as /dav/ (empty at start; /dav/contacts/ is DATA/contacts)
#   PELTWICK_DAV_USER      the Basic auth user     (default ada@example.org; set DAV_USER to change)
#   PELTWICK_DAV_PASSWORD  its password            (default s3cret:pw, colon included; DAV_PASS)
#   PELTWICK_DAV_OWNER     user:group the server writes files as. A file or folder that COMMAND puts
#                          into DATA itself must be chowned to it (Apache runs as www-data when
#                          started by root and cannot write into a root-owned folder).
#   PELTWICK_DAV_RUNDIR    the server's config, logs and pid file
# Set PELTWICK_DAV_KEEP=1 to keep the folders after the run (the path is printed).
set -euo pipefail

server=${1:?usage: with-webdav.sh apache|lighttpd COMMAND [ARGS...]}
shift
[ $# -gt 0 ] || { echo "usage: with-webdav.sh apache|lighttpd COMMAND [ARGS...]" >&2; exit 2; }
case "$server" in apache | lighttpd) ;; *) echo "with-webdav.sh: unknown server '$server'" >&2; exit 2 ;; esac

here=$(cd "$(dirname "$0")" && pwd)
configs=$(cd "$here/../servers" && pwd)
user=${DAV_USER:-ada@example.org}
password=${DAV_PASS:-s3cret:pw}

base=$(mktemp -d "${TMPDIR:-/tmp}/peltwick-dav.XXXXXX")
chmod 755 "$base" # Apache's workers must reach the data folder
data=$base/data
run=$base/run
mkdir -p "$data" "$run/docroot" "$run/lock" "$run/spool"
pid=

stop_server() {
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    local i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
}
cleanup() {
    stop_server
    if [ "${PELTWICK_DAV_KEEP:-0}" = 1 ]; then echo "with-webdav.sh: kept $base" >&2; else rm -rf "$base"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "$server" = apache ]; then
    if [ "$(id -u)" = 0 ]; then owner=www-data:www-data; u=www-data; g=www-data; else
        owner="$(id -un):$(id -gn)"; u="#$(id -u)"; g="#$(id -g)"; fi
    chown -R "$owner" "$data" "$run/lock"
    printf '%s' "$password" | htpasswd -i -c -m "$run/htpasswd" "$user" 2>/dev/null
else
    owner="$(id -un):$(id -gn)"
    printf '%s:%s\n' "$user" "$(printf '%s' "$password" | openssl passwd -apr1 -stdin)" >"$run/htpasswd"
fi
chmod 644 "$run/htpasswd"

# A marker only this server's data folder holds, so that a probe answered by some other process
# that happens to listen on the port is never taken for ours.
marker=.ready-$$-$RANDOM
printf 'ready\n' >"$data/$marker"
chmod 644 "$data/$marker"

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start_server() { # PORT; 0 when ready, 1 when the server exited (port taken), 2 on time-out
    local port=$1
    if [ "$server" = apache ]; then
        sed -e "s|@PORT@|$port|g" -e "s|@RUN@|$run|g" -e "s|@DATA@|$data|g" -e "s|@USER@|$u|g" -e "s|@GROUP@|$g|g" \
            "$configs/apache/httpd.conf.in" >"$run/httpd.conf"
        /usr/sbin/apache2 -d "$run" -f "$run/httpd.conf" -DFOREGROUND </dev/null >"$run/server.log" 2>&1 &
    else
        sed -e "s|@PORT@|$port|g" -e "s|@RUN@|$run|g" -e "s|@DATA@|$data|g" \
            "$configs/lighttpd/lighttpd.conf.in" >"$run/lighttpd.conf"
        /usr/sbin/lighttpd -D -f "$run/lighttpd.conf" </dev/null >"$run/server.log" 2>&1 &
    fi
    pid=$!
    local i=0 code
    while [ $i -lt 200 ]; do # at most about 20 s
        code=$(curl -s -o /dev/null -m 1 -w '%{http_code}' -u "$user:$password" \
            "http://127.0.0.1:$port/dav/$marker" || true)
        [ "$code" = 200 ] && return 0
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" 2>/dev/null || true
            pid=
            return 1
        fi
        sleep 0.05
        i=$((i + 1))
    done
    return 2
}

port=
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    candidate=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    port_in_use "$candidate" && continue
    status=0
    start_server "$candidate" || status=$?
    if [ $status = 0 ]; then port=$candidate; break; fi
    if [ $status = 2 ]; then
        echo "with-webdav.sh: $server did not answer on port $candidate within 20 s" >&2
        cat "$run/server.log" "$run/error.log" >&2 2>/dev/null || true
        exit 1
    fi
done
if [ -z "$port" ]; then
    echo "with-webdav.sh: could not start $server on a free port" >&2
    cat "$run/server.log" "$run/error.log" >&2 2>/dev/null || true
    exit 1
fi
rm -f "$data/$marker"

export PELTWICK_DAV_SERVER=$server
export PELTWICK_DAV_URL=http://127.0.0.1:$port
export PELTWICK_DAV_DATA=$data
export PELTWICK_DAV_USER=$user
export PELTWICK_DAV_PASSWORD=$password
export PELTWICK_DAV_OWNER=$owner
export PELTWICK_DAV_RUNDIR=$run

status=0
"$@" || status=$?
exit $status
