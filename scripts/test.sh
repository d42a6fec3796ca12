#!/usr/bin/env bash
# Installs what the tests need, builds the program twice (a plain build, and one under clang with
# AddressSanitizer, UndefinedBehaviorSanitizer and the fuzz targets) and runs every test in both.
# Each test starts the servers it needs itself (WebDAV, keyring, X server with a tray, EDS).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests

# Every C++ file follows .clang-format.
git ls-files -z 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' |
    xargs -0 clang-format --dry-run --Werror

jobs=$(nproc)
cmake -S . -B build -G Ninja -DPELTWICK_WERROR=ON -DPELTWICK_TESTS=ON -DPELTWICK_BENCH=ON
cmake --build build -j "$jobs"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DPELTWICK_SANITIZE=ON -DPELTWICK_FUZZ=ON -DPELTWICK_WERROR=ON -DPELTWICK_TESTS=ON -DPELTWICK_BENCH=OFF
cmake --build build-asan -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0

status=0
echo "== plain build"
ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs" || status=1
echo "== sanitizer build, fuzzers included"
ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$jobs" || status=1
exit $status
