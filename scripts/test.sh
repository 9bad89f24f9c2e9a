#!/usr/bin/env bash
# Installs what is missing, builds both configurations and runs every test suite:
# the native build (GCC) and the Windows build (mingw-w64), whose tests run under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh" test

echo "== Native build and tests"
cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DRATEMILL_BUILD_TESTS=ON >/dev/null
ninja -C "$root/build/native"
(cd "$root/build/native" && ctest --output-on-failure -j"$jobs")

echo "== Windows build and tests (under Wine)"
cmake -S "$root" -B "$root/build/windows" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DRATEMILL_BUILD_TESTS=ON >/dev/null
ninja -C "$root/build/windows"
# The zip for Windows users: build/windows/ratemill-<version>-win64.zip
ninja -C "$root/build/windows" package >/dev/null
# One Wine program at a time: parallel first starts of one prefix collide.
(cd "$root/build/windows" && ctest --output-on-failure -j1)

echo "All tests passed."
