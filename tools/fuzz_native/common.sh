# Shared by tools/fuzz_native.sh and tools/fuzz_native_coverage.sh (sourced):
# the clang 14 tool chain, installed from the Debian archive when missing, and
# the one compile line of the fuzz target.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# The folder holding engine/ and boundary/: the working tree's, or another
# (a snapshot of a commit, a deliberately broken copy) given in ENGINE_TREE.
TREE=${ENGINE_TREE:-$ROOT/velmorasort}
BUILD=${FUZZ_BUILD:-$ROOT/build/fuzz_native}
CORPUS="$ROOT/tests/fuzz_native_corpus"
CLANG=clang++-14
# The engine's own arithmetic rules: every interpolation estimate must be the
# exact sequence of double operations.
FLOAT_FLAGS="-std=c++17 -ffp-contract=off -fno-fast-math -fopenmp"
# Every OpenMP thread sleeps as soon as it waits: the fuzzer shares the
# machine, and spinning team threads would keep the other cores busy.
export OMP_WAIT_POLICY=passive KMP_BLOCKTIME=0
# Highway's vqsort kernel joins the engine where its development files are
# installed, as in the module's build; FUZZ_HIGHWAY=0 fuzzes the portable
# kernel alone.
HWY_COMPILE="" HWY_LINK=""
if [ "${FUZZ_HIGHWAY:-1}" != 0 ] && pkg-config --exists libhwy-contrib libhwy 2>/dev/null; then
    HWY_COMPILE="-DVELMORASORT_HAVE_HWY $(pkg-config --cflags libhwy-contrib libhwy)"
    HWY_LINK=$(pkg-config --libs libhwy-contrib libhwy)
fi

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

# compile <object folder> <source> <flags...>: one object, rebuilt unless
# the source, the flags and every header of the engine and the harness are
# those it was built from (contents, not times: a snapshot's files are old).
# Prints the object's path.
compile() {
    local folder=$1 source=$2; shift 2
    local object="$folder/$(basename "$source" .cpp).o"
    local stamp
    stamp="$* $(cat "$source" "$TREE"/*/*.hpp "$ROOT"/tools/fuzz_native/*.hpp | sha256sum)"
    if [ -f "$object" ] && [ "$(cat "$object.stamp" 2>/dev/null)" = "$stamp" ]; then
        echo "$object"
        return
    fi
    "$CLANG" $FLOAT_FLAGS -g "$@" -I"$TREE" -I"$ROOT/tools/fuzz_native" -c "$source" -o "$object" >&2
    echo "$stamp" >"$object.stamp"
    echo "$object"
}

# add_object <compile arguments>: compiles into the caller's `objects`; a
# failed compile ends the script (set -e sees a failed plain assignment).
add_object() {
    local object
    object=$(compile "$@")
    objects+=("$object")
}

# build_fuzzer <output>: the libFuzzer target, the engine and the decoder
# under ASan and UBSan. Only they carry the fuzzer's coverage; the engine's
# without comparison tracing, which doubles the time of its counting loops
# and finds nothing the decoder's would not (its values are hashed and
# scaled). The model and the checks, which only read what they are given,
# run uninstrumented: they cost more than the engine otherwise.
build_fuzzer() {
    local output=$1 folder="$BUILD/obj-fuzzer" f objects=()
    local sanitize="-O2 -fsanitize=address,undefined -fsanitize=float-cast-overflow -fno-sanitize-recover=all"
    sanitize="$sanitize -fno-omit-frame-pointer"
    mkdir -p "$folder"
    for f in "$TREE"/engine/*.cpp; do
        add_object "$folder" "$f" $sanitize -fsanitize=fuzzer-no-link -fno-sanitize-coverage=trace-cmp $HWY_COMPILE
    done
    add_object "$folder" "$ROOT/tools/fuzz_native/value_decoder.cpp" $sanitize -fsanitize=fuzzer-no-link
    for f in engine_plans fuzz_target; do
        add_object "$folder" "$ROOT/tools/fuzz_native/$f.cpp" $sanitize
    done
    for f in differential_checks result_model; do
        add_object "$folder" "$ROOT/tools/fuzz_native/$f.cpp" -O2
    done
    "$CLANG" $FLOAT_FLAGS $sanitize -fsanitize=fuzzer "${objects[@]}" $HWY_LINK -o "$output"
}

# build_coverage_replay <output>: the target with a plain main, the engine
# instrumented for source-based coverage.
build_coverage_replay() {
    local output=$1 folder="$BUILD/obj-coverage" f objects=()
    mkdir -p "$folder"
    for f in "$TREE"/engine/*.cpp; do
        add_object "$folder" "$f" -O1 -fprofile-instr-generate -fcoverage-mapping $HWY_COMPILE
    done
    for f in "$ROOT"/tools/fuzz_native/*.cpp; do add_object "$folder" "$f" -O1; done
    "$CLANG" $FLOAT_FLAGS -fprofile-instr-generate "${objects[@]}" $HWY_LINK -o "$output"
}
