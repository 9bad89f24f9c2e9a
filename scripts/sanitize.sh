#!/usr/bin/env bash
# Builds the native test suite under the sanitizers and runs it:
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer (leaks included): every native test,
#         the command-line end-to-end test too, in build/asan.
#   tsan  ThreadSanitizer: the conversion job's tests (they stop batches from another thread,
#         cut sources short while they are read and convert several files at once) and the
#         command-line end-to-end test (it converts with --jobs 3), in build/tsan.
# Usage: scripts/sanitize.sh [asan|tsan|all]   (default: all)
# Environment: RATEMILL_ASAN_DIR, RATEMILL_TSAN_DIR (build folders), RATEMILL_SANITIZE_JOBS
# (parallel compile and test jobs, default 2), RATEMILL_TSAN_FILTER (the tests run under TSan).
# Exits non-zero on any build failure, failed test or sanitizer report.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stage=${1:-all}
jobs=${RATEMILL_SANITIZE_JOBS:-2}
asan_dir=${RATEMILL_ASAN_DIR:-$root/build/asan}
tsan_dir=${RATEMILL_TSAN_DIR:-$root/build/tsan}
# Every batch runs a reader and a writer thread; among these tests some stop a batch from an
# observer callback, cut a source short while it is read, or run several conversions at once.
tsan_filter=${RATEMILL_TSAN_FILTER:-ConversionJob.*}

case $stage in
    asan | tsan | all) ;;
    *)
        echo "usage: $0 [asan|tsan|all]" >&2
        exit 2
        ;;
esac

# configure DIR FLAGS: a RelWithDebInfo build with the flags on every compile and link. Tests
# are listed when ctest runs rather than after linking, so that building never runs an
# instrumented program.
configure() {
    local dir=$1 flags=$2
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DRATEMILL_BUILD_TESTS=ON -DRATEMILL_WARNINGS_AS_ERRORS=ON \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
        -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null
}

# Fails when a sanitizer left a report in the log folder (reports from programs whose exit
# status a test does not check, such as the command-line program under the end-to-end script).
check_logs() {
    local logs=$1
    if compgen -G "$logs/*" >/dev/null; then
        echo "Sanitizer reports:" >&2
        cat "$logs"/* >&2
        return 1
    fi
}

seconds() { date +%s; }

run_asan() {
    local start logs
    start=$(seconds)
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer ($asan_dir)"
    configure "$asan_dir" "-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
    ninja -C "$asan_dir" -j"$jobs"
    logs=$asan_dir/sanitizer-logs
    rm -rf "$logs"
    mkdir -p "$logs"
    # A report fails the program with a status no test expects. AddressSanitizer and leak
    # reports also go to files (undefined behaviour is reported on the standard error).
    export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$logs/asan"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87"
    export LSAN_OPTIONS="exitcode=88"
    local status=0
    (cd "$asan_dir" && ctest --output-on-failure -j"$jobs") || status=$?
    check_logs "$logs" || status=1
    unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
    echo "== ASan/UBSan stage: $(($(seconds) - start)) s"
    return "$status"
}

run_tsan() {
    local start logs tests
    start=$(seconds)
    echo "== ThreadSanitizer ($tsan_dir)"
    configure "$tsan_dir" "-fsanitize=thread -fno-omit-frame-pointer"
    ninja -C "$tsan_dir" -j"$jobs" ratemill_core_tests ratemill-cli
    tests=$tsan_dir/tests/ratemill_core_tests
    logs=$tsan_dir/sanitizer-logs
    rm -rf "$logs"
    mkdir -p "$logs"
    export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:log_path=$logs/tsan"

    # With many random bits in mmap addresses (newer kernels) TSan finds memory where it does
    # not expect it ("unexpected memory mapping") and stops at once; without address
    # randomization it runs.
    local launcher=()
    if ! "$tests" --gtest_list_tests >/dev/null 2>&1; then
        if setarch "$(uname -m)" -R "$tests" --gtest_list_tests >/dev/null 2>&1; then
            echo "ThreadSanitizer cannot start here: running without address randomization"
            launcher=(setarch "$(uname -m)" -R)
        fi
        rm -f "$logs"/*
    fi

    # A filter that matches nothing (tests renamed) would pass without testing anything.
    if ! "${launcher[@]}" "$tests" --gtest_list_tests --gtest_filter="$tsan_filter" |
        grep -q '^  '; then
        echo "No test matches $tsan_filter" >&2
        return 1
    fi

    local status=0
    "${launcher[@]}" "$tests" --gtest_filter="$tsan_filter" || status=$?
    (cd "$tsan_dir" && "${launcher[@]}" ctest --output-on-failure -R '^cli_end_to_end$') ||
        status=$?
    check_logs "$logs" || status=1
    unset TSAN_OPTIONS
    echo "== TSan stage: $(($(seconds) - start)) s"
    return "$status"
}

status=0
if [ "$stage" = asan ] || [ "$stage" = all ]; then run_asan || status=1; fi
if [ "$stage" = tsan ] || [ "$stage" = all ]; then run_tsan || status=1; fi
if [ "$status" -ne 0 ]; then
    echo "Sanitizer run FAILED" >&2
    exit 1
fi
echo "Sanitizer runs passed."
