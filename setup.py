"""Builds the extension modules, velmorasort.VelmoraSort (the sorting) and
velmorasort._kernel (which kernel the build carries), with the flags the
compiler in use needs: GCC or clang, Apple's clang, or MSVC; and with
Highway's vqsort where the build finds it."""
import glob
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from dataclasses import dataclass, field
from typing import List, Tuple

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
try:
    from setuptools.errors import CompileError, LinkError
except ImportError:   # setuptools before 59 (what an old interpreter may hold)
    from distutils.errors import CompileError, LinkError

SOURCES = (
    ["velmorasort/VelmoraSort.cpp"]
    + sorted(glob.glob("velmorasort/boundary/*.cpp"))
    + sorted(glob.glob("velmorasort/engine/*.cpp"))
)


@dataclass
class Flags:
    """What one part of the build adds to the extension; parts add up."""
    compile: List[str] = field(default_factory=list)
    link: List[str] = field(default_factory=list)
    macros: List[Tuple[str, str]] = field(default_factory=list)
    include_dirs: List[str] = field(default_factory=list)
    library_dirs: List[str] = field(default_factory=list)
    libraries: List[str] = field(default_factory=list)

    def __add__(self, other):
        return Flags(*(getattr(self, f) + getattr(other, f) for f in self.__dataclass_fields__))


# Strict IEEE arithmetic: every interpolation estimate must be the exact
# sequence of double operations, never fused or reordered. Release builds
# carry no debug information: -g0 cancels the -g that the interpreter's own
# CFLAGS usually hold (with it the module is 1.1 MB instead of 0.12 MB); a
# build that wants it passes -g in VELMORASORT_EXTRA_FLAGS, which comes later
# and wins.
GCC = Flags(compile=["-std=c++17", "-O3", "-fopenmp", "-ffp-contract=off", "-fno-fast-math", "-Wall", "-Wextra",
                     "-g0"],
            link=["-fopenmp"])

# /fp:precise fuses no multiply-add from Visual Studio 2022 on. /openmp is
# OpenMP 2.0, whose runtime (vcomp140.dll) may be shipped inside a wheel; the
# sources keep to what it accepts.
MSVC = Flags(compile=["/std:c++17", "/O2", "/openmp", "/fp:precise", "/W3"])

# What to install where the compiler cannot build OpenMP code, per compiler.
WHAT_TO_INSTALL = {
    "gcc": "g++ with its OpenMP runtime (libgomp; Debian: apt install g++, Fedora: dnf install gcc-c++)",
    "clang": "LLVM's OpenMP runtime (Debian: apt install libomp-dev), or build with g++",
    "apple-clang": "LLVM's OpenMP runtime from Homebrew: brew install libomp",
    "msvc": "Visual Studio 2022's C++ build tools (they bring OpenMP)",
}


def version_text(command):
    try:
        return subprocess.run(command + ["--version"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        return ""


def compiler_kind(compiler):
    """"msvc", "apple-clang" (any clang on macOS: it needs libomp from
    Homebrew), "clang" or "gcc"; clang elsewhere takes GCC's flags."""
    if compiler.compiler_type == "msvc":
        return "msvc"
    command = getattr(compiler, "compiler_cxx", None) or compiler.compiler_so
    is_clang = "clang" in version_text(list(command))
    if sys.platform == "darwin" and is_clang:
        return "apple-clang"
    return "clang" if is_clang else "gcc"


def homebrew_libomp():
    """libomp's installation folder, or None."""
    prefixes = []
    if shutil.which("brew"):
        prefixes.append(subprocess.run(["brew", "--prefix", "libomp"], stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, universal_newlines=True).stdout.strip())
    prefixes += ["/opt/homebrew/opt/libomp", "/usr/local/opt/libomp"]
    return next((p for p in prefixes if p and os.path.isfile(os.path.join(p, "include", "omp.h"))), None)


def compiler_flags(kind):
    if kind == "msvc":
        return MSVC
    if kind == "apple-clang":
        prefix = homebrew_libomp()
        if prefix is None:
            fail_without_openmp(kind)
        # Apple's clang knows -fopenmp only as a preprocessor flag.
        compile_flags = [f for f in GCC.compile if f != "-fopenmp"]
        return Flags(compile=compile_flags + ["-Xpreprocessor", "-fopenmp"],
                     include_dirs=[os.path.join(prefix, "include")],
                     library_dirs=[os.path.join(prefix, "lib")], libraries=["omp"])
    return GCC


def test_build_flags():
    # Test builds only: the fault-injection hook and extra checks. The shipped
    # build never defines this.
    if os.environ.get("VELMORASORT_FAULT_INJECTION") == "1":
        return Flags(macros=[("VELMORASORT_FAULT_INJECTION", "1")])
    return Flags()


def environment_flags():
    # Sanitizer and -Werror builds (tools/sanitize.sh, CI) pass their flags
    # through this variable.
    extra = os.environ.get("VELMORASORT_EXTRA_FLAGS", "").split()
    return Flags(compile=extra, link=extra)


HIGHWAY_HEADER = os.path.join("hwy", "contrib", "sort", "vqsort.h")
HIGHWAY_MISSING = ("velmorasort: Highway not found (Debian/Ubuntu: libhwy-dev, Homebrew: highway, "
                   "conda-forge: libhwy, vcpkg: highway)")


def pkg_config_highway():
    """Highway's include and library settings from pkg-config, or None."""
    if shutil.which("pkg-config") is None:
        return None
    try:
        out = subprocess.run(["pkg-config", "--cflags", "--libs", "libhwy-contrib", "libhwy"],
                             check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             universal_newlines=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return None
    return Flags(include_dirs=[f[2:] for f in out if f.startswith("-I")],
                 library_dirs=[f[2:] for f in out if f.startswith("-L")],
                 libraries=[f[2:] for f in out if f.startswith("-l")])


def header_search_highway():
    """Highway found by its header in the usual places, or None."""
    prefixes = [os.environ.get("CONDA_PREFIX"), os.environ.get("HOMEBREW_PREFIX"),
                os.environ.get("VCPKG_INSTALLED"), sys.prefix, "/usr/local", "/opt/homebrew", "/usr"]
    include_dirs = [p for p in os.environ.get("CPATH", os.environ.get("INCLUDE", "")).split(os.pathsep) if p]
    include_dirs += [os.path.join(p, "include") for p in prefixes if p]
    include_dirs.append(sysconfig.get_paths()["include"])
    for include in include_dirs:
        if os.path.isfile(os.path.join(include, HIGHWAY_HEADER)):
            lib = os.path.join(os.path.dirname(include), "lib")
            return Flags(include_dirs=[include], library_dirs=[lib] if os.path.isdir(lib) else [],
                         libraries=["hwy_contrib", "hwy"])
    return None


def highway_flags():
    """Highway's vqsort kernel where it is installed; otherwise the portable
    radix kernel, said in one line. VELMORASORT_HIGHWAY=0 leaves it out,
    =1 makes its absence an error."""
    wanted = os.environ.get("VELMORASORT_HIGHWAY", "auto")
    if wanted == "0":
        print("velmorasort: VELMORASORT_HIGHWAY=0: building the portable radix kernel")
        return Flags()
    found = pkg_config_highway() or header_search_highway()
    if found is None:
        if wanted == "1":
            sys.stderr.write(HIGHWAY_MISSING + ", and VELMORASORT_HIGHWAY=1 requires it\n")
            raise SystemExit(1)
        print(HIGHWAY_MISSING + "; building the portable radix kernel")
        return Flags()
    return found + Flags(macros=[("VELMORASORT_HAVE_HWY", "1")])


def fail_without_openmp(kind):
    sys.stderr.write("velmorasort: this compiler cannot build OpenMP code; install %s\n"
                     % WHAT_TO_INSTALL[kind])
    raise SystemExit(1)


def check_openmp(compiler, kind, flags):
    """Compiles and links a small OpenMP program with `flags`; fails the
    build with one line naming what to install where that does not work."""
    program = "#include <omp.h>\nint main() { return omp_get_max_threads() > 0 ? 0 : 1; }\n"
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "openmp_check.cpp")
        with open(source, "w") as f:
            f.write(program)
        try:
            objects = compiler.compile([source], output_dir=folder, include_dirs=flags.include_dirs,
                                       extra_postargs=flags.compile)
            compiler.link_executable(objects, os.path.join(folder, "openmp_check"), target_lang="c++",
                                     library_dirs=flags.library_dirs, libraries=flags.libraries,
                                     extra_postargs=flags.link)
        except (CompileError, LinkError):
            fail_without_openmp(kind)


class CompilerAwareBuild(build_ext):
    """Picks the flags once the compiler is known, checks that it can build
    OpenMP code, and hands them to the extension."""

    def build_extensions(self):
        kind = compiler_kind(self.compiler)
        flags = compiler_flags(kind)
        check_openmp(self.compiler, kind, flags)
        flags = flags + highway_flags() + test_build_flags() + environment_flags()
        for ext in self.extensions:
            ext.extra_compile_args = flags.compile
            ext.extra_link_args = flags.link
            ext.define_macros = ext.define_macros + flags.macros
            ext.include_dirs = ext.include_dirs + flags.include_dirs
            ext.library_dirs = ext.library_dirs + flags.library_dirs
            ext.libraries = ext.libraries + flags.libraries
        super().build_extensions()


# The license as an SPDX expression where setuptools reads one (77 and later,
# which needs Python 3.9); the older text field below that, for the setuptools
# that Python 3.7 and 3.8 get. pyproject.toml names the field dynamic for this.
if int(setuptools.__version__.split(".")[0]) >= 77:
    LICENSE = {"license_expression": "MIT"}
else:
    LICENSE = {"license": "MIT"}


def extension(name, sources, libraries=()):
    return Extension(name, sources=sources, include_dirs=["velmorasort"], language="c++",
                     libraries=list(libraries), depends=sorted(glob.glob("velmorasort/*.hpp") + glob.glob("velmorasort/*/*.hpp")))


setup(
    **LICENSE,
    ext_modules=[
        extension("velmorasort.VelmoraSort", SOURCES),
        # dlopen, which finds the sorting module's test functions, lives in
        # libdl on glibc before 2.34.
        extension("velmorasort._kernel",
                  ["velmorasort/kernel_module.cpp", "velmorasort/measuring_sticks.cpp",
                   "velmorasort/engine/vector_sort.cpp"],
                  ["dl"] if sys.platform.startswith("linux") else []),
    ],
    cmdclass={"build_ext": CompilerAwareBuild},
)
