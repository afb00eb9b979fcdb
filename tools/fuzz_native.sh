#!/usr/bin/env bash
# Coverage-guided differential fuzzing of the native engine, without Python:
# libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer.
#
# Usage (from anywhere):  bash tools/fuzz_native.sh SECONDS [libFuzzer options]
#
# Installs clang 14, libFuzzer and libomp from the Debian archive when missing
# (as root), builds build/fuzz_native/fuzzer and runs it for SECONDS in one
# process on the seed corpus (tests/fuzz_native_corpus, read only) and the
# working corpus build/fuzz_native/corpus. A failing input is written to
# build/fuzz_native/crash-*; minimize it (-minimize_crash=1), then add it to
# the seed corpus, which tests/test_fuzz_native.py replays.
set -euo pipefail
source "$(dirname "$0")/fuzz_native/common.sh"

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "usage: bash tools/fuzz_native.sh SECONDS [libFuzzer options]" >&2
    exit 2
fi
seconds=$1; shift
mkdir -p "$BUILD/corpus"
ensure_toolchain

echo "== building $BUILD/fuzzer (kernel: ${HWY_COMPILE:+vqsort and }radix)"
build_fuzzer "$BUILD/fuzzer"

echo "== fuzzing for $seconds s"
cd "$BUILD"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
exec ./fuzzer -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=4096 -timeout=60 \
    -print_final_stats=1 -artifact_prefix="$BUILD/" "$@" "$BUILD/corpus" "$CORPUS"
