"""The build's own refusals: each fails before anything is compiled, with one
line that says what to install."""
import shutil
import sys

import pytest

from support import ROOT, run_python

POSIX = pytest.mark.skipif(sys.platform == "win32", reason="the stand-in compiler is a shell script")

# setup.py's build_ext into a scratch folder, with pkg-config and Highway's
# header hidden where argv[1] says so.
BUILD = """
import os, runpy, shutil, sys
scratch, hide_highway = sys.argv[1], sys.argv[2] == "1"
if hide_highway:
    header, isfile, which = os.path.join("hwy", "contrib", "sort", "vqsort.h"), os.path.isfile, shutil.which
    os.path.isfile = lambda path: not os.fspath(path).endswith(header) and isfile(path)
    shutil.which = lambda name, *a, **k: None if name == "pkg-config" else which(name, *a, **k)
sys.argv = ["setup.py", "-q", "build_ext", "--build-lib", os.path.join(scratch, "lib"),
            "--build-temp", os.path.join(scratch, "tmp")]
runpy.run_path("setup.py", run_name="__main__")
"""


def test_highway_required_but_missing(tmp_path):
    if shutil.which("g++") is None:
        pytest.skip("needs g++ (an installed wheel's test run has no compiler)")
    proc = run_python(BUILD, cwd=ROOT, args=[tmp_path, 1], env={"VELMORASORT_HIGHWAY": "1"})
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert proc.stderr.strip().splitlines()[-1] == (
        "velmorasort: Highway not found (Debian/Ubuntu: libhwy-dev, Homebrew: highway, conda-forge: libhwy, "
        "vcpkg: highway), and VELMORASORT_HIGHWAY=1 requires it")
    assert not list(tmp_path.rglob("*.o")), "compiled before refusing"


@POSIX
def test_compiler_without_openmp(tmp_path):
    """A compiler that cannot build OpenMP code (here g++ behind a wrapper that
    refuses -fopenmp, as clang does without LLVM's runtime)."""
    if shutil.which("g++") is None:
        pytest.skip("needs g++ (an installed wheel's test run has no compiler)")
    wrapper = tmp_path / "c++"
    wrapper.write_text('#!/bin/sh\nfor a in "$@"; do [ "$a" = -fopenmp ] && exit 1; done\nexec g++ "$@"\n')
    wrapper.chmod(0o755)
    compiler = str(wrapper)
    proc = run_python(BUILD, cwd=ROOT, args=[tmp_path, 0],
                      env={"CC": compiler, "CXX": compiler, "LDSHARED": compiler + " -shared"})
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert proc.stderr.strip().splitlines()[-1] == (
        "velmorasort: this compiler cannot build OpenMP code; install g++ with its OpenMP runtime "
        "(libgomp; Debian: apt install g++, Fedora: dnf install gcc-c++)")
    assert not list(tmp_path.rglob("VelmoraSort*")), "built without OpenMP"

