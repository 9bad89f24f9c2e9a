#!/usr/bin/env bash
# Checks that a change leaves every output as it was: builds ratemill-cli from a commit (default
# HEAD) and from the working tree, both optimised, converts the benchmark's sources with each in
# the standard quality and in the high quality at 16 and at 24 bits, and compares the outputs
# byte for byte.
#   bench/same_outputs.sh [REV]
# Exit status 0 when every output is identical. Works in build/same-outputs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rev=${1:-HEAD}
work="$root/build/same-outputs"

"$root/scripts/install-deps.sh" test
rm -rf "$work/before-src"
mkdir -p "$work/before-src"
git -C "$root" archive "$rev" | tar -x -C "$work/before-src"
for side in before after; do
    source_dir="$root"
    if [ "$side" = before ]; then source_dir="$work/before-src"; fi
    cmake -S "$source_dir" -B "$work/$side" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    ninja -C "$work/$side" ratemill-cli >/dev/null
done
echo "before: $(git -C "$root" rev-parse --short "$rev"); after: the working tree"
python3 "$root/bench/same_outputs.py" "$work"
