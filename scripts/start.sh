#!/usr/bin/env bash
# Installs what the program needs, builds it and starts it in the system tray.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DPELTWICK_TESTS=OFF -DPELTWICK_BENCH=OFF
cmake --build build --target PeltwickImporter
exec ./build/PeltwickImporter
