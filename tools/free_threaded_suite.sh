#!/usr/bin/env bash
# Runs the whole suite on a free-threaded CPython 3.13 with the GIL off:
# builds or restores the interpreter (tools/free_threaded_python.sh), builds
# the module in a temporary copy of the tree, checks that importing it keeps
# the GIL off without a warning, then runs pytest there.
#
#   tools/free_threaded_suite.sh [pytest arguments]
#
# The interpreter has no pip of its own: the module is built in place, with
# -Werror, and found through PYTHONPATH, beside the test tools (pip, build and
# mypy among them). Exits with pytest's status.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
python=$(bash "$root/tools/free_threaded_python.sh")
tools=$(bash "$root/tools/free_threaded_python.sh" --tools)

work=$(mktemp -d "${TMPDIR:-/tmp}/free-threaded-suite.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
mkdir -p "$tree"
# The files a checkout holds, nothing built.
(cd "$root" && git ls-files -z --cached --others --exclude-standard \
    | xargs -0 -I{} sh -c 'test -f "$1" && cp --parents "$1" "$2"' _ {} "$tree")

echo "[free-threaded $("$python" -c 'import platform; print(platform.python_version())')] building..." >&2
if ! (cd "$tree" && PYTHONPATH="$tools" "$python" setup.py -q build_ext --inplace) >"$work/build.log" 2>&1; then
    tail -n 30 "$work/build.log"
    exit 1
fi
# Left in the tree, build/ would import as a namespace package and pass for
# the `build` tool, which this interpreter lacks.
rm -rf "$tree/build"
grep -E 'warning:' "$work/build.log" | sed 's/^/    /' || true

# PYTHON_GIL would force the lock either way: the check and the suite run
# without it, so the GIL stays off only if the module says it may.
unset PYTHON_GIL
export PYTHONPATH="$tree:$tools"
(cd "$work" && "$python" -W error -c '
import sys
import velmorasort
assert not sys._is_gil_enabled(), "importing velmorasort turned the GIL on"
print("GIL off after the import")
')

cd "$tree"
"$python" -m pytest -p no:cacheprovider "$@"
