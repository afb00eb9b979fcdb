#!/usr/bin/env bash
# Which lines of the engine the native fuzzer's corpus reaches: the fuzz
# target built with clang's source-based coverage and a plain main, run once
# over every input, then reported for velmorasort/engine/ alone.
#
# Usage (from anywhere):  bash tools/fuzz_native_coverage.sh [CORPUS_FOLDER ...]
#
# Without folders it runs the seed corpus (tests/fuzz_native_corpus). Prints
# the per-file line coverage and every engine line that no input reached;
# the annotated sources go to build/fuzz_native/coverage/.
set -euo pipefail
source "$(dirname "$0")/fuzz_native/common.sh"
mkdir -p "$BUILD/coverage"
ensure_toolchain
[ $# -gt 0 ] || set -- "$CORPUS"

echo "== building $BUILD/coverage/replay"
build_coverage_replay "$BUILD/coverage/replay"

rm -f "$BUILD"/coverage/*.profraw
LLVM_PROFILE_FILE="$BUILD/coverage/run-%p.profraw" "$BUILD/coverage/replay" "$@" 2>/dev/null
llvm-profdata-14 merge -sparse "$BUILD"/coverage/*.profraw -o "$BUILD/coverage/merged.profdata"

engine_files=("$TREE"/engine/*.cpp "$TREE"/engine/*.hpp)
cov=(-instr-profile="$BUILD/coverage/merged.profdata" "$BUILD/coverage/replay")
echo "== line coverage of velmorasort/engine/"
llvm-cov-14 report "${cov[@]}" "${engine_files[@]}" | sed "s|$TREE/||"
llvm-cov-14 show "${cov[@]}" -format=html -output-dir="$BUILD/coverage/html" "${engine_files[@]}"
echo "== engine lines no input reached"
llvm-cov-14 show "${cov[@]}" -show-line-counts "${engine_files[@]}" | awk -v root="$TREE/" '
    /^\/.*:$/ { file = substr($0, 1, length($0) - 1); sub(root, "", file); next }
    $2 == "0|" { line = $0; sub(/^[^|]*\|[^|]*\|/, "", line); printf "%s:%s:%s\n", file, $1 + 0, line }'
