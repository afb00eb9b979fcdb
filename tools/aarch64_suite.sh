#!/usr/bin/env bash
# Runs the whole suite on aarch64 under user-mode emulation: Debian 12's arm64
# CPython 3.11 runs under qemu-aarch64-static, and Debian's cross compiler
# builds the module for it with -Werror, by the README's test command in a
# fresh copy of the tree.
#
#   tools/aarch64_suite.sh [pytest arguments]
#   tools/aarch64_suite.sh --python     # only make the root; print its python
#
# The root is the arm64 packages of the interpreter, its headers, the OpenMP
# and C++ runtimes and Highway, fetched through a private apt view (nothing on
# the system changes) and unpacked with dpkg -x into a cache folder that later
# runs reuse: VELMORASORT_CACHE, else ~/.cache/velmorasort. The archive is the
# one the machine's apt sources name (tools/debian_archive.sh). The emulator
# and the cross compiler are installed with apt-get when missing, which needs
# root. Exits with pytest's status.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/interpreters.sh
. "$here/interpreters.sh"
repo=$(dirname "$here")
cache=${VELMORASORT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmorasort}/arm64-bookworm
root="$cache/root"
python="$root/usr/bin/python3.11"
triplet=aarch64-linux-gnu
# The interpreter and its headers, the runtimes the module links, and Highway
# (its vqsort kernel, found through pkg-config like on any machine).
packages="python3.11 libpython3.11-dev libgomp1 libstdc++6 libhwy-dev"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

only_python=0
if [ "${1:-}" = --python ]; then only_python=1; shift; fi

log() { echo "[aarch64] $*" >&2; }

# The emulator and the cross compiler.
if ! command -v qemu-aarch64-static >/dev/null || ! command -v "$triplet-g++" >/dev/null; then
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        echo "needs qemu-user-static and g++-$triplet (apt-get install, as root)" >&2
        exit 1
    fi
    log "installing qemu-user-static and g++-$triplet..."
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static "g++-$triplet" >&2
fi

# One root build at a time: a second caller waits, then finds it ready.
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
if [ "$(cat "$cache/ready" 2>/dev/null)" != "$packages" ]; then
    mirror=$(bash "$here/debian_archive.sh")
    apt_dir="$cache/apt"
    rm -rf "$apt_dir" "$root"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/dpkg" "$root"
    # An empty status file: apt resolves every dependency as if on a bare machine.
    : >"$apt_dir/dpkg/status"
    echo "deb [arch=arm64 signed-by=$keyring] $mirror bookworm main" >"$apt_dir/sources.list"
    apt_get() {
        apt-get -q -o APT::Architecture=arm64 -o APT::Architectures::=arm64 \
            -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
            -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null \
            -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
            -o Dir::State::Status="$apt_dir/dpkg/status" -o APT::Sandbox::User=root "$@"
    }
    log "fetching the arm64 packages..."
    apt_get update >&2
    # shellcheck disable=SC2086
    apt_get install -y --download-only --no-install-recommends $packages >&2
    for deb in "$apt_dir"/cache/archives/*.deb; do
        dpkg -x "$deb" "$root"
    done
    log "$(ls "$apt_dir"/cache/archives/*.deb | wc -l) packages unpacked"
    rm -rf "$apt_dir/cache/archives"

    # No binfmt_misc here: the interpreter's name runs the real binary under
    # the emulator. -0 keeps the name it was called by as argv[0], so
    # sys.executable, venvs and subprocesses all come back through this file.
    mv "$python" "$python.aarch64"
    cat >"$python" <<WRAPPER
#!/bin/sh
# Every process started through this file runs emulated; tests that cannot
# hold there read this variable.
export VELMORASORT_EMULATOR=qemu-aarch64-static
exec qemu-aarch64-static -L "$root" -0 "\$0" "$python.aarch64" "\$@"
WRAPPER
    chmod +x "$python"

    # The headers' pyconfig.h includes its multiarch twin by a path relative to
    # the include folder; a folder of its own holds just that, so the root's
    # other headers never shadow the cross compiler's.
    mkdir -p "$cache/multiarch/$triplet"
    ln -sfn "$root/usr/include/$triplet/python3.11" "$cache/multiarch/$triplet/python3.11"

    "$python" -c 'import platform, ssl, sqlite3, zlib, venv; assert platform.machine() == "aarch64"' >&2
    echo "$packages" >"$cache/ready"
fi
flock -u 9
if [ "$only_python" = 1 ]; then
    echo "$python"
    exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/aarch64-suite.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree="$work/tree" venv="$work/venv"
mkdir -p "$tree"
# The files a checkout holds, nothing built.
(cd "$repo" && git ls-files -z --cached --others --exclude-standard \
    | xargs -0 -I{} sh -c 'test -f "$1" && cp --parents "$1" "$2"' _ {} "$tree")

# Debian's interpreter ships ensurepip apart (see interpreters.sh).
venv_with_cached_pip "$python" "$venv" "$cache/wheels"

# The root's headers come first: the interpreter's own configuration names
# /usr/include, which setuptools would otherwise take from the host.
export CC="$triplet-gcc" CXX="$triplet-g++"
export CPPFLAGS="-I$root/usr/include/python3.11 -I$cache/multiarch ${CPPFLAGS:-}"
# Highway through pkg-config files of its own: Debian's name /usr, and the
# root's /usr/include or its library folder on the command line would put its
# C library before the cross compiler's.
highway="$cache/highway"
rm -rf "$highway"
mkdir -p "$highway/include" "$highway/lib" "$highway/pkgconfig"
ln -s "$root/usr/include/hwy" "$highway/include/hwy"
for name in hwy hwy_contrib; do
    ln -s "$(readlink -f "$root/usr/lib/$triplet/lib$name.so")" "$highway/lib/lib$name.so"
    printf 'Name: lib%s\nDescription: Highway, arm64\nVersion: %s\nCflags: -I%s\nLibs: -L%s -l%s\n' \
        "${name/_/-}" "$(sed -n 's/^Version: //p' "$root/usr/lib/$triplet/pkgconfig/libhwy.pc")" \
        "$highway/include" "$highway/lib" "$name" >"$highway/pkgconfig/lib${name/_/-}.pc"
done
export PKG_CONFIG_LIBDIR="$highway/pkgconfig"
export PIP_CACHE_DIR="$cache/pip"
log "building (CPython $("$python" -c 'import platform; print(platform.python_version())'), $CXX)..."
started=$SECONDS
# -Werror for the module only, not for a test dependency built from source.
(cd "$tree" && CFLAGS="-Werror" "$venv/bin/python" -m pip install -q -e . &&
    "$venv/bin/python" -m pip install -q "velmorasort[test]") >&2
log "built and installed in $((SECONDS - started)) s; testing..."
cd "$tree"
"$venv/bin/python" -m pytest -p no:cacheprovider "$@"
