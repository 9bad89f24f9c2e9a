#!/usr/bin/env bash
# Builds the Windows program (if needed) and runs it under Wine on this Linux desktop.
#   scripts/run-windows.sh
# It builds in build/windows-run and uses a Wine prefix of its own there (wineprefix), made on
# first use, apart from the tests' prefix. The settings file is kept beside the program
# (build/windows-run/bin/ratemill.ini) unless the working folder holds one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/windows-run"

# quietly COMMAND...: runs a build step, showing its output only when it fails.
quietly() {
    local output
    if ! output=$("$@" 2>&1); then
        printf '%s\n' "$output" >&2
        return 1
    fi
}

"$root/scripts/install-deps.sh" windows
# scripts/screenshots.sh builds in the same folder with the same configuration.
quietly cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DRATEMILL_BUILD_TESTS=OFF
quietly ninja -C "$build" ratemill traceout64

export WINEPREFIX="$build/wineprefix"
# Title bars and menu bars use the system UI font (Tahoma, or "MS UI Gothic" under a Japanese
# locale), which has no Japanese glyphs: a Japanese font stands in for both, so that the
# Japanese window's title and menus can be read. wine-run.sh makes the prefix on first use.
if ! grep -q '^"MS UI Gothic"="IPAPGothic"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    for font in Tahoma "MS UI Gothic"; do
        "$root/cmake/wine-run.sh" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" \
            /d IPAPGothic /f >/dev/null 2>&1
    done
fi
# The title bars' buttons are drawn with Wine's Marlett font (package fonts-wine), which Debian's
# Wine does not look for where that package puts it: the prefix gets a copy.
marlett=/usr/share/wine/fonts/marlett.ttf
if [ -f "$marlett" ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
    cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"
fi
exec "$root/cmake/wine-run.sh" "$build/bin/ratemill.exe"
