"""Builds the one extension module, velmorasort.VelmoraSort."""
import glob
import os

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

setup(
    ext_modules=[
        Extension(
            "velmorasort.VelmoraSort",
            sources=SOURCES,
            include_dirs=["velmorasort"],
            language="c++",
            define_macros=MACROS,
            extra_compile_args=COMPILE_ARGS + EXTRA,
            extra_link_args=LINK_ARGS + EXTRA,
            depends=sorted(glob.glob("velmorasort/*/*.hpp")),
        )
    ]
)
