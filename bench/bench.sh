#!/usr/bin/env bash
# The benchmark: builds ratemill-cli, the same command line over the literal resampler
# (ratemill-cli-reference) and the kernel benchmark in an optimised build (build/bench), makes
# its inputs with SoX and prints the comparison tables against SoX and FFmpeg (Debian's
# packages, installed when missing).
#   bench/bench.sh [--runs N] [--high-only] [--kernels]
# --runs: timed runs of each program per job (default 5), the median is shown. --high-only
# prints only the table of the high quality against SoX. --kernels also runs the Google
# Benchmark of the kernels alone (with libsoxr's at the high quality's figures). The times mean
# something on an otherwise idle machine only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"

"$root/scripts/install-deps.sh" test
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
missing=()
for package in python3 time libbenchmark-dev libsoxr-dev ffmpeg; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    $sudo apt-get update -qq >/dev/null
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRATEMILL_BUILD_TESTS=ON \
    -DRATEMILL_WARNINGS_AS_ERRORS=ON >/dev/null
ninja -C "$build" ratemill-cli ratemill-cli-reference ratemill_kernel_bench >/dev/null

kernels=0
args=()
for arg in "$@"; do
    if [ "$arg" = --kernels ]; then kernels=1; else args+=("$arg"); fi
done
python3 "$root/bench/bench.py" "$build" "${args[@]}"
if [ "$kernels" = 1 ]; then
    echo
    "$build/bench/ratemill_kernel_bench" --benchmark_counters_tabular=true
fi
