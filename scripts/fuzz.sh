#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz (clang, AddressSanitizer and UndefinedBehavior-
# Sanitizer) and runs each for a fixed time over its committed corpus:
#   fuzz.sh [SECONDS] [HARNESS...]     SECONDS per harness (default 20); harnesses: wav xml
#                                      filename (default all three, one after the other)
#   fuzz.sh 3600 wav                   a long run of one harness by hand
# Inputs found to add coverage go to a scratch corpus (not the committed one), which later runs
# go on from; crashes, leaks and undefined behaviour are saved as artifacts there and make the
# script exit non-zero. The inputs in tests/fuzz/regressions/HARNESS are run first.
# Environment: RATEMILL_FUZZ_BUILD (build folder, default build/fuzz), RATEMILL_FUZZ_WORK
# (scratch folder, default <build>/work), RATEMILL_FUZZ_JOBS (build jobs, default 2).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${RATEMILL_FUZZ_BUILD:-$root/build/fuzz}
work=${RATEMILL_FUZZ_WORK:-$build/work}
seconds=${1:-20}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && harnesses=(wav xml filename)

case "$seconds" in
    '' | *[!0-9]*) echo "usage: $0 [SECONDS] [wav|xml|filename ...]" >&2; exit 2 ;;
esac

bash "$root/scripts/install-deps.sh" fuzz
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DRATEMILL_FUZZ=ON \
    -DRATEMILL_BUILD_TESTS=OFF -DRATEMILL_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >/dev/null
cmake --build "$build" --parallel "${RATEMILL_FUZZ_JOBS:-2}"

# Longest input per harness: WAV files of a few thousand frames, settings files, paths.
max_len() {
    case "$1" in
        wav) echo 8192 ;;
        xml) echo 16384 ;;
        filename) echo 1024 ;;
    esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

failed=0
summary=()
for name in "${harnesses[@]}"; do
    binary="$build/tests/fuzz/${name}_fuzzer"
    if [ ! -x "$binary" ]; then
        echo "unknown harness: $name" >&2
        exit 2
    fi
    corpus="$work/corpus/$name"
    artifacts="$work/artifacts/$name"
    log="$work/$name.log"
    mkdir -p "$corpus" "$artifacts"
    options=(-max_len="$(max_len "$name")" -timeout=10 -rss_limit_mb=2048
             -artifact_prefix="$artifacts/" -print_final_stats=1)
    dict="$root/tests/fuzz/$name.dict"
    [ -f "$dict" ] && options+=(-dict="$dict")

    # Inputs that once failed must pass before anything new is tried.
    regressions="$root/tests/fuzz/regressions/$name"
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
        if ! (cd "$work" && "$binary" "${options[@]}" "$regressions"/* >"$work/$name-regressions.log" 2>&1); then
            echo "$name: a regression input fails; see $work/$name-regressions.log" >&2
            failed=1
            summary+=("$name: regression inputs FAILED")
            continue
        fi
    fi

    echo "== $name: ${seconds} s"
    # Run in the scratch folder: the settings harness must find no ratemill.ini where it runs.
    status=0
    (cd "$work" && "$binary" "${options[@]}" -max_total_time="$seconds" "$corpus" \
        "$root/tests/fuzz/corpus/$name") >"$log" 2>&1 || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    entries=$(find "$corpus" -type f | wc -l)
    if [ "$status" -ne 0 ]; then
        failed=1
        grep -E 'ERROR|SUMMARY|invariant violated|runtime error' "$log" | head -5 >&2 || true
        summary+=("$name: FAILED (exit $status) after ${executions:-?} executions; log $log, artifacts in $artifacts")
    else
        summary+=("$name: ${executions:-?} executions, ${rate:-?} exec/s, $entries scratch corpus entries")
    fi
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
