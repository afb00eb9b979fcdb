#!/usr/bin/env bash
# Runs the test suite, and the allocation-failure sweep, against builds of the
# extension instrumented with AddressSanitizer and UndefinedBehaviorSanitizer.
#
# Usage (from anywhere):  bash tools/sanitize.sh [pytest arguments]
#
# The working tree (tracked and untracked, not ignored, files) is copied to a
# temporary folder and built there twice with g++'s sanitizers: the plain
# build, which the tests import through PYTHONPATH, and the fault-injection
# build, which tools/faults.py --quick sweeps. Nothing is written into the
# tree's own build/ folder except by the tests' `faulty` fixture (its own,
# uninstrumented, build). Any sanitizer report, from this interpreter or any
# child, fails the run.
# PYTHON selects the interpreter (default: python3); KEEP=1 keeps the folder.
# A PYTHONPATH given by the caller (test tools for an interpreter without pip,
# such as the free-threaded build's) is kept behind the sanitized build.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PYTHON=${PYTHON:-python3}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/velmorasort-sanitize.XXXXXX")
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$WORK"' EXIT

# float-cast-overflow is not part of g++'s -fsanitize=undefined.
FLAGS="-fsanitize=address,undefined -fsanitize=float-cast-overflow -fno-sanitize-recover=all"
FLAGS="$FLAGS -fno-omit-frame-pointer -g -O1"

TOOLS=${PYTHONPATH:+:$PYTHONPATH}
mkdir -p "$WORK/src" "$WORK/reports"
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$WORK/src")

build() {   # build <folder> [VAR=value ...]: one sanitized build into <folder>
    local target=$1; shift
    (cd "$WORK/src" && env "$@" VELMORASORT_EXTRA_FLAGS="$FLAGS" "$PYTHON" setup.py -q build_ext \
        --build-lib "$target" --build-temp "$target-tmp" >/dev/null)
    cp "$WORK/src/velmorasort/"*.py "$WORK/src/velmorasort/"*.pyi "$WORK/src/velmorasort/py.typed" "$target/velmorasort/"
}
echo "== building in $WORK"
build "$WORK/plain"
build "$WORK/faulty" VELMORASORT_FAULT_INJECTION=1

export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# The system allocator, so that the sanitizer sees every object; free-threaded
# builds know only their own (mimalloc), which then goes unchecked.
if [ "$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or 0)')" = 1 ]; then
    unset PYTHONMALLOC
else
    export PYTHONMALLOC=malloc
fi
# The interpreter itself leaks at exit by design: no leak checking.
export ASAN_OPTIONS="detect_leaks=0:log_path=$WORK/reports/asan:abort_on_error=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$WORK/reports/ubsan"

(cd "$WORK" && PYTHONPATH="$WORK/plain$TOOLS" "$PYTHON" -c "import sys, velmorasort.VelmoraSort as m
sys.exit(0 if m.__file__.startswith('$WORK/plain/') else 'tests would not import the sanitized build')")

# The tests' `faulty` fixture builds (uninstrumented) into the tree's build/
# folder; done here so that the build stays out of the tests' time.
(cd "$WORK" && PYTHONPATH="$WORK/plain$TOOLS:$ROOT" "$PYTHON" -c \
    "import tests.conftest as c; c.build_fault_injection_copy()")

status=0
echo "== test suite"
# From outside the tree, so that the tree's own build (perhaps another
# interpreter's) cannot shadow the sanitized one.
(cd "$WORK" && PYTHONPATH="$WORK/plain$TOOLS" "$PYTHON" -m pytest -p no:cacheprovider -q --rootdir "$ROOT" \
    "$ROOT/tests" "$@") || status=1
echo "== allocation-failure sweep"
"$PYTHON" "$ROOT/tools/faults.py" --quick --build "$WORK/faulty" || status=1

if compgen -G "$WORK/reports/*" >/dev/null; then
    echo "== sanitizer reports"
    cat "$WORK"/reports/*
    status=1
fi
echo "== sanitize: $([ $status = 0 ] && echo clean || echo FAILED)"
exit $status
