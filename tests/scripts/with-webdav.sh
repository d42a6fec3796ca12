#!/usr/bin/env bash
# with-webdav.sh apache|lighttpd COMMAND [ARGS...]: runs COMMAND against a throw-away WebDAV vault
# (tests/servers/) on a free loopback port, stops the server and passes COMMAND's status on. COMMAND gets
# PELTWICK_DAV_URL (http://127.0.0.1:PORT, the vault at /dav/), PELTWICK_DAV_DATA (the folder served as
# /dav/), PELTWICK_DAV_USER and PELTWICK_DAV_PASSWORD.
set -euo pipefail
server=$1 && shift
config=$(dirname "$0")/../servers/$server/$([ "$server" = apache ] && echo httpd || echo lighttpd).conf.in
run=$(mktemp -d /tmp/peltwick-dav.XXXXXX) pid=
trap '[ -z "$pid" ] || { kill "$pid" && wait "$pid"; } || true; rm -rf "$run"' EXIT
trap 'exit 130' INT TERM
export PELTWICK_DAV_DATA=$run/www/dav PELTWICK_DAV_USER=ada@example.org PELTWICK_DAV_PASSWORD=s3cret:pw
mkdir -p "$run/www/dav" "$run/lock" && chmod 755 "$run"
[ "$(id -u)" != 0 ] || chown www-data: "$run/www/dav" "$run/lock" # Apache's workers, when root starts it
printf '%s:%s\n' "$PELTWICK_DAV_USER" "$(openssl passwd -apr1 "$PELTWICK_DAV_PASSWORD")" >"$run/htpasswd"
# A file of this run answers the probe, so that no other server on the port is taken for ours.
marker=ready-$$ && echo >"$run/www/dav/$marker" && chmod 644 "$run/htpasswd" "$run/www/dav/$marker"
[ "$server" = apache ] && command=(/usr/sbin/apache2 -d "$run" -DFOREGROUND) || command=(/usr/sbin/lighttpd -D)
for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    sed "s|@PORT@|$port|g; s|@RUN@|$run|g" "$config" >"$run/server.conf"
    "${command[@]}" -f "$run/server.conf" & pid=$!
    for i in $(seq 200); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" || true; pid=; continue 2; } # the port is taken
        [ "$(curl -s -m 1 -o /dev/null -w '%{http_code}' -u "$PELTWICK_DAV_USER:$PELTWICK_DAV_PASSWORD" \
            "http://127.0.0.1:$port/dav/$marker")" = 200 ] && rm "$run/www/dav/$marker" && break 2
        sleep 0.05
    done
    echo "with-webdav.sh: $server did not answer on port $port" >&2 && exit 1
done
[ -n "$pid" ] || { echo "with-webdav.sh: no free port for $server" >&2 && exit 1; }
PELTWICK_DAV_URL=http://127.0.0.1:$port "$@"
