#!/usr/bin/env bash
# Takes the README's screenshots of the window program under Wine and Xvfb, each cropped to the
# window with its frame (and the box over it): the English window after converting three dropped
# files, the Japanese window with the same files listed, the question when quitting during a
# batch and the final report of a batch with a stopped and a failed file (both languages), a
# dropped folder tree (both languages), and the window at 150 % scale on a 1280 x 900 screen, as
# it starts and resized.
#   scripts/screenshots.sh [BUILD_DIR]     (default build/windows-run; built if needed)
# Writes docs/screenshot-en.png, docs/screenshot-ja.png, docs/quit-question-{en,ja}.png,
# docs/report-stopped-{en,ja}.png, docs/folders-{en,ja}.png, docs/window-150-en.png and
# docs/window-150-ja-resized.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/windows-run}" 2>/dev/null && pwd || echo "${1:-$root/build/windows-run}")

"$root/scripts/install-deps.sh" screenshots
if [ ! -f "$build/build.ninja" ]; then
    # The configuration of scripts/run-windows.sh, which builds in the same folder by default.
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DRATEMILL_BUILD_TESTS=OFF \
        >/dev/null
fi
ninja -C "$build" ratemill-shots traceout64 >/dev/null

# Prefixes of their own, one at 96 and one at 144 dots per inch: title bars and menu bars use the
# system UI font (Tahoma, or "MS UI Gothic"), which is replaced by a Japanese one here, for the
# Japanese screenshots only. The title bars' buttons are drawn with Wine's Marlett font (package
# fonts-wine), which Debian's Wine does not look for where that package puts it: each prefix gets
# a copy.
make_prefix() {
    export WINEPREFIX=$1
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        RATEMILL_WINE_DPI=$2 "$root/cmake/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
        wineserver -w
    fi
    local marlett=/usr/share/wine/fonts/marlett.ttf
    if [ -f "$marlett" ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
        cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
}
export WINEDEBUG=-all
make_prefix "$build/screenshot-prefix-144" 144
make_prefix "$build/screenshot-prefix" 96

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x900x24 >/dev/null 2>&1 &
xvfb=$!
# The sample files live on each prefix's C: drive, so the window shows ordinary Windows paths.
trap 'kill $xvfb 2>/dev/null || true; wineserver -k 2>/dev/null || true
      rm -rf "$build"/screenshot-prefix*/drive_c/Recordings' EXIT
export DISPLAY=$display
sleep 1

# The files, in the prefix's C:\Recordings: three short ones, one that the batch will find gone
# and an hour-long one that is still being converted when the batch is stopped.
make_files() {
    work="$WINEPREFIX/drive_c/Recordings"
    rm -rf "$work"
    mkdir -p "$work/converted"
    cd "$work"
    sox -n -r 44100 -c 2 -b 16 concert.wav synth 3 sine 440 sine 660 gain -6
    sox -n -r 48000 -c 1 -b 24 interview.wav synth 2 sine 300 gain -6
    sox -n -r 32000 -c 1 -b 16 birdsong.wav synth 2 sine 2000 gain -6
    sox -n -r 8000 -c 1 -b 16 rehearsal.wav synth 3600 sine 200 gain -12
    # A folder tree with a few takes in subfolders and two files that are not WAV files.
    mkdir -p Sessions/Monday/Strings Sessions/Tuesday
    sox -n -r 44100 -c 2 -b 16 Sessions/Monday/take1.wav synth 2 sine 440 gain -6
    sox -n -r 44100 -c 2 -b 16 Sessions/Monday/take2.wav synth 2 sine 550 gain -6
    sox -n -r 96000 -c 2 -b 24 Sessions/Monday/Strings/cello.wav synth 2 sine 220 gain -6
    sox -n -r 96000 -c 2 -b 24 Sessions/Monday/Strings/viola.wav synth 2 sine 330 gain -6
    sox -n -r 48000 -c 1 -b 16 Sessions/Tuesday/vocals.wav synth 2 sine 660 gain -6
    sox -n -r 22050 -c 1 -b 16 Sessions/overview.wav synth 2 sine 880 gain -6
    printf 'Monday: strings\n' >Sessions/notes.txt
    printf 'ID3' >Sessions/Tuesday/mixdown.wav
}

# One screenshot: language (0 English, 1 Japanese), output name, desktop size, extra arguments.
shoot() {
    local language=$1 output=$2 desktop=$3
    shift 3
    printf '<?xml version="1.0" ?>\r\n<config><language>%s</language>\r\n<output_path>%s</output_path>\r\n<frequency>%s</frequency>\r\n<channels>2</channels>\r\n</config>\r\n' \
        "$language" "$(winepath -w "$work/converted")" "${FREQUENCY:-48000}" >ratemill.ini
    local replacements='HKCU\Software\Wine\Fonts\Replacements' font
    for font in Tahoma "MS UI Gothic"; do
        if [ "$language" = 1 ]; then
            wine reg add "$replacements" /v "$font" /d IPAPGothic /f >/dev/null 2>&1
        else
            wine reg delete "$replacements" /v "$font" /f >/dev/null 2>&1 || true
        fi
    done
    rm -f ready done
    rm -f converted/*
    wine explorer /desktop=ratemill,"$desktop" "$build/bin/ratemill-shots.exe" \
        "$(winepath -w "$work/ready")" "$(winepath -w "$work/done")" "$@" >/dev/null 2>&1 &
    # ready holds the window's rectangle on the virtual desktop, which fills the screen.
    for _ in $(seq 1 600); do
        [ -s ready ] && break
        sleep 0.2
    done
    [ -s ready ] || { echo "the window did not come up" >&2; exit 1; }
    local left top width height
    read -r left top width height <ready
    sleep 1
    import -window root -crop "${width}x${height}+${left}+${top}" +repage "$root/docs/$output"
    touch done
    # The program closes its window; the virtual desktop stays until the server goes.
    for _ in $(seq 1 100); do
        pgrep -f ratemill-shots.exe >/dev/null || break
        sleep 0.2
    done
    wineserver -k 2>/dev/null || true
    wineserver -w
    echo "wrote docs/$output"
}

mkdir -p "$root/docs"
make_files
shoot 0 screenshot-en.png 1000x760 --execute concert.wav interview.wav birdsong.wav
ls converted/*.wav >/dev/null || { echo "nothing was converted" >&2; exit 1; }
shoot 1 screenshot-ja.png 1000x760 concert.wav interview.wav birdsong.wav
for language in en ja; do
    number=0
    if [ "$language" = ja ]; then number=1; fi
    FREQUENCY=96000 shoot "$number" "quit-question-$language.png" 1000x760 --quit-question \
        concert.wav rehearsal.wav
    cp birdsong.wav outtake.wav
    FREQUENCY=96000 shoot "$number" "report-stopped-$language.png" 1000x760 --stopped-report \
        --remove outtake.wav concert.wav outtake.wav rehearsal.wav
done
shoot 0 folders-en.png 1000x760 Sessions
shoot 1 folders-ja.png 1000x760 Sessions
export WINEPREFIX="$build/screenshot-prefix-144"
make_files
shoot 0 window-150-en.png 1280x900 concert.wav interview.wav birdsong.wav
shoot 1 window-150-ja-resized.png 1280x900 --size 1000x700 concert.wav interview.wav birdsong.wav
