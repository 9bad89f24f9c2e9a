#!/usr/bin/env bash
# Builds the Windows program (if needed) and runs it under Wine on this Linux desktop.
#   scripts/run-windows.sh
# It uses the Wine prefix of the Windows build (build/windows/wineprefix), made on first use,
# and keeps its settings file beside the program (build/windows/bin/ratemill.ini) unless the
# working folder holds one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/windows"

"$root/scripts/install-deps.sh" windows
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DRATEMILL_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" ratemill traceout64 >/dev/null
RATEMILL_BUILD_DIR="$build" exec "$root/cmake/wine-run.sh" "$build/bin/ratemill.exe"
