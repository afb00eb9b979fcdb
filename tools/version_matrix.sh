#!/usr/bin/env bash
# Builds, installs and tests velmorasort on every CPython 3.7..3.13 that pyenv
# holds (the newest patch release of each minor version), each in its own
# virtual environment made from a temporary copy of the tree.
#
#   tools/version_matrix.sh            # 3.7 3.8 3.9 3.10 3.11 3.12 3.13
#   tools/version_matrix.sh 3.7 3.13   # just these
#
# Prints one line per version, "3.7.16: 123 passed, 0 failed" (", N skipped"
# when any were), followed by the compiler warnings of that version's build
# and, on failure, the end of its log. Full logs stay in the folder named at
# the end. Exits 1 if any version failed to install or had failing tests, or
# if a version named on the command line is not installed.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
versions_dir="${PYENV_ROOT:-$HOME/.pyenv}/versions"
explicit=$#
if [ $# -eq 0 ]; then
    set -- 3.7 3.8 3.9 3.10 3.11 3.12 3.13
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/version-matrix.XXXXXX")
logs="$work/logs"
mkdir -p "$logs"
trap 'rm -rf "$work"/tree-* "$work"/venv-*' EXIT

# The files a checkout holds, nothing built: tracked files and untracked ones
# that git does not ignore.
copy_tree() {
    mkdir -p "$1"
    if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
        (cd "$root" && git ls-files -z --cached --others --exclude-standard \
            | xargs -0 -I{} sh -c 'test -f "$1" && cp --parents "$1" "$2"' _ {} "$1")
    else
        (cd "$root" && tar --exclude=./build --exclude=./dist --exclude='*.egg-info' \
            --exclude=__pycache__ --exclude='*.so' --exclude='*.o' --exclude=./.git -cf - .) \
            | tar -xf - -C "$1"
    fi
}

newest_patch() {
    ls "$versions_dir" 2>/dev/null | grep -E "^${1//./\\.}\.[0-9]+$" | sort -t. -k3,3n | tail -n 1
}

# "12 passed, 1 failed, 2 skipped" from pytest's closing line; errors count as failed.
summarise() {
    local line passed failed errors skipped
    line=$(grep -E '[0-9]+ (passed|failed|errors?|skipped)|no tests ran' "$1" | tail -n 1)
    count() { echo "$line" | grep -Eo "[0-9]+ $1" | grep -Eo '^[0-9]+' || echo 0; }
    passed=$(count passed); failed=$(count failed); errors=$(count 'errors?'); skipped=$(count skipped)
    printf '%d passed, %d failed' "$passed" "$((failed + errors))"
    [ "$skipped" -gt 0 ] && printf ', %d skipped' "$skipped"
    echo
}

status=0
for minor in "$@"; do
    version=$(newest_patch "$minor")
    if [ -z "$version" ]; then
        echo "$minor: not installed under $versions_dir"
        [ "$explicit" -gt 0 ] && status=1
        continue
    fi
    python="$versions_dir/$version/bin/python"
    tree="$work/tree-$version"
    venv="$work/venv-$version"
    install_log="$logs/$version-install.log"
    test_log="$logs/$version-test.log"
    echo "[$version] installing..." >&2
    copy_tree "$tree"
    if ! { "$python" -m venv "$venv" &&
           "$venv/bin/python" -m pip install -q --upgrade pip &&
           "$venv/bin/python" -m pip install -v "$tree[test]"; } >"$install_log" 2>&1; then
        echo "$version: install failed"
        grep -E 'error|Error' "$install_log" | tail -n 20 | sed 's/^/    /'
        echo "    full log: $install_log"
        status=1
        continue
    fi
    echo "[$version] testing..." >&2
    (cd "$tree" && "$venv/bin/python" -m pytest -p no:cacheprovider -q -rfE) \
        >"$test_log" 2>&1
    rc=$?
    echo "$version: $(summarise "$test_log")"
    warnings=$(grep -E ': warning:' "$install_log" | sort -u)
    if [ -n "$warnings" ]; then
        echo "    build warnings ($(echo "$warnings" | wc -l)):"
        echo "$warnings" | sed 's/^/      /'
        echo "    full log: $install_log"
    fi
    if [ "$rc" -ne 0 ]; then
        status=1
        echo "    pytest exit status $rc; summary:"
        sed -n '/short test summary info/,$p' "$test_log" | tail -n 40 | sed 's/^/      /'
        echo "    full log: $test_log"
    fi
done
echo "logs: $logs"
exit "$status"
