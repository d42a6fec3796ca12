#!/usr/bin/env bash
# bench/dav/run.sh [N] [ROUNDS]
# Builds the DAV benchmark (Release, in build-bench/ unless BUILD_DIR is set), starts a local Apache
# WebDAV vault and measures a sync pass of N new contacts (default 5000) against one curl process
# making the same PUTs over one connection, then the next pass (all present) against curl fetching
# the same listing. Prints the figures and their ratios.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELTWICK_TESTS=OFF >/dev/null
cmake --build "$build" --target dav_bench >/dev/null
exec "$root/tests/scripts/with-webdav.sh" apache "$build/bench/dav_bench" "${1:-5000}" "${2:-3}"
