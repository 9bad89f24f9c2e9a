#!/usr/bin/env bash
# Installs what is missing, builds both configurations and runs every test suite: the native
# build (GCC), the Windows build (mingw-w64) whose tests run under Wine, the native tests again
# under AddressSanitizer, UndefinedBehaviorSanitizer and ThreadSanitizer, and a short run of
# each fuzzing harness. Warnings are errors in all of these builds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh" test

echo "== Native build and tests"
cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DRATEMILL_BUILD_TESTS=ON -DRATEMILL_WARNINGS_AS_ERRORS=ON >/dev/null
ninja -C "$root/build/native"
(cd "$root/build/native" && ctest --output-on-failure -j"$jobs")

echo "== Windows build and tests (under Wine)"
cmake -S "$root" -B "$root/build/windows" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DRATEMILL_BUILD_TESTS=ON \
    -DRATEMILL_WARNINGS_AS_ERRORS=ON >/dev/null
ninja -C "$root/build/windows"
# The zips for Windows users, each with its checksum: build/windows/ratemill-<version>-win64.zip
# and ratemill-<version>-win64-debug.zip (the same with the debug-output library).
ninja -C "$root/build/windows" zips >/dev/null
(cd "$root/build/windows" && sha256sum --quiet -c ./*.zip.sha256)
# One Wine program at a time: parallel first starts of one prefix collide.
(cd "$root/build/windows" && ctest --output-on-failure -j1)

echo "== Native tests under the sanitizers"
"$root/scripts/sanitize.sh"

echo "== Fuzzing, a short run of each harness over its corpus"
"$root/scripts/fuzz.sh" "${RATEMILL_FUZZ_SECONDS:-20}"

echo "All tests passed."
