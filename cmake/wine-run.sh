#!/bin/sh
# Runs a Windows program under Wine with the build folder's private prefix, creating the prefix
# on first use. Used as CMake's cross-compiling emulator, so CTest runs Windows tests this way.
# WINEPREFIX may be set by the caller; otherwise the prefix is "wineprefix" in the working folder
# of CTest's build tree (RATEMILL_BUILD_DIR) or the current folder.
set -e
: "${WINEPREFIX:=${RATEMILL_BUILD_DIR:-$PWD}/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    # The Japanese dialog templates name "ＭＳ Ｐゴシック": show them with a Japanese font.
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ Ｐゴシック' /d 'IPAPGothic' /f \
        >/dev/null 2>&1 || true
    wineserver -w || true
fi
# RATEMILL_WINE_DISPLAY_ONLY=1 (the window tests): the prefix's previous session, which a
# program run without a display may have left behind for a few seconds, ends first. Joining it
# would put the windows on a desktop that has no display.
if [ "${RATEMILL_WINE_DISPLAY_ONLY:-}" = 1 ]; then
    wineserver -w 2>/dev/null || true
fi
# Plain Xvfb has no window manager, and Wine waits two seconds for one whenever it hides a
# window that it left to the manager: let Wine manage its windows itself.
if ! grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
fi
# RATEMILL_WINE_DPI (for example 144): the prefix's screen scale, as the user's display setting
# would make it; set before the program starts.
if [ -n "${RATEMILL_WINE_DPI:-}" ]; then
    pixels=$(printf '%08x' "$RATEMILL_WINE_DPI")
    if ! grep -q "^\"LogPixels\"=dword:$pixels" "$WINEPREFIX/user.reg" 2>/dev/null; then
        wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
            /d "$RATEMILL_WINE_DPI" /f >/dev/null 2>&1 || true
    fi
fi
exec wine "$@"
