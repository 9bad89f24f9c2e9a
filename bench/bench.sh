#!/usr/bin/env bash
# The benchmark: builds ratemill-cli, the transcription (ratemill-cli-reference) and the kernel
# benchmark in an optimised build, makes its inputs with SoX and prints the comparison table.
#   bench/bench.sh [--runs N] [--reference-runs N] [--kernels]
# --kernels also runs the Google Benchmark of the kernels alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"

"$root/scripts/install-deps.sh" test
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
for package in python3 time libbenchmark-dev; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        { $sudo apt-get install -y -qq --no-install-recommends "$package" >/dev/null; }
done

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
