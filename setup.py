"""Builds the one extension module, velmorasort.VelmoraSort."""
import glob
import os

import setuptools
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
# Release builds carry no debug information: -g0 cancels the -g that the
# interpreter's own CFLAGS usually hold (with it the module is 1.1 MB instead of
# 0.12 MB). A build that wants it passes -g here, which comes later and wins.
EXTRA = ["-g0"] + os.environ.get("VELMORASORT_EXTRA_FLAGS", "").split()

# The license as an SPDX expression where setuptools reads one (77 and later,
# which needs Python 3.9); the older text field below that, for the setuptools
# that Python 3.7 and 3.8 get. pyproject.toml names the field dynamic for this.
if int(setuptools.__version__.split(".")[0]) >= 77:
    LICENSE = {"license_expression": "MIT"}
else:
    LICENSE = {"license": "MIT"}

setup(
    **LICENSE,
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
