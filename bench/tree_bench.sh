#!/usr/bin/env bash
# Folders of many files: ratemill-cli converting 1,000 and 20,000 one-second files (44.1 kHz
# stereo, 16-bit, to 48 kHz) from trees of 10 and 200 folders with -j 2, and the window program
# under Wine adding the 20,000-file tree as one dropped folder (seconds until the list holds
# them), and a tree of 100,000 small WAV files (how much the process's working set grew for the
# list; Wine does not count private bytes).
#   bench/tree_bench.sh [--cli PATH] [--windows BUILD_DIR] [--work DIR]
# --cli: the ratemill-cli to time (default: built in build/bench, as bench/bench.sh does);
# --windows: a Windows build with ratemill-shots.exe (default build/windows-run, built if
# needed); --work: where the trees are made (default build/tree-bench; about 8 GB while the
# 20,000 files and their outputs are there). The times mean something on an idle machine only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=""
windows="$root/build/windows-run"
work="$root/build/tree-bench"
while [ $# -gt 0 ]; do
    case $1 in
        --cli) cli=$2; shift 2 ;;
        --windows) windows=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        *) echo "usage: $0 [--cli PATH] [--windows BUILD_DIR] [--work DIR]" >&2; exit 2 ;;
    esac
done
if [ -z "$cli" ]; then
    cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DRATEMILL_BUILD_TESTS=ON -DRATEMILL_WARNINGS_AS_ERRORS=ON >/dev/null
    ninja -C "$root/build/bench" ratemill-cli >/dev/null
    cli="$root/build/bench/cli/ratemill-cli"
fi
if [ ! -f "$windows/build.ninja" ]; then
    cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DRATEMILL_BUILD_TESTS=OFF \
        >/dev/null
fi
ninja -C "$windows" ratemill-shots >/dev/null

rm -rf "$work"
mkdir -p "$work"
cd "$work"
sox -n -r 44100 -c 2 -b 16 one.wav synth 1 sine 440 sine 660 gain -6
# tree_N: N files, 100 to a folder, ten folders to a parent folder; small: 100,000 files of
# 100 frames, 200 to a folder.
make_tree() {
    python3 - "$1" "$2" "$3" "$4" <<'PY'
import os, shutil, sys
name, count, per_folder, source = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
data = open(source, 'rb').read()
for i in range(count):
    folder = os.path.join(name, 'group%03d' % (i // per_folder // 10),
                          'folder%04d' % (i // per_folder))
    if i % per_folder == 0:
        os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, 'take%05d.wav' % i), 'wb') as out:
        out.write(data)
PY
}

convert() {
    local tree=$1 files=$2
    rm -rf out && mkdir out
    local start end
    start=$(date +%s.%N)
    "$cli" -q -j 2 -r 48000 -c 2 -o out "$tree"
    end=$(date +%s.%N)
    local made
    made=$(find out -name '*.wav' | wc -l)
    [ "$made" -eq "$files" ] || echo "warning: $made outputs for $files files" >&2
    awk -v s="$start" -v e="$end" -v n="$files" \
        'BEGIN { printf "ratemill-cli -j 2, %6d files: %7.2f s, %.2f s per 1,000 files\n", n, e - s, (e - s) * 1000 / n }'
    rm -rf out
}

make_tree tree_1000 1000 100 one.wav
convert tree_1000 1000
rm -rf tree_1000
make_tree tree_20000 20000 100 one.wav
convert tree_20000 20000

# The window program: the same tree dropped as one folder, then the 100,000 small files.
export WINEPREFIX="$windows/bench-prefix" WINEDEBUG=-all RATEMILL_WINE_DISPLAY_ONLY=1
window_add() {
    local tree=$1 what=$2
    rm -f ready done
    printf '<?xml version="1.0" ?>\r\n<config><language>0</language>\r\n</config>\r\n' >ratemill.ini
    xvfb-run -a -s "-screen 0 1280x1024x24" "$root/cmake/wine-run.sh" \
        "$windows/bin/ratemill-shots.exe" "$(winepath -w "$work/ready" 2>/dev/null)" \
        "$(winepath -w "$work/done" 2>/dev/null)" --time-add \
        "$(winepath -w "$work/$tree" 2>/dev/null)" >/dev/null 2>&1 || true
    [ -s ready ] || { echo "the window gave no figures for $tree" >&2; return; }
    read -r seconds rows private working <ready
    awk -v s="$seconds" -v r="$rows" -v p="$private" -v w="$working" -v what="$what" \
        'BEGIN { printf "window (Wine), %s: %d rows in %.2f s; working set +%.1f MiB\n", what, r, s, w / 1048576 }'
}
window_add tree_20000 "20,000 one-second files dropped as a folder"
rm -rf tree_20000
sox -n -r 8000 -c 1 -b 16 small.wav synth 100s sine 440
make_tree tree_small 100000 200 small.wav
window_add tree_small "100,000 small files dropped as a folder"
cd "$root"
rm -rf "$work"
