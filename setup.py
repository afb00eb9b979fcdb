"""Builds the extension modules: velmorasort.VelmoraSort, the sorting module,
and velmorasort._kernel, which tells which kernel the build carries."""
import glob
import os
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup

SOURCES = (
    ["velmorasort/VelmoraSort.cpp"]
    + sorted(glob.glob("velmorasort/boundary/*.cpp"))
    + sorted(glob.glob("velmorasort/engine/*.cpp"))
)

# Strict IEEE arithmetic: every interpolation estimate must be the exact
# sequence of double operations, never fused or reordered.
COMPILE_ARGS = ["-std=c++17", "-O3", "-fopenmp", "-ffp-contract=off",
                "-fno-fast-math", "-Wall", "-Wextra"]
LINK_ARGS = ["-fopenmp"]
MACROS = []

# Test builds only: the fault-injection hook and extra checks. The shipped
# build never defines this.
if os.environ.get("VELMORASORT_FAULT_INJECTION") == "1":
    MACROS.append(("VELMORASORT_FAULT_INJECTION", "1"))

# Sanitizer builds (tools/sanitize.sh) pass their flags through this variable.
EXTRA = os.environ.get("VELMORASORT_EXTRA_FLAGS", "").split()

HIGHWAY_HEADER = os.path.join("hwy", "contrib", "sort", "vqsort.h")
HIGHWAY_MISSING = ("velmorasort: Highway not found (Debian/Ubuntu: libhwy-dev, Homebrew: highway, "
                   "conda-forge: libhwy, vcpkg: highway); building the portable radix kernel")


def pkg_config_highway():
    """Highway's include and library flags from pkg-config, or None."""
    if shutil.which("pkg-config") is None:
        return None
    try:
        out = subprocess.run(["pkg-config", "--cflags", "--libs", "libhwy-contrib", "libhwy"],
                             check=True, capture_output=True, text=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return None
    return {"include_dirs": [f[2:] for f in out if f.startswith("-I")],
            "library_dirs": [f[2:] for f in out if f.startswith("-L")],
            "libraries": [f[2:] for f in out if f.startswith("-l")]}


def header_search_highway():
    """Highway found by its header in the usual places, or None."""
    prefixes = [os.environ.get("CONDA_PREFIX"), os.environ.get("HOMEBREW_PREFIX"), sys.prefix,
                "/usr/local", "/opt/homebrew", "/usr"]
    include_dirs = [p for p in os.environ.get("CPATH", "").split(os.pathsep) if p]
    include_dirs += [os.path.join(p, "include") for p in prefixes if p]
    include_dirs.append(sysconfig.get_paths()["include"])
    for include in include_dirs:
        if os.path.isfile(os.path.join(include, HIGHWAY_HEADER)):
            lib = os.path.join(os.path.dirname(include), "lib")
            return {"include_dirs": [include], "library_dirs": [lib] if os.path.isdir(lib) else [],
                    "libraries": ["hwy_contrib", "hwy"]}
    return None


def highway():
    """Build settings for Highway's vqsort kernel, or None for the portable one.
    VELMORASORT_HIGHWAY=0 leaves it out, =1 makes its absence an error."""
    wanted = os.environ.get("VELMORASORT_HIGHWAY", "auto")
    if wanted == "0":
        print("velmorasort: VELMORASORT_HIGHWAY=0: building the portable radix kernel")
        return None
    found = pkg_config_highway() or header_search_highway()
    if found is None:
        if wanted == "1":
            sys.exit(HIGHWAY_MISSING.replace("; building the portable radix kernel",
                                             ", and VELMORASORT_HIGHWAY=1 requires it"))
        print(HIGHWAY_MISSING)
        return None
    found["define_macros"] = [("VELMORASORT_HAVE_HWY", "1")]
    return found


def extension(name, sources, kernel):
    settings = {"include_dirs": ["velmorasort"], "library_dirs": [], "libraries": [],
                "define_macros": list(MACROS)}
    for key, values in (kernel or {}).items():
        settings[key] = settings[key] + values
    return Extension(name, sources=sources, language="c++",
                     extra_compile_args=COMPILE_ARGS + EXTRA, extra_link_args=LINK_ARGS + EXTRA,
                     depends=sorted(glob.glob("velmorasort/*/*.hpp")), **settings)


KERNEL = highway()
setup(
    ext_modules=[
        extension("velmorasort.VelmoraSort", SOURCES, KERNEL),
        extension("velmorasort._kernel",
                  ["velmorasort/kernel_module.cpp", "velmorasort/engine/vector_sort.cpp"], KERNEL),
    ]
)
