#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (configured with --disable-gil) and the
# test tools for it, or restores both from the cache, then prints the
# interpreter's path on stdout (everything else goes to stderr).
#
#   tools/free_threaded_python.sh            # build or restore, print the path
#   PYTHONPATH=$(tools/free_threaded_python.sh --tools) ...   # the tools folder
#
# The source is Debian trixie's python3.13 source package, fetched with a
# private apt configuration: the machine's own sources and lists are never
# touched. Its archive address is read from the machine's apt sources.
#
# Cache: $VELMORASORT_PYTHONS (default ~/.cache/velmorasort-pythons)/3.13t,
# with the test tools in 3.13t-tools and the source tarball in sources
# (tools/cross_compile.sh reads its headers too). A finished build leaves a
# stamp file; a missing stamp means the next run builds again. About five
# minutes on two cores.
set -euo pipefail

cache_root=${VELMORASORT_PYTHONS:-$HOME/.cache/velmorasort-pythons}
prefix="$cache_root/3.13t"
tools="$cache_root/3.13t-tools"
sources="$cache_root/sources"
python="$prefix/bin/python3.13t"
stamp="$prefix/.velmorasort-built"
tools_stamp="$tools/.velmorasort-installed"
# What the suite needs on that interpreter: its packaging and typing tests
# too (pip installs into the venvs they make, whose interpreter has none).
test_tools=(pytest hypothesis setuptools wheel pip build mypy)
jobs=${VELMORASORT_BUILD_JOBS:-2}

log() { echo "free-threaded python: $*" >&2; }
# shellcheck source=tools/debian_source.sh
. "$(dirname "$0")/debian_source.sh"

build_python() {
    local work src orig
    work=$(mktemp -d "${TMPDIR:-/tmp}/free-threaded-python.XXXXXX")
    # shellcheck disable=SC2064
    trap "rm -rf '$work'" EXIT
    orig=$(debian_source_tarball python3.13 trixie "$sources") || exit 1
    tar -xf "$orig" -C "$work"
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'Python-3.13*' | head -n 1)
    log "building $(basename "$src") with --disable-gil into $prefix (make -j$jobs)"
    rm -rf "$prefix"
    (cd "$src" &&
        ./configure --disable-gil --without-ensurepip --prefix="$prefix" >"$work/configure.log" 2>&1 &&
        make -j"$jobs" >"$work/make.log" 2>&1 &&
        make install >"$work/install.log" 2>&1) || {
        log "build failed; the end of its logs:"
        tail -n 30 "$work"/*.log >&2
        exit 1
    }
    "$python" -c 'import sys; assert not sys._is_gil_enabled()' || {
        log "the built interpreter has the GIL on"
        exit 1
    }
    date -u +%FT%TZ >"$stamp"
    rm -rf "$work"
    trap - EXIT
}

# The free-threaded interpreter has no pip of its own; a pip of the machine
# fetches pure-Python wheels for it. Only those: pip takes abi3 wheels as
# fitting cp313t, but 3.13's free-threaded build cannot load them (the newest
# hypothesis ships its core as one), so --platform any picks the newest
# release of each tool that is pure Python.
install_tools() {
    local pip_python
    pip_python=$(command -v python3 || command -v python)
    log "installing ${test_tools[*]} into $tools"
    # Beside the old folder first: a run that uses it meanwhile keeps it.
    rm -rf "$tools.new"
    "$pip_python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --target "$tools.new" \
        --python-version 3.13 --abi cp313t --implementation cp --platform any \
        --only-binary=:all: "${test_tools[@]}" >&2
    echo "${test_tools[*]}" >"$tools.new/$(basename "$tools_stamp")"
    rm -rf "$tools.old"
    [ ! -d "$tools" ] || mv "$tools" "$tools.old"
    mv "$tools.new" "$tools"
    rm -rf "$tools.old"
}

[ -f "$stamp" ] && [ -x "$python" ] || build_python
# The stamp names the tools installed: a changed list installs them again.
[ -f "$tools_stamp" ] && [ "$(cat "$tools_stamp")" = "${test_tools[*]}" ] || install_tools
# The interpreter finds the tools by itself, as do the virtual environments
# the packaging tests make from it (their commands run without PYTHONPATH).
echo "$tools" >"$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/velmorasort-test-tools.pth"

if [ "${1:-}" = "--tools" ]; then
    echo "$tools"
else
    echo "$python"
fi
