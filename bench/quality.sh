#!/usr/bin/env bash
# The quality benchmark: installs SoX, FFmpeg, ImageMagick and GNU time when missing, builds
# ratemill-cli and ratemill-quality in an optimised build (build/bench), and prints, for each
# job, a Markdown table of Ratemill's modes, SoX and FFmpeg: THD+N, worst alias or image, level
# at 0.9 x Nyquist, delay, length error and the energy before the impulse's rise (measured by
# ratemill-quality on its own 60 s sources), the median seconds of --runs whole-process
# conversions (the rows taking turns) and the peak memory. The 24-bit rows convert 32-bit float
# sources, whose own rounding lies far below a 24-bit output's, at -6 dBFS and at -1 dBFS. Then
# three tables of 16-bit outputs at 44.1 -> 48 kHz, for the dithers and the clip counts: a
# -90 dBFS tone (its level and highest harmonic), a fade into digital silence (when the output
# falls silent against the source) and sources that clip (the count ratemill-cli prints against
# the output's samples at full scale, and the peak with --prevent-clipping). Also draws the sweep
# spectrograms of two jobs into docs/quality-montage.png.
#   bench/quality.sh [--runs N]        (default 5)
# Work files go to out/quality. The times mean something on an otherwise idle machine only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"
work="$root/out/quality"
runs=5
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --runs=*) runs="${1#--runs=}"; shift ;;
        *) echo "usage: $0 [--runs N]" >&2; exit 2 ;;
    esac
done

missing=()
for package in cmake ninja-build g++ libgtest-dev sox libsox-fmt-base ffmpeg imagemagick time; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRATEMILL_BUILD_TESTS=ON \
    -DRATEMILL_WARNINGS_AS_ERRORS=ON >/dev/null
ninja -C "$build" ratemill-cli ratemill-quality >/dev/null
cli="$build/cli/ratemill-cli"
quality="$build/bench/ratemill-quality"
"$quality" self-check >/dev/null
# Name the standard mode when the command line has the choice, so that a stored setting of the
# window program cannot change it.
standard=()
if "$cli" --help | grep -q -- --quality; then standard=(-Q standard); fi

rm -rf "$work"
mkdir -p "$work"

# The level of a row's tones (dBFS) and its source for a job (sources made by make_sources).
row_level() { if [[ "$1" == *"-1 dBFS" ]]; then echo -1; else echo -6; fi; }
# The rows that write 24 bits, and convert the float sources.
is24() { [[ "$1" == *"--bits 24"* || "$1" == *"-b 24"* || "$1" == *"pcm_s24le"* ]]; }
row_source() {
    local row="$1" fin="$2" fout="$3" cin="$4"
    if is24 "$row"; then
        echo "$work/source-$fin-$fout-$cin-float$(row_level "$row").wav"
    else
        echo "$work/source-$fin-$fout-$cin.wav"
    fi
}
make_sources() {
    local fin="$1" fout="$2" cin="$3"
    "$quality" make "$fin" "$fout" "$cin" "$work/source-$fin-$fout-$cin.wav"
    for level in -6 -1; do
        "$quality" make "$fin" "$fout" "$cin" "$work/source-$fin-$fout-$cin-float$level.wav" \
            --float --level "$level"
    done
}

# The command of a row for a job, into the array `command`; the output goes to $work/out.
row_command() {
    local row="$1" fin="$2" fout="$3" cin="$4" cout="$5" src="$6" out="$work/out/out.wav"
    local remix=() ac=()
    if [ "$cin" != "$cout" ]; then remix=(remix -); ac=(-ac "$cout"); fi
    case "$row" in
        "Ratemill standard") command=("$cli" -q "${standard[@]}" -r "$fout" -c "$cout" -o "$work/out" "$src") ;;
        "Ratemill high" | "Ratemill high --dither none")
            command=("$cli" -q -Q high --dither none -r "$fout" -c "$cout" -o "$work/out" "$src") ;;
        "Ratemill high, TPDF dither") command=("$cli" -q -Q high -r "$fout" -c "$cout" -o "$work/out" "$src") ;;
        "Ratemill high --dither shaped")
            command=("$cli" -q -Q high --dither shaped -r "$fout" -c "$cout" -o "$work/out" "$src") ;;
        "Ratemill high --bits 24"*)
            local phase=()
            if [[ "$row" == *"--phase minimum"* ]]; then phase=(--phase minimum); fi
            command=("$cli" -q -Q high --dither none --bits 24 "${phase[@]}" -r "$fout" -c "$cout" -o "$work/out"
                     "$src") ;;
        "SoX default") command=(sox -D "$src" -b 16 "$out" "${remix[@]}" rate "$fout") ;;
        "SoX default, dithered") command=(sox "$src" -b 16 "$out" "${remix[@]}" rate "$fout") ;;
        "SoX -v") command=(sox -D "$src" -b 16 "$out" "${remix[@]}" rate -v "$fout") ;;
        "SoX -v -b 24") command=(sox "$src" -b 24 "$out" "${remix[@]}" rate -v "$fout") ;;
        "FFmpeg default")
            command=(ffmpeg -nostdin -v error -i "$src" "${ac[@]}" -ar "$fout" -c:a pcm_s16le "$out") ;;
        "FFmpeg soxr")
            command=(ffmpeg -nostdin -v error -i "$src" -af aresample=resampler=soxr "${ac[@]}"
                     -ar "$fout" -c:a pcm_s16le "$out") ;;
        "FFmpeg soxr pcm_s24le")
            command=(ffmpeg -nostdin -v error -i "$src" -af aresample=resampler=soxr:precision=28
                     -sample_fmt s32 "${ac[@]}" -ar "$fout" -c:a pcm_s24le "$out") ;;
    esac
}

rows=("Ratemill standard" "Ratemill high" "Ratemill high, TPDF dither" "Ratemill high --bits 24"
      "Ratemill high --bits 24 --phase minimum" "Ratemill high --bits 24 at -1 dBFS"
      "Ratemill high --bits 24 --phase minimum at -1 dBFS" "SoX default" "SoX default, dithered"
      "SoX -v" "SoX -v -b 24" "FFmpeg default" "FFmpeg soxr" "FFmpeg soxr pcm_s24le")
jobs=("44100 48000 2 2" "48000 16000 2 1" "96000 44100 2 2" "8000 48000 1 1")

khz() { awk -v f="$1" 'BEGIN { s = sprintf("%.1f", f / 1000); sub(/\.0$/, "", s); print s }'; }
layout() { [ "$1" = 1 ] && echo mono || echo stereo; }

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
if grep -qw avx512f /proc/cpuinfo; then isa=AVX-512; elif grep -qw avx2 /proc/cpuinfo; then isa=AVX2; else isa=SSE2; fi
# shellcheck source=/dev/null
system=$(. /etc/os-release && echo "$PRETTY_NAME")
echo "Machine: $(nproc) x $cpu ($isa); $system; GCC $(gcc -dumpfullversion);" \
    "$(sox --version | sed 's/.*SoX v/SoX /'); $(ffmpeg -version | head -1 | cut -d' ' -f1-3)." \
    "Times: median of $runs runs, the rows taking turns."

for job in "${jobs[@]}"; do
    read -r fin fout cin cout <<<"$job"
    make_sources "$fin" "$fout" "$cin"
    echo
    echo "### $(khz "$fin") kHz $(layout "$cin") -> $(khz "$fout") kHz $(layout "$cout")"
    echo
    echo "| converter | THD+N (dB) | worst alias or image (dBc) | level at 0.9 x Nyquist (dB) | delay (samples) | length error (frames) | energy before the impulse's rise (dB) | seconds per 60 s file | peak memory (MiB) |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    # The rows take turns, run after run, so that a slow moment of a shared machine falls on all
    # of them alike; each run starts with nothing waiting to be written to the disk.
    declare -A times=()
    for ((run = 0; run < runs; run++)); do
        for row in "${rows[@]}"; do
            row_command "$row" "$fin" "$fout" "$cin" "$cout" "$(row_source "$row" "$fin" "$fout" "$cin")"
            sync
            if [ "${times[$row]-}" != failed ] &&
                seconds=$("$quality" time 1 "$work/out" "${command[@]}"); then
                times[$row]+="$seconds "
            else
                times[$row]=failed
            fi
        done
    done
    for row in "${rows[@]}"; do
        row_command "$row" "$fin" "$fout" "$cin" "$cout" "$(row_source "$row" "$fin" "$fout" "$cin")"
        # The median run, and the row's output made once more for the figures.
        if [ "${times[$row]}" = failed ] ||
            ! "$quality" time 1 "$work/out" "${command[@]}" >/dev/null; then
            echo "| $row | n/a | n/a | n/a | n/a | n/a | n/a | n/a | n/a |"
            continue
        fi
        # shellcheck disable=SC2086
        seconds=$(printf '%s\n' ${times[$row]} | sort -n | awk '{ v[NR] = $1 } END { print v[int(NR / 2) + 1] }')
        output=$(find "$work/out" -name '*.wav' | head -1)
        if is24 "$row" && [ "$(soxi -b "$output")" != 24 ]; then
            echo "| $row | not a 24-bit output | | | | | | $seconds | |"
            continue
        fi
        # The 24-bit rows' float sources are made at the level given; the others' at 0.5 (the
        # tool's default, -6.02 dBFS), which a --level -6 would take for 0.02 dB too much.
        level_option=()
        if is24 "$row"; then level_option=(--level "$(row_level "$row")"); fi
        if ! figures=$("$quality" measure "$fin" "$fout" "$cout" "$output" "${level_option[@]}" \
            2>"$work/error"); then
            echo "| $row | $(cat "$work/error") | | | | | | $seconds | |"
            continue
        fi
        IFS=$'\t' read -r thdn spur where level delay length early <<<"$figures"
        rm -rf "$work/out" && mkdir -p "$work/out"
        echo 0 >"$work/memory"
        /usr/bin/time -f %M -o "$work/memory" "${command[@]}" >/dev/null 2>&1 || true
        memory=$(awk '{ m = $1 } END { printf "%.1f", m / 1024 }' "$work/memory")
        if [ "$spur" = -inf ]; then spur="silent"; else spur="$spur ($where)"; fi
        echo "| $row | $thdn | $spur | $level | $delay | $length | $early | $seconds | $memory |"
    done
done

# The 16-bit outputs of the high quality's dithers, 44.1 kHz -> 48 kHz: a -90 dBFS 997 Hz tone of
# a float source (its level and harmonics), a 24-bit tone fading from -60 to -120 dBFS into
# digital silence (where each falls silent), and the sources that clip.
low_rows=("Ratemill high, TPDF dither" "Ratemill high --dither none" "Ratemill high --dither shaped"
          "Ratemill standard" "SoX default, dithered")
"$quality" signal tone 44100 1 "$work/low.wav" --level -90 --float
"$quality" signal fade 44100 1 "$work/fade.wav"
convert_once() {  # ROW SOURCE RATE CHANNELS: the output's path, or nothing when it failed
    row_command "$1" 44100 "$3" "$(soxi -c "$2" 2>/dev/null)" "$4" "$2"
    rm -rf "$work/out" && mkdir -p "$work/out"
    "${command[@]}" >/dev/null 2>&1 && find "$work/out" -name '*.wav' | head -1
}
echo
echo "### A -90 dBFS 997 Hz tone, 44.1 kHz float -> 48 kHz 16-bit"
echo
echo "| converter | level (dBFS) | level error (dB) | highest of the 2nd to 9th harmonics (dBFS, which) |"
echo "|---|---:|---:|---:|"
for row in "${low_rows[@]}"; do
    if output=$(convert_once "$row" "$work/low.wav" 48000 1) && [ -n "$output" ] &&
        figures=$("$quality" tone "$output" --level -90); then
        IFS=$'\t' read -r level error harmonic <<<"$figures"
        echo "| $row | $level | $error | $harmonic |"
    else
        echo "| $row | n/a | n/a | n/a |"
    fi
done
echo
echo "### 997 Hz fading from -60 to -120 dBFS over 10 s, then silence: 44.1 kHz 24-bit -> 48 kHz 16-bit"
echo
echo "| converter | source's first 100 ms of zeros (s) | output's (s) | output zero where the source is (%) |"
echo "|---|---:|---:|---:|"
for row in "${low_rows[@]}"; do
    if output=$(convert_once "$row" "$work/fade.wav" 48000 1) && [ -n "$output" ] &&
        figures=$("$quality" silence "$work/fade.wav" "$output"); then
        IFS=$'\t' read -r source_start output_start zeros <<<"$figures"
        [ "$output_start" = -1.000 ] && output_start=never
        echo "| $row | $source_start | $output_start | $zeros |"
    else
        echo "| $row | n/a | n/a | n/a |"
    fi
done

"$quality" signal mix 44100 2 "$work/mix.wav"
"$quality" signal tone 44100 1 "$work/hot.wav" --level 3 --float
"$quality" signal tone 44100 2 "$work/sine.wav" --level -0.1
echo
echo "### Clipping, 44.1 kHz -> 48 kHz 16-bit"
echo
echo "| source | converter | clipped samples (peak, dBFS), as ratemill-cli prints them | samples at full scale in the output | output's peak (dBFS) | peak with --prevent-clipping (dBFS) |"
echo "|---|---|---:|---:|---:|---:|"
for clip in "mix 2 Ratemill high" "mix 2 Ratemill standard" "hot 1 Ratemill high" \
    "hot 1 Ratemill standard" "sine 1 Ratemill standard" "sine 1 Ratemill high"; do
    read -r name cout quality_mode <<<"$clip"
    case "$name" in
        mix) label="dense mix limited to 0 dBFS, 24-bit stereo" ;;
        hot) label="997 Hz at +3 dBFS, float mono" ;;
        sine) label="997 Hz at -0.1 dBFS, 24-bit stereo -> mono" ;;
    esac
    mode=${quality_mode#Ratemill }
    counted="n/a" full="n/a" peak="n/a" prevented="n/a"
    for prevent in "" --prevent-clipping; do
        rm -rf "$work/out" && mkdir -p "$work/out"
        # shellcheck disable=SC2086
        if "$cli" -Q "$mode" $prevent -r 48000 -c "$cout" -o "$work/out" "$work/$name.wav" \
            >/dev/null 2>"$work/error"; then
            IFS=$'\t' read -r at_full output_peak <<<"$("$quality" peak "$work/out/$name.wav")"
            if [ -z "$prevent" ]; then
                # "ratemill-cli: mix.wav: 20,428 samples clipped (peak +0.4 dBFS)" -> "20428 (+0.4)"
                counted=$(sed -n 's/.*: \([0-9,]*\) samples clipped (peak \([^ ]*\) dBFS).*/\1 (\2)/p' \
                    "$work/error" | tr -d ,)
                counted=${counted:-none}
                full=$at_full peak=$output_peak
            else
                prevented=$output_peak
            fi
        fi
    done
    echo "| $label | $quality_mode | $counted | $full | $peak | $prevented |"
done

# Spectrograms of a 16-bit sine sweep from 0 Hz to the source's Nyquist frequency, converted by
# Ratemill standard, Ratemill high and SoX default, for an upward and a downward job. The sweep
# is made by ratemill-quality: SoX's "synth 8 sine 0:48000" at 96 kHz turns back at 24 kHz.
panels=()
columns=0
for job in "44100 48000" "96000 44100"; do
    read -r fin fout <<<"$job"
    sweep="$work/sweep-$fin.wav"
    "$quality" sweep "$fin" "$sweep"
    count=0
    for row in "Ratemill standard" "Ratemill high" "SoX default"; do
        row_command "$row" "$fin" "$fout" 1 1 "$sweep"
        rm -rf "$work/out" && mkdir -p "$work/out"
        "${command[@]}" >/dev/null 2>&1 || continue
        png="$work/spectrogram-$fin-$fout-${#panels[@]}.png"
        sox "$(find "$work/out" -name '*.wav' | head -1)" -n spectrogram -x 400 -y 257 \
            -o "$png" -t "$row: $(khz "$fin") kHz -> $(khz "$fout") kHz sweep"
        panels+=("$png")
        count=$((count + 1))
    done
    columns=$count
done
montage "${panels[@]}" -tile "${columns}x2" -geometry +4+4 "$root/docs/quality-montage.png"
echo
echo "Sweep spectrograms: docs/quality-montage.png"
