#!/usr/bin/env bash
# Runs the whole suite on a clang build that uses LLVM's OpenMP runtime
# (libomp) instead of GCC's: builds the module with -Werror in a temporary copy
# of the tree, checks that the copy's module is the one imported (by child
# processes too) and that it links libomp, then runs pytest there with CC and
# CXX still naming clang (the fault-injection build and the native fuzz replay
# compile with them too).
#
#   tools/clang_suite.sh [pytest arguments]
#
# Installs clang and libomp-dev from the Debian archive when missing (as
# root); elsewhere it says what is missing and fails. Exits with pytest's
# status.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python}
export CC=clang CXX=clang++

clang_ready() {
    command -v clang++ >/dev/null &&
        printf '#include <omp.h>\nint main() { return omp_get_max_threads() < 1; }\n' |
        clang++ -fopenmp -x c++ - -o /dev/null 2>/dev/null
}

work=$(mktemp -d "${TMPDIR:-/tmp}/clang-suite.XXXXXX")
trap 'rm -rf "$work"' EXIT

if ! clang_ready; then
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        echo "clang_suite: needs clang and LLVM's OpenMP runtime (apt-get install clang libomp-dev, as root)" >&2
        exit 1
    fi
    echo "[clang] installing clang libomp-dev..." >&2
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libomp-dev; } \
        >"$work/apt.log" 2>&1; then
        tail -n 20 "$work/apt.log" >&2
        exit 1
    fi
    clang_ready || { echo "clang_suite: clang installed, but it cannot build OpenMP code" >&2; exit 1; }
fi

tree="$work/tree"
mkdir -p "$tree"
# The files a checkout holds, nothing built.
(cd "$root" && git ls-files -z --cached --others --exclude-standard \
    | xargs -0 -I{} sh -c 'test -f "$1" && cp --parents "$1" "$2"' _ {} "$tree")

echo "[clang] $(clang++ --version | head -n 1); building with -Werror..." >&2
if ! (cd "$tree" && VELMORASORT_EXTRA_FLAGS=-Werror "$python" setup.py -q build_ext --inplace) \
    >"$work/build.log" 2>&1; then
    tail -n 30 "$work/build.log"
    exit 1
fi
# Left in the tree, build/ would import as a namespace package and pass for
# the `build` tool.
rm -rf "$tree/build"

# Child processes that the tests start import the copy too, not a build that
# an editable install of the working tree points at.
export PYTHONPATH="$tree${PYTHONPATH:+:$PYTHONPATH}"
cd "$work"
"$python" - "$tree" <<'EOF'
import os, subprocess, sys
import velmorasort.VelmoraSort as m
tree = sys.argv[1]
assert m.__file__.startswith(tree + os.sep), "imported %s, not the clang build" % m.__file__
libraries = subprocess.run(["ldd", m.__file__], stdout=subprocess.PIPE, universal_newlines=True).stdout
assert "libomp" in libraries and "libgomp" not in libraries, libraries
print("[clang] %s links libomp" % os.path.basename(m.__file__), file=sys.stderr)
EOF
cd "$tree"
"$python" -m pytest -p no:cacheprovider "$@"
