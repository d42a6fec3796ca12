#!/usr/bin/env bash
# Installs what the program needs, builds it and starts it in the system tray.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "Peltwick Importer is a tray program and needs a desktop session: run this command from a terminal" \
        "inside your desktop (neither DISPLAY nor WAYLAND_DISPLAY is set here)." >&2
    exit 1
fi
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DPELTWICK_TESTS=OFF -DPELTWICK_BENCH=OFF
cmake --build build --target PeltwickImporter
exec ./build/PeltwickImporter
