#!/usr/bin/env bash
# Kills a batch at random moments and runs it again: for each of TRIALS trials (default 20) a
# fresh output folder, which already holds files of other programs (one named like an output,
# one like a partial output), gets the batch started with ratemill-cli, killed with kill -9 at a
# random moment within an uninterrupted run's duration (another moment when the run was over
# by then), and then the same command run again to its end. Each trial must end with exactly the outputs of an uninterrupted run, byte for byte
# and name for name, the other files untouched, and nothing partial and no journal left.
#   bench/kill_resume.sh [CLI] [TRIALS]
# CLI defaults to build/bench/cli/ratemill-cli (built when missing). Exit status 0 when every
# trial passed. Works in build/kill-resume.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-}
trials=${2:-20}
work="$root/build/kill-resume"
if [ -z "$cli" ]; then
    cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    ninja -C "$root/build/bench" ratemill-cli >/dev/null
    cli="$root/build/bench/cli/ratemill-cli"
fi
rm -rf "$work"
mkdir -p "$work/src/x" "$work/src/y"
cd "$work"
export XDG_CONFIG_HOME="$work/config"

# Ten sources of 5 to 50 seconds, two of one name in different folders (numbered outputs).
for i in $(seq 1 10); do
    folder=src/x
    [ $((i % 2)) -eq 0 ] && folder=src/y
    name=take$i
    [ "$i" -eq 9 ] && name=take1
    sox -n -r 44100 -c 2 -b 16 "$folder/$name.wav" synth $((5 * i)) sine $((100 * i)) gain -6
done
mapfile -t sources < <(find src -name '*.wav' | sort)
options=(-q -j 2 -Q high --bits 24 -r 48000 -c 2)

plant() {
    mkdir -p "$1"
    printf 'not an output\n' >"$1/take3.wav"
    printf 'not a partial output either\n' >"$1/take5.partial.wav"
}

plant ref
start=$(date +%s.%N)
"$cli" "${options[@]}" -o ref "${sources[@]}"
end=$(date +%s.%N)
duration=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
echo "uninterrupted run: ${duration}s, $(find ref -type f | wc -l) files"

RANDOM=2026  # the same moments on every run of the benchmark
passed=0
midfile=0
for trial in $(seq 1 "$trials"); do
    out=out$trial
    plant "$out"
    # A run that ends before its kill is no trial of a kill: the same folder, cleared, gets
    # another moment.
    while :; do
        delay=$(awk -v d="$duration" -v r="$RANDOM" 'BEGIN { printf "%.3f", r / 32767 * d }')
        "$cli" "${options[@]}" -o "$out" "${sources[@]}" &
        pid=$!
        sleep "$delay"
        kill -9 "$pid" 2>/dev/null || true
        code=0
        wait "$pid" 2>/dev/null || code=$?
        [ "$code" -eq 137 ] && break
        echo "trial $trial: the run ended before the kill after ${delay}s; another moment"
        rm -rf "$out"
        plant "$out"
    done
    partials=$(find "$out" -name '*.partial.wav' ! -name take5.partial.wav | wc -l)
    [ "$partials" -gt 0 ] && midfile=$((midfile + 1))
    "$cli" "${options[@]}" -o "$out" "${sources[@]}"
    ok=yes
    if [ "$(cd ref && find . -type f | sort)" != "$(cd "$out" && find . -type f | sort)" ]; then
        ok=no
        echo "trial $trial: other files than an uninterrupted run's: $(ls -A "$out")"
    fi
    for file in $(cd ref && find . -type f); do
        cmp -s "ref/$file" "$out/$file" || { ok=no; echo "trial $trial: $file differs"; }
    done
    [ "$ok" = yes ] && passed=$((passed + 1))
    echo "trial $trial: killed after ${delay}s, $partials partial output(s) left by the kill: $ok"
    rm -rf "$out"
done
echo "$passed of $trials trials ended with the uninterrupted run's files ($midfile killed while" \
    "an output was partial)"
[ "$passed" -eq "$trials" ]
