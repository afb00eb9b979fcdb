#!/usr/bin/env bash
# Reference and memory-block leak check of every public path, on Debian's
# debug interpreter.
#
# Usage (from anywhere):  bash tools/refleaks.sh [--rounds R] [--calls N]
#
# Installs python3.11-dbg (apt, as root) when it is missing, builds the
# extension for it twice in a temporary copy of the working tree, plain and
# with the fault-injection hooks, and runs tools/refleak_driver.py against
# each, then tools/refleak_startup.py (failing imports) against the plain one.
# PYTHON_DBG selects another debug interpreter. Exits 1 on a leak.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${PYTHON_DBG:-python3.11-dbg}
if ! command -v "$PY" >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.11-dbg libpython3.11-dbg python3.11-dev \
        python3-setuptools >/dev/null
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/velmorasort-refleaks.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/src"
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$WORK/src")

status=0
for variant in plain faulty; do
    target="$WORK/$variant"
    flag=$([ $variant = faulty ] && echo 1 || echo 0)
    (cd "$WORK/src" && VELMORASORT_FAULT_INJECTION=$flag "$PY" setup.py -q build_ext \
        --build-lib "$target" --build-temp "$target-tmp" >/dev/null 2>&1)
    cp "$WORK/src/velmorasort/"*.py "$target/velmorasort/"
    echo "== $variant build"
    (cd "$target" && PYTHONPATH="$target" "$PY" "$ROOT/tools/refleak_driver.py" "$@") || status=1
done
echo "== failing start-up"
(cd "$WORK/plain" && PYTHONPATH="$WORK/plain" "$PY" "$ROOT/tools/refleak_startup.py") || status=1
exit $status
