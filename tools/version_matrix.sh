#!/usr/bin/env bash
# Builds, installs and tests velmorasort on every CPython 3.7..3.15, each in
# its own virtual environment made from a temporary copy of the tree: pyenv's
# newest patch release of a minor version where pyenv holds one, else Debian
# unstable's binary build fetched by tools/debian_python.sh (3.14, 3.15).
#
#   tools/version_matrix.sh             # 3.7 .. 3.15
#   tools/version_matrix.sh 3.7 3.15    # just these
#
# The module is compiled with -Werror here (users' builds keep warnings as
# warnings). A build that fails on warnings alone is rebuilt without -Werror
# so that its tests still run, and the version is marked failed with its
# warnings listed.
#
# Prints one line per version, "3.7.16: 123 passed, 0 failed" (", N skipped"
# when any were, then the seconds its install and tests took), followed by the
# reasons for skips, the compiler warnings of that version's build
# and, on failure, the end of its log. Full logs stay in the folder named at
# the end. Exits 1 if any version failed to install, warned or had failing
# tests, or if a version named on the command line could not be found.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
versions_dir="${PYENV_ROOT:-$HOME/.pyenv}/versions"
explicit=$#
if [ $# -eq 0 ]; then
    set -- 3.7 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/version-matrix.XXXXXX")
logs="$work/logs"
mkdir -p "$logs"
trap 'rm -rf "$work"/tree-* "$work"/venv-*' EXIT
# shellcheck source=tools/interpreters.sh
. "$root/tools/interpreters.sh"

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

# Makes the venv and installs the module, then its test dependencies.
# Compiler flags apply to the module only: a dependency built from source on
# a new interpreter must not fail on its own warnings.
install_version() {
    local kind=$1 python=$2 minor=$3 venv=$4 tree=$5 flags=$6
    rm -rf "$venv"
    new_venv "$kind" "$python" "$minor" "$venv" || return
    "$venv/bin/python" -m pip install -q --upgrade pip &&
    CFLAGS="$flags" CXXFLAGS="$flags" "$venv/bin/python" -m pip install -v "$tree" &&
    "$venv/bin/python" -m pip install -q "velmorasort[test]"
}

status=0
for minor in "$@"; do
    kind= python=
    read -r kind python < <(find_python "$minor") || true
    if [ -z "${python:-}" ]; then
        echo "$minor: not installed under $versions_dir, and no Debian build (see $logs/debian-$minor.log)"
        [ "$explicit" -gt 0 ] && status=1
        continue
    fi
    version=$("$python" -c 'import platform; print(platform.python_version())')
    tree="$work/tree-$version"
    venv="$work/venv-$version"
    install_log="$logs/$version-install.log"
    test_log="$logs/$version-test.log"
    # Debian keeps pyconfig.h under a multiarch folder the compiler must be told of.
    include=
    [ "$kind" = debian ] && include="-I$(bash "$root/tools/debian_python.sh" --include "$minor")"
    echo "[$version] installing ($kind)..." >&2
    started=$SECONDS
    copy_tree "$tree"
    strict=1
    if ! install_version "$kind" "$python" "$minor" "$venv" "$tree" "-Werror $include" >"$install_log" 2>&1; then
        if grep -q '\[-Werror' "$install_log"; then
            strict=0
            echo "[$version] warnings under -Werror; rebuilding without it..." >&2
            mv "$install_log" "$logs/$version-install-werror.log"
            install_version "$kind" "$python" "$minor" "$venv" "$tree" "$include" >"$install_log" 2>&1
        fi
    fi
    if ! (cd "$work" && "$venv/bin/python" -c 'import velmorasort.VelmoraSort') >/dev/null 2>&1; then
        echo "$version: install failed"
        grep -E 'error|Error' "$install_log" | tail -n 20 | sed 's/^/    /'
        echo "    full log: $install_log"
        status=1
        continue
    fi
    built=$SECONDS
    echo "[$version] testing..." >&2
    # The packaging test builds again; Debian's headers need the same -I.
    (cd "$tree" && CFLAGS="$include" CXXFLAGS="$include" \
        "$venv/bin/python" -m pytest -p no:cacheprovider -q -rfEs) >"$test_log" 2>&1
    rc=$?
    echo "$version: $(summarise "$test_log") (install $((built - started)) s, tests $((SECONDS - built)) s)"
    # Each warning with the translation unit it came from: the outermost file
    # of the include chain, or the one on the compile line before it.
    warnings=$(awk '
        match($0, /-c velmorasort\/[^ ]*\.cpp/) { unit = substr($0, RSTART + 3, RLENGTH - 3) }
        match($0, /from velmorasort\/[^:]*\.cpp:/) { unit = substr($0, RSTART + 5, RLENGTH - 6) }
        /: warning:/ { print $0 " [" unit "]" }' "$install_log" | sort -u)
    if [ -n "$warnings" ]; then
        status=1
        echo "    build warnings ($(echo "$warnings" | wc -l))$([ "$strict" -eq 0 ] && echo ', fatal under -Werror'):"
        echo "$warnings" | sed 's/^/      /'
        echo "    full log: $install_log"
    fi
    skips=$(grep -E '^SKIPPED' "$test_log" | sort -u)
    [ -n "$skips" ] && echo "$skips" | sed 's/^/    /'
    if [ "$rc" -ne 0 ]; then
        status=1
        echo "    pytest exit status $rc; summary:"
        sed -n '/short test summary info/,$p' "$test_log" | grep -v '^SKIPPED' | tail -n 40 | sed 's/^/      /'
        echo "    full log: $test_log"
    fi
done
echo "logs: $logs"
exit "$status"
