#!/usr/bin/env bash
# Installs what is missing, builds ratemill-cli and converts WAV files with it.
#   scripts/convert.sh [ratemill-cli options] [FILE...]
# With no file given it makes a small sample with SoX and converts that.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/native"

"$root/scripts/install-deps.sh" convert
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRATEMILL_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" ratemill-cli >/dev/null
cli="$build/cli/ratemill-cli"

has_file=0
for arg in "$@"; do
    case "$arg" in -*) ;; *) has_file=1 ;; esac
done
if [ "$has_file" -eq 1 ]; then
    exec "$cli" "$@"
fi

sample_dir="$root/out/sample"
rm -rf "$sample_dir"
mkdir -p "$sample_dir/converted"
sample="$sample_dir/sample.wav"
# Two seconds of a 44.1 kHz stereo chord, made fresh each time.
sox -n -r 44100 -c 2 -b 16 "$sample" synth 2 sine 440 sine 660 gain -6
echo "Made a sample: $sample (44100 Hz, stereo)"
status=0
"$cli" -r 48000 -c 1 -o "$sample_dir/converted" "$@" "$sample" || status=$?
echo "Result: $sample_dir/converted/sample.wav (48000 Hz, mono)"
exit "$status"
