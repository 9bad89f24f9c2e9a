#!/bin/sh
# ratemill-cli end to end: sources made by SoX, outputs checked with soxi.
#   cli_end_to_end.sh EMULATOR CLI
# EMULATOR is empty for the native program, or the Wine launcher for the Windows one.
set -eu
emulator=$1
cli=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/ratemill-cli-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# The user's settings folder is a fresh one here, never that of whoever runs the test (Wine
# sets its own APPDATA inside the prefix).
XDG_CONFIG_HOME=$work/config
export XDG_CONFIG_HOME

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

run() {
    if [ -n "$emulator" ]; then "$emulator" "$cli" "$@"; else "$cli" "$@"; fi
}

# Expect exit code $1 from the rest.
expect_exit() {
    want=$1
    shift
    set +e
    run "$@" >stdout.txt 2>stderr.txt
    got=$?
    set -e
    [ "$got" -eq "$want" ] || fail "exit $got, expected $want: $* ($(cat stderr.txt))"
}

# Checks an output with soxi: signed PCM of 16 bits (or $5; 32f: floats), rate, channels,
# frames, and a header that describes exactly the bytes in the file.
check_output() {
    file=$1 rate=$2 channels=$3 frames=$4 bits=${5:-16} encoding="Signed Integer PCM"
    [ "$bits" = 32f ] && bits=32 encoding="Floating Point PCM"
    [ -f "$file" ] || { fail "$file missing"; return; }
    [ "$(soxi -r "$file" 2>/dev/null)" = "$rate" ] || fail "$file: rate $(soxi -r "$file")"
    [ "$(soxi -c "$file" 2>/dev/null)" = "$channels" ] || fail "$file: channels $(soxi -c "$file")"
    [ "$(soxi -b "$file" 2>/dev/null)" = "$bits" ] || fail "$file: bits $(soxi -b "$file")"
    soxi -e "$file" 2>/dev/null | grep -q "$encoding" || fail "$file: encoding $(soxi -e "$file")"
    got=$(soxi -s "$file" 2>/dev/null)
    [ "$got" = "$frames" ] || fail "$file: $got frames, expected $frames"
    size=$(wc -c <"$file")
    [ "$size" -eq $((56 + got * channels * bits / 8)) ] || fail "$file: $size bytes for $got frames"
}

# Frames the resampler gives for a source of $1 frames at $2 Hz converted to $3 Hz: output n is
# made once input trunc(n x ratio) + 25 arrives, so n x ratio < frames - 25.
expected_frames() {
    awk -v t="$1" -v s="$2" -v d="$3" 'BEGIN {
        r = s / d; n = 0
        while (n * r < t - 25) n++
        print n }'
}

# The high quality's output frames: as long as the source, ceil($1 x $3 / $2).
high_frames() {
    echo $((($1 * $3 + $2 - 1) / $2))
}

sox -n -r 44100 -c 2 -b 16 stereo44.wav synth 0.25 sine 440 sine 660 gain -3
sox -n -r 48000 -c 1 -b 24 mono48_24bit.wav synth 0.2 sine 1000 gain -3
sox -n -r 8000 -c 1 -b 8 -e unsigned-integer mono8k_8bit.wav synth 0.5 sine 300 gain -3
sox -n -r 22050 -c 2 -b 32 -e floating-point stereo22_float.wav synth 0.2 sine 500 gain -3
printf 'not a wave file\n' >notes.txt

# Every rate and channel pair the window offers, from a 16-bit stereo source.
for rate in 8000 16000 32000 44100 48000 96000; do
    for channels in 1 2; do
        mkdir -p "out_${rate}_$channels"
        expect_exit 0 -q -r "$rate" -c "$channels" -o "out_${rate}_$channels" stereo44.wav
        check_output "out_${rate}_$channels/stereo44.wav" "$rate" "$channels" \
            "$(expected_frames 11025 44100 "$rate")"
    done
done

# Other source encodings are decoded, not read as 16-bit samples.
mkdir -p formats
expect_exit 0 -q -r 44100 -c 2 -o formats mono48_24bit.wav mono8k_8bit.wav stereo22_float.wav
check_output formats/mono48_24bit.wav 44100 2 "$(expected_frames 9600 48000 44100)"
check_output formats/mono8k_8bit.wav 44100 2 "$(expected_frames 4000 8000 44100)"
check_output formats/stereo22_float.wav 44100 2 "$(expected_frames 4410 22050 44100)"
# A decoded sine keeps its level: SoX measures about the same RMS before and after.
rms_in=$(sox stereo22_float.wav -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
rms_out=$(sox formats/stereo22_float.wav -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
awk -v a="$rms_in" -v b="$rms_out" 'BEGIN { exit !(b > a * 0.9 && b < a * 1.1) }' ||
    fail "float source level $rms_in became $rms_out"

# Tags and the broadcast time reference (samples since midnight) pass to the output, the
# reference scaled to the new rate; --no-metadata leaves them out. FFmpeg writes and reads them.
if command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null; then
    mkdir -p tags plain
    ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1" -ac 2 \
        -c:a pcm_s16le -write_bext 1 -metadata title="Take 3" -metadata comment="京都, first take" \
        -metadata time_reference=441000 tagged.wav
    expect_exit 0 -q -r 48000 -o tags tagged.wav
    expect_exit 0 -q --no-metadata -r 48000 -o plain tagged.wav
    ffprobe -v error -show_entries format_tags -of default=nw=1 tags/tagged.wav >tags.txt
    for tag in "title=Take 3" "comment=京都, first take" "time_reference=480000"; do
        grep -qxF "TAG:$tag" tags.txt || fail "metadata: no $tag in $(cat tags.txt)"
    done
    check_output plain/tagged.wav 48000 2 "$(expected_frames 44100 44100 48000)"
    [ "$(ffprobe -v error -show_entries format_tags -of default=nw=1 plain/tagged.wav)" = "" ] ||
        fail "--no-metadata kept tags"
else
    fail "ffmpeg and ffprobe are needed (scripts/install-deps.sh test)"
fi

# The high quality, in 16 or 24 bits, from every source encoding, several files at once.
mkdir -p high
expect_exit 0 -q -Q high --bits 24 -j 2 -r 44100 -o high stereo44.wav mono48_24bit.wav \
    mono8k_8bit.wav stereo22_float.wav
check_output high/stereo44.wav 44100 2 11025 24
check_output high/mono48_24bit.wav 44100 2 "$(high_frames 9600 48000 44100)" 24
check_output high/mono8k_8bit.wav 44100 2 "$(high_frames 4000 8000 44100)" 24
check_output high/stereo22_float.wav 44100 2 "$(high_frames 4410 22050 44100)" 24
expect_exit 0 -q --quality=high -r 16000 -c 1 -o high stereo44.wav
check_output "high/stereo44(1).wav" 16000 1 "$(high_frames 11025 44100 16000)"
# The minimum-phase filter keeps the length too.
expect_exit 0 -q --quality=high --phase minimum -r 16000 -c 1 -o high stereo44.wav
check_output "high/stereo44(2).wav" 16000 1 "$(high_frames 11025 44100 16000)"
expect_exit 0 -q -Q high --bits 32f -r 48000 -o high mono8k_8bit.wav stereo22_float.wav
check_output "high/mono8k_8bit(1).wav" 48000 2 "$(high_frames 4000 8000 48000)" 32f
check_output "high/stereo22_float(1).wav" 48000 2 "$(high_frames 4410 22050 48000)" 32f
# A gain of 0 dB is no gain at all, in the standard quality too.
expect_exit 0 -q --gain 0 -r 8000 -o high stereo44.wav
expect_exit 0 -q -r 8000 -o high stereo44.wav
cmp -s "high/stereo44(3).wav" "high/stereo44(4).wav" || fail "--gain 0 changed the samples"

# Dither: the same bytes every run, with one job or two; digital silence stays zeros. A tone at
# -90 dBFS (a 16-bit step) from a 24-bit source keeps its level in 16 bits only with dither.
sox -n -r 48000 -c 1 -b 24 tone90.wav synth 1 sine 1000 gain -90
sox -n -r 44100 -c 2 -b 24 gap.wav synth 0.1 sine 440 gain -6 pad 0 0.4
mkdir -p dither/a dither/b
for kind in tpdf shaped; do
    expect_exit 0 -q -Q high --dither $kind -j 2 -c 1 -r 44100 -o dither/a tone90.wav gap.wav
    expect_exit 0 -q -Q high --dither $kind -j 1 -c 1 -r 44100 -o dither/b tone90.wav gap.wav
done
for name in tone90 "tone90(1)" gap "gap(1)"; do
    cmp -s "dither/a/$name.wav" "dither/b/$name.wav" || fail "dither: $name.wav differs"
done
for name in gap "gap(1)"; do
    sox "dither/a/$name.wav" -n trim 0.2 stat 2>&1 | grep -q "Maximum amplitude: *0.000000" ||
        fail "dither: the silence of $name.wav is not silent"
done
expect_exit 0 -q -Q high --dither none -c 1 -r 44100 -o dither/a tone90.wav
# The tone's amplitude from a sine fit over 800 whole periods, in dBFS.
tone_level() {
    sox "$1" -t s16 - trim 0.1 0.8 | od -An -v -td2 | awk '{
        for (i = 1; i <= NF; i++) {
            t = 2 * 3.141592653589793 * 1000 * n / 44100; s += $i * sin(t); c += $i * cos(t); n++
        } } END { print 20 * log(2 * sqrt(s * s + c * c) / n / 32768) / log(10) }'
}
for name in tone90 "tone90(1)"; do
    level=$(tone_level "dither/a/$name.wav")
    awk -v l="$level" 'BEGIN { exit !(l > -90.1 && l < -89.9) }' ||
        fail "dither: $name.wav has the -90 dBFS tone at $level dBFS"
done
level=$(tone_level "dither/a/tone90(2).wav")
awk -v l="$level" 'BEGIN { exit !(l < -90.1 || l > -89.9) }' ||
    fail "without dither the -90 dBFS tone is still at $level dBFS: the check sees nothing"

# Clipping: a float output keeps a +3 dBFS peak; made into 16 bits it clips, and the count
# said is that of the samples at full scale; prevented, the peak stays at or below -0.1 dBFS.
mkdir -p clip
sox -n -r 48000 -c 1 -b 24 loud.wav synth 0.5 sine 997
expect_exit 0 -q -Q high --bits 32f --gain 3 -r 48000 -o clip loud.wav
od -An -v -j 56 -t f4 clip/loud.wav | awk '{ for (i = 1; i <= NF; i++) if ($i > m) m = $i }
    END { exit !(m > 1.41 && m < 1.42) }' || fail "the float output lost its +3 dBFS peak"
cp clip/loud.wav clip/hot.wav
expect_exit 0 -Q high --dither none -r 48000 -c 1 -o clip clip/hot.wav
full=$(sox "clip/hot(1).wav" -t s16 - | od -An -v -td2 | tr -s ' ' '\n' |
    grep -c -x -e 32767 -e -32768)
said=$(tr -d '\r' <stderr.txt |
    sed -n 's/^ratemill-cli: clip.hot.wav: \([0-9,]*\) samples clipped (peak +3.0 dBFS)$/\1/p' |
    tr -d ,)
[ "$full" -gt 10000 ] && [ "$said" = "$full" ] ||
    fail "clipped: $full samples at full scale, said: $(cat stderr.txt)"
for bits in 16 32f; do
    expect_exit 0 -Q high --bits $bits --prevent-clipping -r 44100 -c 1 -o clip clip/hot.wav
    grep -q "^ratemill-cli: clip.hot.wav: gain lowered by 3.1 dB to prevent clipping" stderr.txt ||
        fail "--prevent-clipping said: $(cat stderr.txt)"
    if grep -q "samples clipped" stderr.txt; then fail "prevented, yet: $(cat stderr.txt)"; fi
done
for name in "hot(2)" "hot(3)"; do
    sox "clip/$name.wav" -n stats 2>&1 | awk '/Pk lev dB/ { exit !($4 <= -0.1 && $4 > -0.2) }' ||
        fail "prevented clipping: $name.wav peaks at $(sox "clip/$name.wav" -n stats 2>&1 |
            grep 'Pk lev')"
done

# Beside the source, never overwriting: name(1).wav, then name(2).wav.
mkdir -p beside
cp stereo44.wav beside/
expect_exit 0 -q -r 8000 beside/stereo44.wav
expect_exit 0 -q -r 8000 beside/stereo44.wav
check_output "beside/stereo44(1).wav" 8000 2 "$(expected_frames 11025 44100 8000)"
check_output "beside/stereo44(2).wav" 8000 2 "$(expected_frames 11025 44100 8000)"
cmp -s stereo44.wav beside/stereo44.wav || fail "the source was changed"
# A source without an extension gets .wav (not a name ending in a dot, which Windows drops).
cp stereo44.wav beside/noext
expect_exit 0 -r 8000 beside/noext
check_output beside/noext.wav 8000 2 "$(expected_frames 11025 44100 8000)"
grep -q "noext -> .*noext\.wav" stdout.txt || fail "noext: $(cat stdout.txt)"

# A name that is not UTF-8 reaches the file system byte for byte: that file is converted, not
# one whose name holds a replacement character in its place (native: Windows names are UTF-16).
if [ -z "$emulator" ]; then
    raw=$(printf 'caf\351.wav')
    cp stereo44.wav "$raw"
    cp mono8k_8bit.wav "$(printf 'caf\357\277\275.wav')"
    mkdir -p bytes
    expect_exit 0 -q -r 8000 -o bytes "$raw"
    check_output "bytes/$raw" 8000 2 "$(expected_frames 11025 44100 8000)"
    [ "$(ls bytes | wc -l)" -eq 1 ] || fail "a name that is not UTF-8 gave: $(ls bytes)"
    # Printed, a name keeps to its line and shows as what it is: control characters, bidi
    # overrides and bytes that are not UTF-8 come escaped.
    odd=$(printf 'two\nlines\033[31m\342\200\256\351.wav')
    cp stereo44.wav "$odd"
    expect_exit 0 -r 8000 -o bytes "$odd"
    shown='two\nlines\x1b[31m\u202e\xe9.wav'
    [ "$(wc -l <stdout.txt)" -eq 1 ] && grep -qxF "$shown -> bytes/$shown" stdout.txt ||
        fail "escaped names: $(cat stdout.txt)"
    check_output "bytes/$odd" 8000 2 "$(expected_frames 11025 44100 8000)"
fi

# Windows: an output name the system takes for a device (NUL, CON, COM1, with any extension) is
# passed over for the next candidate, a real file; the leading blank of each source is trimmed
# from its base name. A drive-relative source (Z:name.wav) is named by its full path.
if [ -n "$emulator" ]; then
    mkdir -p devices drive
    for name in NUL CON COM1 NUL.tar con.; do cp stereo44.wav " $name.wav"; done
    expect_exit 0 -q -r 8000 -o devices " NUL.wav" " CON.wav" " COM1.wav"
    for name in NUL CON COM1; do
        check_output "devices/$name(1).wav" 8000 2 "$(expected_frames 11025 44100 8000)"
    done
    # The system takes the part before the first dot: the number goes there, where it makes a
    # file (NUL.tar(1).wav would be the device too).
    expect_exit 0 -q -r 8000 -o devices " NUL.tar.wav" " con..wav"
    for name in "NUL(1).tar" "con(1)."; do
        check_output "devices/$name.wav" 8000 2 "$(expected_frames 11025 44100 8000)"
    done
    [ "$(ls devices | wc -l)" -eq 5 ] || fail "device names gave: $(ls devices)"
    # Wine's drive Z: is the Unix root, so its current folder is this one. (Asking winepath
    # instead would run a program of another code page in the prefix, which upsets the window
    # tests that follow.)
    prefix=${WINEPREFIX:-${RATEMILL_BUILD_DIR:-.}/wineprefix}
    if [ "$(readlink "$prefix/dosdevices/z:")" = / ]; then
        expect_exit 0 -q -r 8000 -o drive Z:stereo44.wav
        check_output drive/stereo44.wav 8000 2 "$(expected_frames 11025 44100 8000)"
        [ "$(ls drive | wc -l)" -eq 1 ] || fail "drive-relative source gave: $(ls drive)"
        # A long path in the \\.\ form reaches the system as it is, as a \\?\ one does.
        deep=deep
        while [ ${#deep} -lt 300 ]; do deep=$deep/a_folder_beyond_the_classic_path_limit; done
        mkdir -p "$deep"
        expect_exit 0 -q -r 8000 -o '\\.\Z:'"$(printf '%s' "$PWD/$deep" | tr / '\\')" stereo44.wav
        check_output "$deep/stereo44.wav" 8000 2 "$(expected_frames 11025 44100 8000)"
    else
        echo "note: no Wine drive Z: for the root, drive-relative names not checked"
    fi
    # Redirected, the lines come in the active code page (the prefix's, which follows the
    # locale) with CR LF, as Windows programs write text; a console would get wide text.
    mkdir -p codepage
    cp stereo44.wav 'level±3.wav'
    expect_exit 0 -r 8000 -o codepage 'level±3.wav'
    acp=$("$emulator" reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP |
        tr -d '\r' | awk '$1 == "ACP" {print $3}')
    [ "$acp" = 65001 ] && encoding=UTF-8 || encoding=CP$acp
    if printf 'level±3.wav -> codepage\\level±3.wav\r\n' | iconv -t "$encoding" >expected.txt; then
        cmp -s stdout.txt expected.txt || fail "code page $acp: $(od -c stdout.txt)"
    else
        fail "no conversion to the active code page $acp"
    fi
    awk '!/\r$/ { bad = 1 } END { exit bad }' stderr.txt || fail "line ends: $(od -c stderr.txt)"
fi

# Several files at once get the names a one-at-a-time run gives: claimed in list order.
mkdir -p jobs/d1 jobs/d2 jobs/d3 jobs/out
sox -n -r 44100 -c 1 -b 16 jobs/d1/take.wav synth 0.9 sine 300
sox -n -r 44100 -c 1 -b 16 jobs/d2/take.wav synth 0.3 sine 300
sox -n -r 44100 -c 1 -b 16 jobs/d3/take.wav synth 0.6 sine 300
expect_exit 0 -q --jobs 3 -r 22050 -c 1 -o jobs/out jobs/d1/take.wav jobs/d2/take.wav \
    jobs/d3/take.wav
check_output jobs/out/take.wav 22050 1 "$(expected_frames 39690 44100 22050)"
check_output "jobs/out/take(1).wav" 22050 1 "$(expected_frames 13230 44100 22050)"
check_output "jobs/out/take(2).wav" 22050 1 "$(expected_frames 26460 44100 22050)"
expect_exit 2 --jobs 0 stereo44.wav

# --name makes the outputs' names from a template; --skip-existing passes over a file whose
# first output name holds its complete output, with a line that says so, and counts it apart.
# A file there that is cut short is kept, and the output numbered.
mkdir -p skip
expect_exit 0 -q -r 48000 --name '{name}_{khz}k' -o skip stereo44.wav mono48_24bit.wav
check_output skip/stereo44_48k.wav 48000 2 "$(expected_frames 11025 44100 48000)"
check_output skip/mono48_24bit_48k.wav 48000 2 "$(expected_frames 9600 48000 48000)"
expect_exit 0 --skip-existing -r 48000 --name '{name}_{khz}k' -o skip stereo44.wav \
    mono48_24bit.wav
grep -q "^ratemill-cli: stereo44.wav: skipped, skip.stereo44_48k.wav is already converted" \
    stderr.txt && grep -q "^Converted 0 of 2 files, 2 skipped\." stderr.txt &&
    [ ! -s stdout.txt ] || fail "--skip-existing: $(cat stdout.txt stderr.txt)"
expect_exit 0 -q --skip-existing -r 48000 --name '{name}_{khz}k' -o skip stereo44.wav
[ ! -s stderr.txt ] || fail "--skip-existing -q: $(cat stderr.txt)"
head -c 20000 skip/stereo44_48k.wav >cut.wav
mv cut.wav skip/stereo44_48k.wav
expect_exit 0 -q --skip-existing -r 48000 --name '{name}_{khz}k' -o skip stereo44.wav
check_output "skip/stereo44_48k(1).wav" 48000 2 "$(expected_frames 11025 44100 48000)"
[ "$(wc -c <skip/stereo44_48k.wav)" -eq 20000 ] || fail "--skip-existing changed a cut file"
for bad in '{size}' '{name' 'a/b' '..'; do
    expect_exit 2 --name "$bad" stereo44.wav
    grep -q "name template" stderr.txt || fail "--name $bad: $(cat stderr.txt)"
done

# The same file named four ways (also through a hard link) is converted once, with one line.
mkdir -p twice
ln stereo44.wav linked.wav
expect_exit 0 -r 8000 -o twice stereo44.wav ./stereo44.wav twice/../stereo44.wav linked.wav
[ "$(ls twice)" = stereo44.wav ] || fail "a file given twice made: $(ls twice)"
grep -q "^ratemill-cli: stereo44.wav: given 4 times (also as ./stereo44.wav, \
twice/../stereo44.wav, linked.wav), converted once.\{0,1\}\$" stderr.txt &&
    grep -q "Converted 1 of 1 files" stderr.txt || fail "a file given twice: $(cat stderr.txt)"
expect_exit 0 -q -r 8000 -o twice stereo44.wav stereo44.wav
[ ! -s stderr.txt ] || fail "-q and a file given twice: $(cat stderr.txt)"

# Wildcards: a POSIX shell expands them before the program starts; on Windows the program
# does, so there a quoted pattern stands for its folder's files, folders left out, sorted by
# name with case ignored, after -- as well. A pattern that matches nothing fails as a name.
if [ -n "$emulator" ]; then
    mkdir -p wild/in/folder.wav wild/out
    for name in c B a; do cp mono8k_8bit.wav "wild/in/$name.wav"; done
    cp notes.txt wild/in/notes.txt
    expect_exit 0 -j 1 -r 16000 -o wild/out 'wild/in/*.wav'
    [ "$(tr -d '\r' <stdout.txt | cut -d ' ' -f 1 | tr '\n' ' ')" = \
        "wild/in/a.wav wild/in/B.wav wild/in/c.wav " ] || fail "wildcard order: $(cat stdout.txt)"
    expect_exit 0 -q -r 16000 -o wild/out -- 'wild/in/?.wav'
    for name in a B c "a(1)" "B(1)" "c(1)"; do
        check_output "wild/out/$name.wav" 16000 2 "$(expected_frames 4000 8000 16000)"
    done
    [ "$(ls wild/out | wc -l)" -eq 6 ] || fail "wildcards made: $(ls wild/out)"
    expect_exit 1 -q -o wild/out 'wild/in/*.flac'
    [ "$(wc -l <stderr.txt)" -eq 1 ] && grep -q 'wild/in/\*\.flac' stderr.txt ||
        fail "a pattern without matches: $(cat stderr.txt)"
fi

# Pipes: a WAV stream on standard input, from a file or from SoX or FFmpeg (which write it with
# sizes they cannot fill in), gives the bytes a run on the file gives; -o - writes one WAV stream
# that SoX and FFmpeg read back as the file run's samples, and that redirected to a file is the
# file run's output byte for byte. The lines about files then go to standard error.
mkdir -p pipes/file pipes/redirect pipes/sox pipes/ffmpeg
ffmpeg -v error -i stereo44.wav -f wav -y pipes/ffmpeg.wav
expect_exit 0 -q -r 48000 -o pipes/file stereo44.wav pipes/ffmpeg.wav
expect_exit 0 -r 48000 -o pipes/redirect - <stereo44.wav
cmp -s pipes/redirect/stdin.wav pipes/file/stereo44.wav && grep -q "^- -> " stdout.txt ||
    fail "- from a file: $(cat stdout.txt stderr.txt)"
run -r 48000 stereo44.wav -o - >pipes/redirect.wav 2>stderr.txt
cmp -s pipes/redirect.wav pipes/file/stereo44.wav && grep -q "^stereo44.wav -> standard output" \
    stderr.txt || fail "-o - to a file: $(cat stderr.txt)"
run -q -r 48000 -o - - <stereo44.wav >pipes/both.wav
cmp -s pipes/both.wav pipes/file/stereo44.wav || fail "- -o -: not the file run's output"
[ -z "$(ls pipes/redirect | grep -v '^stdin.wav$')" ] || fail "- left $(ls pipes/redirect)"
if [ -z "$emulator" ]; then
    sox stereo44.wav -t wav - | run -q -r 48000 - -o pipes/sox
    ffmpeg -v error -i pipes/ffmpeg.wav -f wav pipe:1 | run -q -r 48000 - -o pipes/ffmpeg
    cmp -s pipes/sox/stdin.wav pipes/file/stereo44.wav || fail "sox | ratemill-cli -"
    cmp -s pipes/ffmpeg/stdin.wav pipes/file/ffmpeg.wav || fail "ffmpeg | ratemill-cli -"
    sox pipes/file/stereo44.wav -t s16 pipes/file.raw
    run -q -r 48000 stereo44.wav -o - | sox -t wav - -t s16 pipes/sox.raw
    run -q -r 48000 stereo44.wav -o - | ffmpeg -v error -f wav -i - -f s16le pipes/ffmpeg.raw
    cmp -s pipes/sox.raw pipes/file.raw || fail "ratemill-cli -o - | sox"
    cmp -s pipes/ffmpeg.raw pipes/file.raw || fail "ratemill-cli -o - | ffmpeg"
    # A reader that goes away ends the program as SIGPIPE does elsewhere.
    sox -n -r 44100 -c 2 -b 16 pipes/long.wav synth 30 sine 440
    {
        code=0
        "$cli" -q -r 48000 pipes/long.wav -o - 2>stderr.txt || code=$?
        echo "$code" >code.txt
    } | head -c 100 >/dev/null
    [ "$(cat code.txt)" -eq 141 ] || fail "-o - | head: exit $(cat code.txt), expected 141"
    printf 'not a wave file\n' | run -q -o pipes/sox - 2>stderr.txt && fail "text on - converted"
    grep -q "^ratemill-cli: -: not a WAV file" stderr.txt || fail "text on -: $(cat stderr.txt)"
fi
expect_exit 2 -o - stereo44.wav mono8k_8bit.wav
expect_exit 2 --report - -o - stereo44.wav
expect_exit 2 -o pipes - - <stereo44.wav
expect_exit 2 stereo44.wav - <stereo44.wav
expect_exit 2 --files-from - -o pipes - <stereo44.wav

# Lists of names: one a line (CR LF too, empty lines left out) or NUL-separated with -0, from a
# file or standard input, taken as names on the command line are: one conversion per file.
mkdir -p lists/out lists/nul
printf 'stereo44.wav\r\n\r\nmono8k_8bit.wav\n./stereo44.wav' >lists/names.txt
expect_exit 0 -r 16000 -o lists/out --files-from lists/names.txt
[ "$(ls lists/out | tr '\n' ' ')" = "mono8k_8bit.wav stereo44.wav " ] &&
    grep -q "stereo44.wav: given twice (also as ./stereo44.wav)" stderr.txt ||
    fail "--files-from: $(ls lists/out) $(cat stderr.txt)"
printf 'mono48_24bit.wav\0\0stereo22_float.wav\0' >lists/names0.txt
expect_exit 0 -q -0 --files-from - -r 16000 -o lists/nul stereo44.wav <lists/names0.txt
[ "$(ls lists/nul | tr '\n' ' ')" = "mono48_24bit.wav stereo22_float.wav stereo44.wav " ] ||
    fail "--files-from - -0: $(ls lists/nul)"
expect_exit 1 --files-from lists/missing.txt
if [ -z "$emulator" ]; then
    mkdir -p "lists/find/a
b" lists/found
    cp mono8k_8bit.wav "lists/find/a
b/x.wav"
    find lists/find -name '*.wav' -print0 | run -r 16000 -o lists/found --files-from - -0 \
        >stdout.txt 2>stderr.txt
    grep -q '^lists/find/a\\nb/x.wav -> lists/found/x.wav$' stdout.txt ||
        fail "find -print0 | --files-from - -0: $(cat stdout.txt)"
fi

# The results log: CSV with a header and CR LF, or JSON Lines for .jsonl, a row for every source
# in the order given (the rejected ones too); it replaces an earlier log; on standard output
# (--report -) it is alone there.
mkdir -p log
printf 'old\n' >log/log.csv
expect_exit 1 -r 16000 -o log --report log/log.csv notes.txt stereo44.wav
[ "$(tr -d '\r' <log/log.csv | cut -d , -f 1,3 | tr '\n' ' ')" = \
    "source,status notes.txt,unreadable stereo44.wav,converted " ] &&
    [ "$(grep -c "$(printf '\r$')" log/log.csv)" -eq 3 ] || fail "--report CSV: $(cat log/log.csv)"
grep -q '^stereo44.wav,log[/\\]stereo44.wav,converted,,44100,2,16,16000,2,16,11025,' log/log.csv ||
    fail "--report CSV row: $(cat log/log.csv)"
expect_exit 0 -r 16000 -o log --report - stereo44.wav
[ "$(sed -n 2p stdout.txt | cut -d , -f 1-3)" = 'stereo44.wav,log/stereo44(1).wav,converted' ] ||
    [ -n "$emulator" ] || fail "--report -: $(cat stdout.txt)"
[ "$(wc -l <stdout.txt)" -eq 2 ] && grep -q "stereo44.wav -> " stderr.txt ||
    fail "--report - with other lines: $(cat stdout.txt)"
expect_exit 0 -q -r 16000 -o log --report log/log.JSONL stereo44.wav
grep -q '^{"source":"stereo44.wav","output":"log[/\\]*stereo44(2).wav","status":"converted","reason":null,"source_rate":44100,"source_channels":2,"source_bits":"16","target_rate":16000,' \
    log/log.JSONL || fail "--report JSON Lines: $(cat log/log.JSONL)"
expect_exit 1 -q -r 16000 -o log --report no_such_folder/log.csv stereo44.wav
grep -q "no_such_folder/log.csv: the results log cannot be written" stderr.txt &&
    [ -f "log/stereo44(3).wav" ] || fail "--report to a missing folder: $(cat stderr.txt)"
if [ -z "$emulator" ]; then
    cp stereo44.wav "$(printf 'log/caf\351 "1".wav')"
    expect_exit 0 -q -r 16000 -o log --report log/names.jsonl "$(printf 'log/caf\351 "1".wav')"
    grep -q '^{"source":"log/caf\\udce9 \\"1\\".wav","output":"log/caf\\udce9 \\"1\\"(1).wav",' \
        log/names.jsonl && iconv -f UTF-8 -t UTF-8 log/names.jsonl >/dev/null ||
        fail "--report of a name that is not UTF-8: $(cat log/names.jsonl)"
fi

# A rejected file gets one line naming it; the others are still converted.
mkdir -p mixed
expect_exit 1 -r 16000 -o mixed notes.txt stereo44.wav
grep -q "notes.txt" stderr.txt || fail "no message naming notes.txt: $(cat stderr.txt)"
[ "$(grep -c "notes.txt" stderr.txt)" -eq 1 ] || fail "more than one line for notes.txt"
check_output mixed/stereo44.wav 16000 2 "$(expected_frames 11025 44100 16000)"

# A folder stands for the WAV files below it, a folder's files by name before its subfolders;
# the others are counted in one line (none with -q), and do not fail the run. Outputs go beside
# their sources, or with --flat all into the output folder, numbered where names meet.
mkdir -p tree/b/c tree/a tree/empty flat
cp mono8k_8bit.wav tree/x.wav
cp mono8k_8bit.wav tree/a/x.wav
cp mono8k_8bit.wav tree/b/c/y.wav
cp notes.txt tree/b/notes.txt
cp notes.txt tree/b/fake.wav
expect_exit 0 -j 1 -r 16000 -o '' tree
[ "$(tr -d '\r' <stdout.txt | cut -d ' ' -f 1 | tr '\\' / | tr '\n' ' ')" = \
    "tree/x.wav tree/a/x.wav tree/b/c/y.wav " ] || fail "folder order: $(cat stdout.txt)"
grep -q "^ratemill-cli: 3 files added, 2 skipped: not WAV files.\{0,1\}\$" stderr.txt &&
    grep -q "Converted 3 of 3 files" stderr.txt || fail "folder counts: $(cat stderr.txt)"
for name in x a/x b/c/y; do
    check_output "tree/$name(1).wav" 16000 2 "$(expected_frames 4000 8000 16000)"
done
rm tree/*'(1).wav' tree/*/*'(1).wav' tree/*/*/*'(1).wav'
expect_exit 0 -q -j 2 -r 16000 -o flat --flat tree tree/a/x.wav
[ ! -s stderr.txt ] || fail "-q and a folder: $(cat stderr.txt)"
for name in x 'x(1)' y; do
    check_output "flat/$name.wav" 16000 2 "$(expected_frames 4000 8000 16000)"
done
[ "$(ls flat | wc -l)" -eq 3 ] || fail "--flat made: $(ls flat)"
# Without --flat the output folder gets the tree, its subfolders made as needed.
mkdir -p kept
expect_exit 0 -q -j 2 -r 16000 -o kept tree
for name in x a/x b/c/y; do
    check_output "kept/$name.wav" 16000 2 "$(expected_frames 4000 8000 16000)"
done
[ "$(find kept -type f | wc -l)" -eq 3 ] || fail "the tree kept made: $(find kept -type f)"

# A missing output folder fails each file with one line, at once.
expect_exit 1 -o no_such_folder stereo44.wav
[ "$(grep -c "stereo44.wav" stderr.txt)" -eq 1 ] || fail "missing folder: $(cat stderr.txt)"

# A file where the output folder should be: the same, with the system's reason.
expect_exit 1 -o notes.txt stereo44.wav
[ "$(grep -c "stereo44.wav" stderr.txt)" -eq 1 ] || fail "file as folder: $(cat stderr.txt)"
cmp -s notes.txt /dev/stdin <<EOF2 || fail "notes.txt was changed"
not a wave file
EOF2

# Two converters writing the same sources into one folder at the same time: each output gets
# a name of its own, none is overwritten, and every one is whole.
mkdir -p together
for name in one two three four; do cp stereo44.wav "together_$name.wav"; done
set +e
run -q -r 48000 -o together together_one.wav together_two.wav together_three.wav \
    together_four.wav >/dev/null 2>first.txt &
first=$!
run -q -r 48000 -o together together_one.wav together_two.wav together_three.wav \
    together_four.wav >/dev/null 2>second.txt
second_code=$?
wait "$first"
first_code=$?
set -e
[ "$first_code" -eq 0 ] && [ "$second_code" -eq 0 ] ||
    fail "two converters at once: exit $first_code and $second_code: $(cat first.txt second.txt)"
[ "$(ls together | wc -l)" -eq 8 ] || fail "two converters at once made: $(ls together)"
for name in one two three four; do
    for file in "together/together_$name.wav" "together/together_$name(1).wav"; do
        check_output "$file" 48000 2 "$(expected_frames 11025 44100 48000)"
    done
    cmp -s "together/together_$name.wav" "together/together_$name(1).wav" ||
        fail "together_$name: the two outputs differ"
done

# Usage errors.
expect_exit 2 --frobnicate stereo44.wav
expect_exit 2 -r 999 stereo44.wav
expect_exit 2 -r 384001 stereo44.wav
expect_exit 2 -c 3 stereo44.wav
expect_exit 2 -Q best stereo44.wav
expect_exit 2 --bits 20 -Q high stereo44.wav
expect_exit 2 --bits 24 stereo44.wav
grep -q "bits 24 needs the high quality" stderr.txt || fail "--bits 24: $(cat stderr.txt)"
expect_exit 2 --phase minimum stereo44.wav
grep -q "phase minimum needs the high quality" stderr.txt || fail "--phase: $(cat stderr.txt)"
expect_exit 2 --phase=maximum -Q high stereo44.wav
expect_exit 2 --bits 32f stereo44.wav
expect_exit 2 -Q high --dither triangular stereo44.wav
expect_exit 2 --gain 61 stereo44.wav
expect_exit 2
expect_exit 0 --version
grep -q "1.0.3.0" stdout.txt || fail "--version printed $(cat stdout.txt)"
expect_exit 0 --help
grep -q "Usage" stdout.txt || fail "--help printed $(cat stdout.txt)"
# The readmes list the options exactly as --help does.
grep '^  -' stdout.txt | tr -d '\r' >options.txt
for doc in README.md dist/readme.txt dist/readme-ja.txt; do
    missing=$(grep -vxF -f "$root/$doc" options.txt || true)
    [ -z "$missing" ] || fail "$doc lacks the --help lines: $missing"
done

# The window program's stored settings fill in what the command line leaves out, within the
# command line's ranges; the command line never rewrites the file.
mkdir -p settings/stored
cd settings
printf '<?xml version="1.0" ?>\r\n<config><output_path>stored</output_path>\r\n<frequency>16000</frequency>\r\n<channels>1</channels>\r\n</config>\r\n' >ratemill.ini
cp ratemill.ini ratemill.ini.before
expect_exit 0 --settings
grep -q "ratemill.ini (read)" stdout.txt || fail "--settings: $(cat stdout.txt)"
grep -q "16000 Hz" stdout.txt || fail "--settings frequency: $(cat stdout.txt)"
grep -q "Quality: *standard" stdout.txt || fail "--settings quality: $(cat stdout.txt)"
grep -q "user's settings: .*ratemill.ini (not there)" stdout.txt ||
    fail "--settings user folder: $(cat stdout.txt)"
expect_exit 0 -q ../stereo44.wav
check_output stored/stereo44.wav 16000 1 "$(expected_frames 11025 44100 16000)"
[ ! -s stderr.txt ] || fail "-q printed $(cat stderr.txt)"
expect_exit 0 -q -c 2 -o . ../stereo44.wav
check_output stereo44.wav 16000 2 "$(expected_frames 11025 44100 16000)"
# An empty -o puts the output beside its source (the one just made) whatever folder is stored.
expect_exit 0 -q --output= stereo44.wav
check_output "stereo44(1).wav" 16000 1 \
    "$(expected_frames "$(expected_frames 11025 44100 16000)" 16000 16000)"
# Unless -q, standard error names the file whose values are used, and only those values.
expect_exit 0 -c 2 ../stereo44.wav
grep -q "using settings from .*settings.ratemill.ini (output folder stored, 16000 Hz)" \
    stderr.txt || fail "settings line: $(cat stderr.txt)"
expect_exit 0 -r 8000 -c 1 -o stored ../stereo44.wav
if grep -q "using settings" stderr.txt; then fail "settings line with -r, -c, -o: $(cat stderr.txt)"; fi
printf '<?xml version="1.0" ?>\r\n<config><frequency>500</frequency><channels>7</channels></config>\r\n' >ratemill.ini
cp ratemill.ini ratemill.ini.before
expect_exit 0 --settings
grep -q "500 Hz stored, out of range: 44100 Hz is used" stdout.txt || fail "range: $(cat stdout.txt)"
expect_exit 0 -q -o stored ../mono8k_8bit.wav
check_output stored/mono8k_8bit.wav 44100 2 "$(expected_frames 4000 8000 44100)"
cmp -s ratemill.ini ratemill.ini.before || fail "the settings file was rewritten"
# A stored high quality and minimum phase are used and named, and let --bits 24 through.
printf '<?xml version="1.0" ?>\r\n<config><channels>1</channels><quality>1</quality><phase>1</phase></config>\r\n' >ratemill.ini
expect_exit 0 --settings
grep -q "Quality: *high" stdout.txt || fail "--settings quality: $(cat stdout.txt)"
grep -q "Phase: *minimum" stdout.txt || fail "--settings phase: $(cat stdout.txt)"
mkdir -p high
expect_exit 0 --bits 24 -r 8000 -o high ../stereo44.wav
grep -q "using settings from .*settings.ratemill.ini (1 channel, high quality, minimum phase)" \
    stderr.txt || fail "settings line: $(cat stderr.txt)"
check_output high/stereo44.wav 8000 1 2000 24
# A stored float format and dither are used with the stored high quality, and named.
printf '<?xml version="1.0" ?>\r\n<config><quality>1</quality><sample_format>2</sample_format><dither>1</dither></config>\r\n' >ratemill.ini
expect_exit 0 --settings
grep -q "Sample format: *32-bit float" stdout.txt && grep -q "Dither: *none" stdout.txt ||
    fail "--settings format: $(cat stdout.txt)"
expect_exit 0 -r 8000 -c 1 -o high ../stereo44.wav
grep -q "(high quality, 32-bit float, dither none)" stderr.txt || fail "settings line: $(cat stderr.txt)"
check_output "high/stereo44(1).wav" 8000 1 2000 32f
# A file that says it is in Shift-JIS is read as such (by the statically linked Linux program
# too, whose converter is loaded at run time).
printf '<?xml version="1.0" encoding="Shift_JIS" ?>\r\n<config><output_path>\217\157\227\315</output_path></config>\r\n' >ratemill.ini
mkdir -p 出力
expect_exit 0 -q ../stereo44.wav
check_output 出力/stereo44.wav 44100 2 "$(expected_frames 11025 44100 44100)"
# Redirected output is UTF-8 natively; on Windows it is in the active code page, which need
# not hold these characters.
if [ -z "$emulator" ]; then
    expect_exit 0 --settings
    grep -q "Output folder: .*出力" stdout.txt || fail "Shift-JIS settings: $(cat stdout.txt)"
fi
# A file here that cannot be replaced (every temporary name beside it taken, which stops root
# too) is where the window program cannot save: its saves go to the user's folder, and that copy
# is read in its place from then on (Wine keeps that folder in its prefix).
if [ -z "$emulator" ]; then
    mkdir -p "$XDG_CONFIG_HOME"
    saved=$XDG_CONFIG_HOME/ratemill
else
    saved=${WINEPREFIX:-${RATEMILL_BUILD_DIR:-.}/wineprefix}/drive_c/users/$(id -un)/AppData/Roaming/Ratemill
fi
if [ -e "$saved" ] || [ ! -d "$(dirname "$saved")" ]; then
    echo "note: $saved is there already, or its folder is not: a saved copy is not checked"
else
    trap 'rm -rf "$work" "$saved"' EXIT
    mkdir "$saved"
    printf '<?xml version="1.0" ?>\r\n<config><frequency>8000</frequency></config>\r\n' \
        >"$saved/ratemill.ini"
    printf '<?xml version="1.0" ?>\r\n<config><frequency>16000</frequency></config>\r\n' \
        >ratemill.ini
    for n in '' $(seq 1 99); do : >"ratemill.ini.tmp$n"; done
    expect_exit 0 --settings
    grep -q "ratemill.ini (read; the file in the working folder cannot be replaced, so the saved copy in the user's folder is used)" \
        stdout.txt || fail "--settings, file passed over: $(cat stdout.txt)"
    grep -q "working folder: .*ratemill.ini (found, cannot be replaced: the temporary names beside it, .tmp to .tmp99, are all taken)" \
        stdout.txt || fail "--settings, working folder: $(cat stdout.txt)"
    mkdir -p replaced
    expect_exit 0 -c 1 -o replaced ../stereo44.wav
    check_output replaced/stereo44.wav 8000 1 "$(expected_frames 11025 44100 8000)"
    grep -qi "using settings from .*ratemill.ratemill.ini (8000 Hz)" stderr.txt ||
        fail "settings line, file passed over: $(cat stderr.txt)"
    # Without the saved copy the file here is read, and --settings says where saves go.
    rm -r "$saved"
    expect_exit 0 --settings
    grep -q "ratemill.ini (read; it cannot be replaced, so the window program saves to the user's folder" \
        stdout.txt || fail "--settings, no saved copy: $(cat stdout.txt)"
    grep -q "Frequency: *16000 Hz" stdout.txt || fail "--settings, no saved copy: $(cat stdout.txt)"
    rm ratemill.ini.tmp*
    trap 'rm -rf "$work"' EXIT
fi
cd ..

# Without a file in the working folder or beside the program, the one in the user's settings
# folder is read (natively: Wine keeps its own APPDATA).
if [ -z "$emulator" ]; then
    mkdir -p "$XDG_CONFIG_HOME/ratemill" user
    printf '<?xml version="1.0" ?>\r\n<config><frequency>8000</frequency></config>\r\n' \
        >"$XDG_CONFIG_HOME/ratemill/ratemill.ini"
    cd user
    expect_exit 0 -o . ../stereo44.wav
    check_output stereo44.wav 8000 2 "$(expected_frames 11025 44100 8000)"
    grep -q "using settings from $XDG_CONFIG_HOME/ratemill/ratemill.ini (8000 Hz, 2 channels)" \
        stderr.txt || fail "user settings line: $(cat stderr.txt)"
    cd ..
    rm "$XDG_CONFIG_HOME/ratemill/ratemill.ini"
fi

# Ctrl-C, SIGHUP (a closed terminal) and SIGTERM (kill, timeout) stop after the current chunk
# and keep a valid, shorter file whose header counts its frames, in 16 and 24 bits; each has
# its exit status and a line that says how far the file got. A standard output that nobody
# reads any more (SIGPIPE) stops the batch the same way. Native only: Wine does not turn a
# signal into a console event.
if [ -z "$emulator" ]; then
    sox -n -r 8000 -c 1 -b 16 long.wav synth 600 sine 440
    mkdir -p stopped
    for signal in INT HUP; do
        rm -f stopped/long.partial.wav
        "$cli" -r 96000 -c 2 -o stopped long.wav >/dev/null 2>stderr.txt &
        pid=$!
        # Signalled once the output has grown past a megabyte, well before its end (230 MB).
        for _ in $(seq 1 2000); do
            [ -f stopped/long.partial.wav ] && [ "$(wc -c <stopped/long.partial.wav)" -gt 1000000 ] && break
            sleep 0.01
        done
        kill -"$signal" "$pid"
        set +e
        wait "$pid"
        code=$?
        set -e
        want=$([ "$signal" = INT ] && echo 130 || echo 129)
        [ "$code" -eq "$want" ] || fail "SIG$signal: exit code $code, expected $want"
        frames=$(soxi -s stopped/long.partial.wav)
        [ "$frames" -gt 0 ] && [ "$frames" -lt 57600000 ] || fail "SIG$signal: $frames frames"
        check_output stopped/long.partial.wav 96000 2 "$frames"
        line="ratemill-cli: long.wav: stopped at [0-9]:[0-9][0-9] of 10:00; stopped/long.partial.wav"
        grep -q "^$line holds the part converted so far\$" stderr.txt ||
            fail "SIG$signal: $(cat stderr.txt)"
    done
    # Hours of silence in a sparse file (its data size "to the end"): far from converted when
    # timeout sends SIGTERM, to the program and then to its process group: one request.
    sox -n -r 48000 -c 1 -b 16 sparse.wav synth 0.01 sine 440
    printf '\377\377\377\377' | dd of=sparse.wav bs=1 seek=40 conv=notrunc 2>/dev/null
    truncate -s 4000000000 sparse.wav
    set +e
    timeout --preserve-status -s TERM 1 "$cli" -Q high --bits 24 -r 8000 -c 1 -o stopped \
        sparse.wav >/dev/null 2>stderr.txt
    code=$?
    set -e
    [ "$code" -eq 143 ] || fail "SIGTERM: exit code $code, expected 143: $(cat stderr.txt)"
    frames=$(soxi -s stopped/sparse.partial.wav)
    [ "$frames" -gt 0 ] && [ "$frames" -lt 333333000 ] || fail "SIGTERM: $frames frames"
    check_output stopped/sparse.partial.wav 8000 1 "$frames" 24
    grep -q "sparse.wav: stopped at [0-9:]* of 11:34:26; stopped/sparse.partial.wav holds" stderr.txt ||
        fail "SIGTERM: $(cat stderr.txt)"
    rm sparse.wav
    # The short file's line meets a pipe that nobody reads while the long one is converted.
    sox -n -r 8000 -c 1 -b 16 medium.wav synth 120 sine 440
    rm -f stopped/long.partial.wav
    {
        code=0
        "$cli" -j 2 -r 96000 -o stopped long.wav medium.wav 2>stderr.txt || code=$?
        echo "$code" >code.txt
    } | true
    [ "$(cat code.txt)" -eq 141 ] || fail "SIGPIPE: exit code $(cat code.txt), expected 141"
    frames=$(soxi -s stopped/long.partial.wav)
    [ "$frames" -gt 0 ] && [ "$frames" -lt 57600000 ] || fail "SIGPIPE: $frames frames"
    check_output stopped/long.partial.wav 96000 2 "$frames"
    check_output stopped/medium.wav 96000 2 "$(expected_frames 960000 8000 96000)"
fi

# Killed (kill -9) half-way through a batch, the same command again finishes it: the output
# that was complete is skipped, the partial one (a valid WAV file that SoX reads) is converted
# again, and the outputs are those of a run that was never killed, with no journal left.
if [ -z "$emulator" ]; then
    mkdir -p resume plain
    sox -n -r 8000 -c 1 -b 16 first.wav synth 2 sine 300
    sox -n -r 8000 -c 1 -b 16 second.wav synth 300 sine 440
    "$cli" -q -r 48000 -c 1 -o plain first.wav second.wav
    "$cli" -q -j 1 -r 48000 -c 1 -o resume first.wav second.wav &
    pid=$!
    for _ in $(seq 1 2000); do
        [ -f resume/second.partial.wav ] &&
            [ "$(wc -c <resume/second.partial.wav)" -gt 4000000 ] && break
        sleep 0.01
    done
    kill -9 "$pid"
    wait "$pid" || true
    frames=$(soxi -s resume/second.partial.wav)
    [ "$frames" -gt 500000 ] && [ "$frames" -lt 14400000 ] || fail "kill -9: $frames frames read"
    [ "$(ls -A resume | grep -c '^\.ratemill-batch-')" -eq 1 ] || fail "kill -9: $(ls -A resume)"
    expect_exit 0 -r 48000 -c 1 -o resume first.wav second.wav
    grep -q "first.wav: skipped, resume/first.wav is already converted" stderr.txt &&
        grep -q "^second.wav -> resume/second.wav\$" stdout.txt ||
        fail "resumed: $(cat stdout.txt stderr.txt)"
    [ "$(ls -A resume | tr '\n' ' ')" = "first.wav second.wav " ] || fail "resumed: $(ls -A resume)"
    for name in first.wav second.wav; do
        cmp -s "resume/$name" "plain/$name" || fail "resumed: $name differs"
    done
fi

# A name in /dev is not read, even when it stands for a regular file, and nothing is made in
# /dev (native: the Windows program has no such folder).
if [ -z "$emulator" ]; then
    expect_exit 1 /dev/stdin <stereo44.wav
    grep -q "^ratemill-cli: /dev/stdin: not read: .*standard input cannot be read this way" \
        stderr.txt || fail "/dev/stdin: $(cat stderr.txt)"
    [ -z "$(ls /dev | grep '^stdin.')" ] || fail "/dev/stdin: made $(ls /dev | grep '^stdin.')"
fi

# A FIFO is never waited on: as a source it is refused at once with one line, and as the
# settings file it is passed over for the built-in values (native: Wine makes no FIFOs).
if [ -z "$emulator" ]; then
    mkdir -p fifo/settings
    mkfifo fifo.wav fifo/settings/ratemill.ini
    set +e
    timeout 60 "$cli" -q -o fifo fifo.wav stereo44.wav >/dev/null 2>stderr.txt
    code=$?
    (cd fifo/settings && timeout 60 "$cli" -q -o . ../../stereo44.wav) >/dev/null 2>>stderr.txt
    settings_code=$?
    set -e
    [ "$code" -eq 1 ] && [ "$settings_code" -eq 0 ] ||
        fail "FIFO: exit $code and $settings_code, expected 1 and 0: $(cat stderr.txt)"
    [ "$(grep -c "fifo.wav.*not a regular file" stderr.txt)" -eq 1 ] ||
        fail "FIFO source: $(cat stderr.txt)"
    check_output fifo/stereo44.wav 44100 2 "$(expected_frames 11025 44100 44100)"
    check_output fifo/settings/stereo44.wav 44100 2 "$(expected_frames 11025 44100 44100)"
fi

# A full disk (here a file-size limit, with its signal ignored) ends that output at its last
# whole frame with a valid header, under the name that says it is partial; the file counts as
# failed and the next one is converted.
if [ -z "$emulator" ]; then
    sox -n -r 44100 -c 2 -b 16 big.wav synth 5 sine 440
    mkdir -p full
    set +e
    # 200 blocks: 100 KB or 200 KB, depending on the shell's block size; either way the first
    # output (882 KB) does not fit and the second (8 KB) does.
    (trap '' XFSZ; ulimit -f 200; exec "$cli" -q -r 44100 -o full big.wav stereo44.wav) \
        >/dev/null 2>stderr.txt
    code=$?
    set -e
    [ "$code" -eq 1 ] || fail "full disk: exit $code, expected 1"
    [ "$(grep -c "big.wav" stderr.txt)" -eq 1 ] || fail "full disk: $(cat stderr.txt)"
    frames=$(soxi -s full/big.partial.wav)
    [ "$frames" -gt 0 ] && [ "$frames" -lt 220500 ] || fail "full disk: $frames frames kept"
    check_output full/big.partial.wav 44100 2 "$frames"
    check_output full/stereo44.wav 44100 2 "$(expected_frames 11025 44100 44100)"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all command-line checks passed"
