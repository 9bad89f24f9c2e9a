#!/usr/bin/env bash
# Installs what is missing, builds ratemill-cli and converts WAV files with it.
#   scripts/convert.sh [ratemill-cli options] [FILE...]
# With no file given it makes a small sample with SoX and converts that, to 48000 Hz mono in
# out/sample/converted unless the options say otherwise. The program is built in build/release.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/release"

# quietly COMMAND...: runs a build step, showing its output only when it fails.
quietly() {
    local output
    if ! output=$("$@" 2>&1); then
        printf '%s\n' "$output" >&2
        return 1
    fi
}

"$root/scripts/install-deps.sh" convert
quietly cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRATEMILL_BUILD_TESTS=OFF
quietly ninja -C "$build" ratemill-cli
cli="$build/cli/ratemill-cli"

# The arguments as ratemill-cli reads them: -r, -c, -o, -j, -Q and --bits take a value, either
# the next argument or attached (-r16000, --rate=16000); "--" ends the options; "-" alone is a
# file.
has_file=0
run_as_given=0
value_next=0
options_ended=0
for arg in "$@"; do
    if [ "$value_next" -eq 1 ]; then
        value_next=0
    elif [ "$options_ended" -eq 1 ]; then
        has_file=1
    else
        case "$arg" in
            --) options_ended=1 ;;
            -r | -c | -o | -j | -Q | --rate | --channels | --output | --jobs | --quality | --bits)
                value_next=1 ;;
            -h | --help | --version | --settings) run_as_given=1 ;;
            -) has_file=1 ;;
            -*) ;;
            *) has_file=1 ;;
        esac
    fi
done
# Files to convert, a request for information, or an option missing its value (which
# ratemill-cli reports): the arguments go to ratemill-cli as they are.
if [ "$has_file" -eq 1 ] || [ "$run_as_given" -eq 1 ] || [ "$value_next" -eq 1 ]; then
    exec "$cli" "$@"
fi

sample_dir="$root/out/sample"
rm -rf "$sample_dir"
mkdir -p "$sample_dir/converted"
sample="$sample_dir/sample.wav"
# Two seconds of a 44.1 kHz stereo chord, made fresh each time.
sox -n -r 44100 -c 2 -b 16 "$sample" synth 2 sine 440 sine 660 gain -6
echo "Made a sample: $sample (44100 Hz, stereo)"
# The options given come after the sample's defaults, so they win. ratemill-cli names each
# output on standard output as "source -> output"; with -q it does not, and no result is shown.
results=$(mktemp)
trap 'rm -f "$results"' EXIT
status=0
"$cli" -r 48000 -c 1 -o "$sample_dir/converted" "$@" "$sample" | tee "$results" || status=$?
output=""
while IFS= read -r line; do
    case "$line" in "$sample -> "*) output=${line#"$sample -> "} ;; esac
done <"$results"
if [ "$status" -eq 0 ] && [ -f "$output" ]; then
    channels=$(soxi -c "$output")
    [ "$channels" = 1 ] && channels=mono || channels=stereo
    echo "Result: $output ($(soxi -r "$output") Hz, $channels)"
fi
exit "$status"
