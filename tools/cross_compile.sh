#!/usr/bin/env bash
# Compiles every C++ source of the package with -Werror for macOS (arm64 and
# x86-64) and Windows (x86-64, MinGW), with zig's cross tool chains from
# PyPI, which carry those systems' headers and C libraries; then links the
# modules where the tool chain allows. A POSIX-only call that compiles but has
# no symbol on the target fails the link.
#
#   tools/cross_compile.sh [TREE]      # TREE: a source tree (default: this one)
#
# Each target compiles every source without Highway, and again with its
# headers and VELMORASORT_HAVE_HWY every source that Highway changes (all of
# them once a header names it), with setup.py's flags for GCC and clang (and
# its -Xpreprocessor -fopenmp for macOS). The headers:
# - Windows: CPython 3.13's Include/ with its PC/pyconfig.h.in (as pyconfig.h),
#   from Debian's python3.13 source package (tools/debian_source.sh), once as
#   is and once with Py_GIL_DISABLED (the free-threaded build, without Highway);
# - macOS: this machine's default interpreter's headers stand in (its
#   pyconfig.h is Linux's: no macOS one can be had here);
# - omp.h: LLVM's OpenMP (libomp-dev); Highway: libhwy-dev's headers.
# Links, without Highway only (no Highway library is built for these targets):
# - macOS: a dylib with -undefined dynamic_lookup (zig's linker crashes on
#   -bundle; the interpreter loads either), libomp as a stub of the names the
#   objects need; every name left for the interpreter to supply must be one
#   of its headers' PyAPI names;
# - Windows: a .pyd against import libraries made by zig's dlltool for
#   python313.dll (python313t.dll) from the headers' PyAPI names and for LLVM's
#   libomp.dll from the OpenMP names the objects need.
# Not compiled here: MSVC's own build (with its OpenMP 2.0, vcomp) and Apple's
# clang; the sources keep to what they accept. Nothing built here runs.
#
# zig and the headers are cached under VELMORASORT_CACHE (default
# ~/.cache/velmorasort)/cross, the source tarball with the interpreters'
# (VELMORASORT_PYTHONS). libomp-dev and llvm (for llvm-nm) are installed with
# apt-get where missing, as root. Exits 1 if any compile or link failed.
set -euo pipefail
export LC_ALL=C   # one sort order for the name lists that comm compares

here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "${1:-$(dirname "$here")}" && pwd)
cache=${VELMORASORT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmorasort}/cross
sources=${VELMORASORT_PYTHONS:-$HOME/.cache/velmorasort-pythons}/sources
# A fixed release: a newer clang may bring new warnings, which -Werror turns
# into failures of their own.
zig_version=0.17.1
jobs=${VELMORASORT_BUILD_JOBS:-$(nproc)}
python=$(command -v python || command -v python3)
# shellcheck source=tools/debian_source.sh
. "$here/debian_source.sh"

log() { echo "[cross] $*" >&2; }
die() { echo "cross_compile: $*" >&2; exit 1; }

find_llvm_omp_h() { ls /usr/lib/llvm-*/lib/clang/*/include/omp.h 2>/dev/null | sort -V | tail -n 1; }
find_llvm_tool() {
    command -v "$1" || ls /usr/lib/llvm-*/bin/"$1" 2>/dev/null | sort -V | tail -n 1
}
if [ -z "$(find_llvm_omp_h)" ] || [ -z "$(find_llvm_tool llvm-nm)" ]; then
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        die "needs LLVM's omp.h and llvm-nm (apt-get install libomp-dev llvm, as root)"
    fi
    log "installing libomp-dev llvm..."
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libomp-dev llvm; } >/dev/null
fi
llvm_nm=$(find_llvm_tool llvm-nm)
llvm_readobj=$(find_llvm_tool llvm-readobj)

mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9

# zig, in a venv of its own; its cache keeps the C++ and C runtimes it builds
# for each target at the first link (minutes), so later runs link in seconds.
if [ "$(cat "$cache/zig/ready" 2>/dev/null)" != "$zig_version" ]; then
    log "installing ziglang $zig_version..."
    rm -rf "$cache/zig"
    python3 -m venv "$cache/zig"
    "$cache/zig/bin/python" -m pip install -q --disable-pip-version-check "ziglang==$zig_version" >&2
    echo "$zig_version" >"$cache/zig/ready"
fi
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache"
zig() { "$cache/zig/bin/python" -m ziglang "$@"; }

# CPython 3.13's headers for Windows, from the source tarball.
windows_headers="$cache/python3.13-windows"
orig=$(debian_source_tarball python3.13 trixie "$sources") || die "no python3.13 source package"
if [ "$(cat "$windows_headers/ready" 2>/dev/null)" != "$(basename "$orig")" ]; then
    log "unpacking the Windows headers from $(basename "$orig")..."
    rm -rf "$windows_headers"
    mkdir -p "$windows_headers/unpacked"
    tar -xf "$orig" -C "$windows_headers/unpacked" --wildcards '*/Include/*' '*/PC/pyconfig.h.in'
    for variant in default free-threaded; do
        mkdir -p "$windows_headers/$variant"
        cp -a "$windows_headers"/unpacked/*/Include/. "$windows_headers/$variant/"
        cp "$windows_headers"/unpacked/*/PC/pyconfig.h.in "$windows_headers/$variant/pyconfig.h"
    done
    sed -i 's|^/\* #define Py_GIL_DISABLED 1 \*/|#define Py_GIL_DISABLED 1|' "$windows_headers/free-threaded/pyconfig.h"
    grep -q '^#define Py_GIL_DISABLED 1' "$windows_headers/free-threaded/pyconfig.h" \
        || die "PC/pyconfig.h.in has no Py_GIL_DISABLED line to turn on"
    rm -rf "$windows_headers/unpacked"
    basename "$orig" >"$windows_headers/ready"
fi
flock -u 9

work=$(mktemp -d "${TMPDIR:-/tmp}/cross-compile.XXXXXX")
trap 'rm -rf "$work"' EXIT

# omp.h and Highway's headers in folders of their own: the folders they sit in
# hold this machine's C library and compiler headers, which must not come
# before the target's.
mkdir -p "$work/omp" "$work/hwy"
cp "$(find_llvm_omp_h)" "$work/omp/omp.h"
have_highway=0
if [ -f /usr/include/hwy/contrib/sort/vqsort.h ]; then
    ln -s /usr/include/hwy "$work/hwy/hwy"
    have_highway=1
fi

# The default interpreter's headers; Debian's pyconfig.h includes a multiarch
# twin one folder up.
host_include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
host_version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
host_includes=(-I"$host_include")
[ -d "$(dirname "$host_include")/x86_64-linux-gnu" ] && host_includes+=(-I"$(dirname "$host_include")")

# setup.py's compile flags for GCC and clang, read from it.
read -r -a base_flags < <(python3 - "$tree/setup.py" <<'EOF'
import ast, sys
for node in ast.walk(ast.parse(open(sys.argv[1]).read())):
    if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", "") == "GCC":
        compile_flags = next(k.value for k in node.value.keywords if k.arg == "compile")
        print(" ".join(ast.literal_eval(compile_flags)))
EOF
)
[ ${#base_flags[@]} -gt 0 ] || die "no GCC flags found in setup.py"

cd "$tree/velmorasort"
module_sources=(VelmoraSort.cpp boundary/*.cpp engine/*.cpp)
kernel_sources=(kernel_module.cpp measuring_sticks.cpp engine/vector_sort.cpp)
all_sources=("${module_sources[@]}" kernel_module.cpp measuring_sticks.cpp)

summary=()
status=0
note() { summary+=("$(printf '%-20s %-34s %s' "$1" "$2" "$3")"); }

# The sources that Highway changes: those that name it, or all of them once
# a header does (a header's users are not worked out here).
if grep -lE 'VELMORASORT_HAVE_HWY|<hwy/' -- */*.hpp >/dev/null 2>&1; then
    highway_sources=("${all_sources[@]}")
else
    mapfile -t highway_sources < <(grep -lE 'VELMORASORT_HAVE_HWY|<hwy/' -- "${all_sources[@]}")
fi

# Compiles sources $1 (the name of an array) into $work/$2, for target $3,
# with the flags after it, and prints the errors of those that fail.
compile_all() {
    local -n to_compile=$1
    local out="$work/$2" target=$3 source failed=0
    shift 3
    mkdir -p "$out"
    for source in "${to_compile[@]}"; do
        while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
        (zig c++ -target "$target" "$@" -I. -c "$source" -o "$out/${source//\//_}.o" \
            >"$out/${source//\//_}.log" 2>&1 || touch "$out/${source//\//_}.failed") &
    done
    wait
    for source in "${to_compile[@]}"; do
        if [ -e "$out/${source//\//_}.failed" ]; then
            failed=$((failed + 1))
            echo "  $target: $source failed:"
            grep -E 'error' "$out/${source//\//_}.log" | head -n 10 | sed 's/^/    /'
        fi
    done
    [ "$failed" -eq 0 ] && return 0
    return 1
}

objects() {  # folder, sources...
    local out=$1 source
    shift
    for source in "$@"; do echo "$out/${source//\//_}.o"; done
}

# The OpenMP runtime's names that objects $2... need, as C spells them ($1:
# the prefix that the target's object files add to a C name); fails where
# they need none.
openmp_names() {
    local prefix=$1
    shift
    "$llvm_nm" --undefined-only -j "$@" 2>/dev/null | sed "s/^$prefix//" | { grep -E '^(__kmpc_|omp_)' || true; } \
        | sort -u | grep .
}

# macOS: one dylib per module, left to find the interpreter's names at load
# time; every such name must be an API name of its headers.
link_macos() {  # set-name target module objects...
    local set=$1 target=$2 module=$3 stubs="$work/$1/stubs-$3" dynamic unknown libs=()
    shift 3
    mkdir -p "$stubs"
    if openmp_names _ "$@" >"$stubs/omp.txt"; then
        python3 "$here/link_stubs.py" tbd libomp.dylib --names "$stubs/omp.txt" >"$stubs/libomp.tbd"
        libs=(-L"$stubs" -lomp)
    fi
    if ! zig c++ -target "$target" -shared -undefined dynamic_lookup -o "$work/$set/$module.so" "$@" \
        "${libs[@]}" >"$work/$set/$module.link.log" 2>&1; then
        echo "  $target: $module does not link:"
        head -n 20 "$work/$set/$module.link.log" | sed 's/^/    /'
        return 1
    fi
    "$llvm_nm" -m "$work/$set/$module.so" >"$stubs/symbols.txt"
    # Undefined and bound to no library: looked up in the process at load.
    dynamic=$(awk '/\(undefined\)/ && !/\(from / { print $3 }' "$stubs/symbols.txt" | sed 's/^_//' | sort -u)
    unknown=$(comm -23 <(echo "$dynamic") "$work/host-python-names.txt")
    if [ -n "$unknown" ]; then
        echo "  $target: $module needs names that neither the interpreter nor a system library has:"
        echo "$unknown" | sed 's/^/    /'
        return 1
    fi
    grep "external _PyInit_$module\$" "$stubs/symbols.txt" >/dev/null || {
        echo "  $target: $module.so exports no PyInit_$module"
        return 1
    }
}

# Windows: a .pyd per module against the interpreter's and libomp's import
# libraries; an unresolved name fails the link.
link_windows() {  # set-name target python-dll module objects...
    local set=$1 target=$2 dll=$3 module=$4 stubs="$work/$1/stubs-$4" libs=()
    shift 4
    mkdir -p "$stubs"
    if openmp_names "" "$@" >"$stubs/omp.txt"; then
        python3 "$here/link_stubs.py" def libomp.dll --names "$stubs/omp.txt" >"$stubs/omp.def" &&
            zig dlltool -m i386:x86-64 -d "$stubs/omp.def" -l "$stubs/libomp.a" || return 1
        libs=(-lomp)
    fi
    if ! zig c++ -target "$target" -shared -o "$work/$set/$module.pyd" "$@" -L"$work/$set" -l"${dll%.dll}" \
        -L"$stubs" "${libs[@]}" >"$work/$set/$module.link.log" 2>&1; then
        echo "  $target: $module does not link:"
        head -n 20 "$work/$set/$module.link.log" | sed 's/^/    /'
        return 1
    fi
    if [ -n "$llvm_readobj" ]; then
        "$llvm_readobj" --coff-exports "$work/$set/$module.pyd" >"$stubs/exports.txt"
        grep "Name: PyInit_$module\$" "$stubs/exports.txt" >/dev/null || {
            echo "  $target: $module.pyd exports no PyInit_$module"
            return 1
        }
    fi
}

python3 "$here/link_stubs.py" list - --headers "$host_include" >"$work/host-python-names.txt"

started=$SECONDS
for target in aarch64-macos x86_64-macos x86_64-windows-gnu; do
    case "$target" in
        *-macos)
            headers=("${host_includes[@]}")
            header_name="CPython $host_version headers (this machine's)"
            omp_flags=(-Xpreprocessor -fopenmp)
            header_sets=(default)
            ;;
        *-windows-gnu)
            headers=(-I"$windows_headers/default")
            header_name="CPython 3.13 headers, PC/pyconfig.h"
            omp_flags=(-fopenmp)
            header_sets=(default free-threaded)
            ;;
    esac
    flags=()
    for flag in "${base_flags[@]}"; do
        [ "$flag" = -fopenmp ] || flags+=("$flag")
    done
    flags+=("${omp_flags[@]}" -Werror -I"$work/omp")
    for header_set in "${header_sets[@]}"; do
        if [ "$header_set" = free-threaded ]; then
            headers=(-I"$windows_headers/free-threaded")
            header_name="CPython 3.13t headers (Py_GIL_DISABLED)"
        fi
        variants=(without)
        [ "$have_highway" = 1 ] && [ "$header_set" = default ] && variants+=(with)
        for highway in "${variants[@]}"; do
            set_name="$target-$header_set-$highway"
            highway_flags=() sources_name=all_sources
            if [ "$highway" = with ]; then
                highway_flags=(-I"$work/hwy" -DVELMORASORT_HAVE_HWY=1) sources_name=highway_sources
            fi
            declare -n compiled=$sources_name
            log "$target, $header_name, $highway Highway: compiling ${#compiled[@]} sources..."
            if ! compile_all "$sources_name" "$set_name" "$target" "${flags[@]}" "${headers[@]}" "${highway_flags[@]}"; then
                note "$target" "$header_set, $highway Highway" "FAILED to compile (above)"
                status=1
                continue
            fi
            if [ "$highway" = with ]; then
                note "$target" "$header_set, $highway Highway" "${#compiled[@]} compiled; not linked (no Highway library for it)"
                continue
            fi
            log "$target, $header_name: linking..."
            linked=ok
            for module in VelmoraSort _kernel; do
                if [ "$module" = VelmoraSort ]; then mod_sources=("${module_sources[@]}"); else mod_sources=("${kernel_sources[@]}"); fi
                mapfile -t objs < <(objects "$work/$set_name" "${mod_sources[@]}")
                case "$target" in
                    *-macos) link_macos "$set_name" "$target" "$module" "${objs[@]}" || linked=failed ;;
                    *)
                        dll=python313.dll
                        [ "$header_set" = free-threaded ] && dll=python313t.dll
                        if [ ! -e "$work/$set_name/lib${dll%.dll}.a" ]; then
                            python3 "$here/link_stubs.py" def "$dll" --headers "${headers[0]#-I}" \
                                >"$work/$set_name/python.def"
                            zig dlltool -m i386:x86-64 -d "$work/$set_name/python.def" \
                                -l "$work/$set_name/lib${dll%.dll}.a"
                        fi
                        link_windows "$set_name" "$target" "$dll" "$module" "${objs[@]}" || linked=failed
                        ;;
                esac
            done
            if [ "$linked" = ok ]; then
                case "$target" in
                    *-macos) note "$target" "$header_set, $highway Highway" "${#compiled[@]} compiled, linked (dylibs)" ;;
                    *) note "$target" "$header_set, $highway Highway" "${#compiled[@]} compiled, linked (.pyd)" ;;
                esac
            else
                note "$target" "$header_set, $highway Highway" "compiled; FAILED to link (above)"
                status=1
            fi
        done
    done
done

echo "cross-compile with zig $zig_version, -Werror ($((SECONDS - started)) s):"
printf '  %s\n' "${summary[@]}"
[ "$have_highway" = 1 ] || echo "  with Highway: not compiled (libhwy-dev's headers are missing)"
echo "  not compiled here: MSVC (its OpenMP 2.0) and Apple's clang; macOS took this machine's pyconfig.h"
exit "$status"
