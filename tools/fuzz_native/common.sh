# Shared by tools/fuzz_native.sh and tools/fuzz_native_coverage.sh (sourced):
# the clang 14 tool chain, installed from the Debian archive when missing, and
# the one compile line of the fuzz target.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD="$ROOT/build/fuzz_native"
CORPUS="$ROOT/tests/fuzz_native_corpus"
CLANG=clang++-14
# The engine's own arithmetic rules: every interpolation estimate must be the
# exact sequence of double operations.
FLOAT_FLAGS="-std=c++17 -ffp-contract=off -fno-fast-math -fopenmp"
# Every OpenMP thread sleeps as soon as it waits: the fuzzer shares the
# machine, and spinning team threads would keep the other cores busy.
export OMP_WAIT_POLICY=passive KMP_BLOCKTIME=0

fuzz_sources() {
    local f
    for f in "$ROOT"/velmorasort/engine/*.cpp "$ROOT"/tools/fuzz_native/*.cpp; do
        [ "$(basename "$f")" = replay_main.cpp ] || echo "$f"
    done
}

# True when clang, libFuzzer, the OpenMP runtime and the coverage tools exist.
toolchain_ready() {
    command -v "$CLANG" >/dev/null && command -v llvm-profdata-14 >/dev/null &&
        command -v llvm-cov-14 >/dev/null &&
        [ -f "$("$CLANG" -print-file-name=libclang_rt.fuzzer-x86_64.a)" ] &&
        echo 'int main(){}' | "$CLANG" -x c++ -fopenmp -o /dev/null - 2>/dev/null
}

ensure_toolchain() {
    toolchain_ready && return 0
    local packages="clang-14 libclang-rt-14-dev libomp-14-dev llvm-14"
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        echo "fuzz_native: needs $packages; install them (as root, with apt-get) and run again" >&2
        return 1
    fi
    echo "== installing $packages"
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages; } >"$BUILD/apt.log" 2>&1; then
        echo "fuzz_native: apt-get could not install $packages (is the archive reachable?):" >&2
        tail -n 20 "$BUILD/apt.log" >&2
        return 1
    fi
    toolchain_ready || { echo "fuzz_native: $packages installed, but the tool chain still fails" >&2; return 1; }
}

# build_target <output> <flags...>: the fuzz target with the engine.
build_target() {
    local output=$1; shift
    # shellcheck disable=SC2046
    "$CLANG" $FLOAT_FLAGS -g "$@" -I"$ROOT/velmorasort" -I"$ROOT/tools/fuzz_native" \
        $(fuzz_sources) -o "$output"
}
