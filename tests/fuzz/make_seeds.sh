#!/usr/bin/env bash
# Remakes the WAV seed corpus in tests/fuzz/corpus/wav: short files made by SoX in every sample
# encoding the reader knows, and a few headers written byte by byte for the cases SoX never
# writes (odd chunks, unknown chunks, open-ended data sizes, extensible formats, refusals).
# The files are committed; run this again only to change them.
set -euo pipefail

out="${1:-$(cd "$(dirname "$0")" && pwd)/corpus/wav}"
mkdir -p "$out"
rm -f "$out"/*.wav

# A tone: sox_tone NAME RATE CHANNELS SECONDS ENCODING-OPTIONS...
sox_tone() {
    local name=$1 rate=$2 channels=$3 seconds=$4
    shift 4
    sox -V1 -n -r "$rate" -c "$channels" "$@" "$out/$name.wav" synth "$seconds" sine 300-3000 \
        vol 0.8
}

sox_tone u8-mono-8000 8000 1 0.05 -b 8 -e unsigned-integer
sox_tone u8-mono-8000-long 8000 1 0.4 -b 8 -e unsigned-integer  # more than one 2560-frame chunk
sox_tone s16-mono-11025 11025 1 0.02 -b 16 -e signed-integer
sox_tone s16-stereo-44100 44100 2 0.01 -b 16 -e signed-integer
sox_tone s16-stereo-48000 48000 2 0.01 -b 16 -e signed-integer
sox_tone s16-mono-96000 96000 1 0.01 -b 16 -e signed-integer
sox_tone s16-6ch-48000 48000 6 0.002 -b 16 -e signed-integer      # extensible, 5.1 mask
sox_tone s24-stereo-22050 22050 2 0.01 -b 24 -e signed-integer
sox_tone s24-mono-16000 16000 1 0.02 -b 24 -e signed-integer
sox_tone s32-stereo-32000 32000 2 0.005 -b 32 -e signed-integer
sox_tone f32-mono-44100 44100 1 0.01 -b 32 -e floating-point
sox_tone f32-stereo-8000 8000 2 0.02 -b 32 -e floating-point
sox_tone f64-mono-22050 22050 1 0.01 -b 64 -e floating-point
sox_tone alaw-mono-8000 8000 1 0.05 -e a-law
sox_tone alaw-stereo-8000 8000 2 0.02 -e a-law
sox_tone ulaw-mono-8000 8000 1 0.05 -e mu-law
sox_tone ulaw-stereo-16000 16000 2 0.02 -e mu-law
sox_tone s16-4ch-11025 11025 4 0.005 -b 16 -e signed-integer

# Byte-level helpers for hand-made files.
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $((($1 >> 16) & 65535)); }
# fmt_body TAG CHANNELS RATE BITS BLOCK-ALIGN
fmt_body() { le16 "$1"; le16 "$2"; le32 "$3"; le32 $(($3 * $5)); le16 "$5"; le16 "$4"; }
# samples COUNT: a ramp of 16-bit values
samples() { local i; for ((i = 0; i < $1; ++i)); do le16 $(((i * 997) & 65535)); done; }
# riff FILE: wraps the chunks read from standard input in a RIFF/WAVE header
riff() {
    local body
    body=$(mktemp)
    cat >"$body"
    { printf 'RIFF'; le32 $(($(stat -c %s "$body") + 4)); printf 'WAVE'; cat "$body"; } >"$out/$1"
    rm -f "$body"
}
# rf64 FILE: the same in the 64-bit form, whose 32-bit RIFF size is all ones
rf64() {
    local body
    body=$(mktemp)
    cat >"$body"
    { printf 'RF64'; le32 4294967295; printf 'WAVE'; cat "$body"; } >"$out/$1"
    rm -f "$body"
}

# Canonical 44-byte header, 16-bit mono.
{ printf 'fmt '; le32 16; fmt_body 1 1 8000 16 2; printf 'data'; le32 200; samples 100; } |
    riff hand-canonical.wav
# An odd-sized unknown chunk with its pad byte, a LIST chunk, then fmt and data.
{
    printf 'junk'; le32 3; printf 'abc\0'
    printf 'LIST'; le32 12; printf 'INFOISFT'; le32 0
    printf 'fmt '; le32 16; fmt_body 1 2 22050 16 4
    printf 'data'; le32 160; samples 80
} | riff hand-chunks.wav
# An odd-sized chunk whose pad byte is left out.
{
    printf 'fmt '; le32 16; fmt_body 1 1 11025 8 1
    printf 'odd '; le32 1; printf 'x'
    printf 'data'; le32 64; samples 32
} | riff hand-no-pad.wav
# Data sizes that mean "to the end of the file": 0 and 0xFFFFFFFF; and one past the end.
{ printf 'fmt '; le32 16; fmt_body 1 1 16000 16 2; printf 'data'; le32 0; samples 64; } |
    riff hand-data-size-0.wav
{ printf 'fmt '; le32 16; fmt_body 1 2 44100 16 4; printf 'data'; le32 4294967295; samples 64; } |
    riff hand-data-size-ffffffff.wav
{ printf 'fmt '; le32 16; fmt_body 1 1 48000 16 2; printf 'data'; le32 100000; samples 50; } |
    riff hand-data-too-long.wav
# An open-ended data size with no samples, whole chunks after it to the end: metadata.
{
    printf 'fmt '; le32 16; fmt_body 1 2 44100 16 4; printf 'data'; le32 0
    printf 'LIST'; le32 12; printf 'INFOISFT'; le32 0; printf 'id3 '; le32 3; printf 'ID3\0'
} | riff hand-data-size-0-list.wav
# A fmt chunk longer than 16 bytes (cbSize 0), a fact chunk, a partial last frame.
{
    printf 'fmt '; le32 18; fmt_body 3 1 8000 32 4; le16 0
    printf 'fact'; le32 4; le32 20
    printf 'data'; le32 82; samples 41
} | riff hand-float-fact-partial.wav
# Extensible: 20 valid bits in 24-bit containers, stereo mask, PCM sub-format.
{
    printf 'fmt '; le32 40; fmt_body 65534 2 32000 24 6
    le16 22; le16 20; le32 3; le16 1; le16 0
    printf '\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71'
    printf 'data'; le32 120; samples 60
} | riff hand-extensible-20bit.wav
# Eight channels with no speaker mask.
{
    printf 'fmt '; le32 40; fmt_body 65534 8 8000 16 16
    le16 22; le16 16; le32 0; le16 1; le16 0
    printf '\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71'
    printf 'data'; le32 128; samples 64
} | riff hand-8ch-no-mask.wav
# Extreme rates: 1 Hz (upsampled far) and 2^31 - 1 Hz (refused as too far above the target).
{ printf 'fmt '; le32 16; fmt_body 1 1 1 16 2; printf 'data'; le32 8; samples 4; } |
    riff hand-rate-1.wav
{ printf 'fmt '; le32 16; le16 1; le16 1; le32 2147483647; le32 4294967294; le16 2; le16 16
  printf 'data'; le32 8; samples 4; } | riff hand-rate-max.wav
# RF64: "ds64" first with the RIFF size (the file's length less 8), the data size and the
# sample count in 64 bits; the data chunk's size all ones; a LIST after the samples.
{
    printf 'ds64'; le32 28; le32 284; le32 0; le32 200; le32 0; le32 100; le32 0; le32 0
    printf 'fmt '; le32 16; fmt_body 1 1 8000 16 2
    printf 'data'; le32 4294967295; samples 100
    printf 'LIST'; le32 4; printf 'INFO'
} | rf64 hand-rf64.wav
# Metadata kept through a conversion: a broadcast chunk before the samples; after them tags,
# cue points with their labels, a sampler loop, an odd-sized iXML and a second tag list, which
# is left out.
{
    printf 'fmt '; le32 16; fmt_body 1 2 44100 16 4
    printf 'bext'; le32 346; head -c 338 /dev/zero; le32 44100; le32 1
    printf 'data'; le32 400; samples 200
    printf 'LIST'; le32 16; printf 'INFOICMT'; le32 3; printf 'hi\0\0'
    printf 'cue '; le32 52; le32 2
    le32 1; le32 10; printf 'data'; le32 0; le32 0; le32 10
    le32 2; le32 150; printf 'data'; le32 0; le32 0; le32 150
    printf 'LIST'; le32 46; printf 'adtllabl'; le32 6; le32 1; printf 'a\0'
    printf 'ltxt'; le32 20; le32 2; le32 40; printf 'rgn '; le32 0; le32 0
    printf 'smpl'; le32 60; le32 0; le32 0; le32 22676; le32 60; le32 0; le32 0; le32 0; le32 1
    le32 0; le32 0; le32 0; le32 20; le32 180; le32 0; le32 0
    printf 'iXML'; le32 5; printf '<a/>x\0'
    printf 'LIST'; le32 4; printf 'INFO'
} | riff hand-metadata.wav
# Refusals: data before fmt, no data, a short fmt chunk, an unknown encoding.
{ printf 'data'; le32 8; samples 4; printf 'fmt '; le32 16; fmt_body 1 1 8000 16 2; } |
    riff hand-data-first.wav
{ printf 'fmt '; le32 16; fmt_body 1 1 8000 16 2; printf 'LIST'; le32 4; printf 'INFO'; } |
    riff hand-no-data.wav
{ printf 'fmt '; le32 14; le16 1; le16 1; le32 8000; le32 16000; le16 2
  printf 'data'; le32 8; samples 4; } | riff hand-fmt-short.wav
{ printf 'fmt '; le32 16; fmt_body 2 1 8000 4 1; printf 'data'; le32 8; samples 4; } |
    riff hand-adpcm.wav

ls "$out" | wc -l
