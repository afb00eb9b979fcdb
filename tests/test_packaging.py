"""Packaging, end to end: sdist from a copy of the tree, wheel from that sdist
alone, install into a fresh virtual environment, import and run, and run the
sdist's own tests there; the license metadata on the oldest setuptools we
accept; an editable install as type checkers see it. Slow (full compiles, a few
minutes on two cores); it runs in CI. Away from CI it skips where `build`,
CPython 3.7 or the package index is out of reach; in CI only where no
compiler is on PATH (a wheel's own test run)."""
import email.parser
import glob
import os
import shutil
import subprocess
import struct
import sys
import sysconfig
import tarfile
import textwrap
import zipfile

import pytest

import velmorasort
from support import CI, require, unavailable

require("build")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

NETWORK_SYMPTOMS = ("Could not find a version that satisfies", "No matching distribution found",
                    "Failed to establish a new connection", "Temporary failure in name resolution",
                    "Network is unreachable")
LITTER = ("tests/", "build/", ".o", ".so.", "__pycache__", ".pyc", ".egg-info", ".git")


def run(args, cwd, timeout=1200, keep=lambda name: True):
    # Only what the commands themselves install may be imported: a PYTHONPATH
    # pointing at another build (the sanitizer run sets one) must not leak in.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH" and keep(k)}
    proc = subprocess.run(args, cwd=str(cwd), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=timeout)
    if proc.returncode != 0:
        # Away from CI an unreachable package index skips; in CI it fails.
        if not CI and any(s in proc.stdout for s in NETWORK_SYMPTOMS):
            pytest.skip("package index unreachable: " + proc.stdout[-300:])
        raise AssertionError("%s failed (%d):\n%s" % (" ".join(args), proc.returncode, proc.stdout))
    return proc.stdout


def has_ensurepip():
    try:
        import ensurepip  # noqa: F401
    except ImportError:
        return False
    return True


def pip_installs_elsewhere():
    """Whether this environment's pip takes --python (22.3 and later)."""
    try:
        import pip
    except ImportError:
        return False
    return tuple(int(x) for x in pip.__version__.split(".")[:2] if x.isdigit()) >= (22, 3)


def make_venv(env, base):
    """A fresh virtual environment: its python, and the pip command that
    installs into it."""
    python = str(env / "bin" / "python")
    if has_ensurepip() and not pip_installs_elsewhere():
        run([sys.executable, "-m", "venv", "--system-site-packages", str(env)], base)
        return python, [python, "-m", "pip"]
    # This environment's pip installs into the new one: quicker than a pip of
    # its own, and Debian's interpreters ship ensurepip separately.
    run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(env)], base)
    return python, [sys.executable, "-m", "pip", "--python", python]


def copy_tree(dest):
    """The files a checkout holds, without anything built: tracked and
    untracked-but-not-ignored files from git, else the tree minus build output."""
    try:
        names = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                               cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               check=True).stdout.decode().split("\0")
    except (OSError, subprocess.CalledProcessError):
        shutil.copytree(ROOT, dest, ignore=shutil.ignore_patterns(
            ".git", "build", "dist", "*.egg-info", "__pycache__", "*.so", "*.o", ".*cache", ".hypothesis"))
        return
    for name in filter(None, names):
        if os.path.isfile(os.path.join(ROOT, name)):
            os.makedirs(os.path.dirname(os.path.join(dest, name)), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, name), os.path.join(dest, name))


def source_build_compiler():
    """The C++ compiler a source build calls: $CXX, else the interpreter's."""
    return (os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++").split()[0]


def skip_without_compiler():
    # A wheel's own test run (tools/build_wheels.sh) has no compiler on PATH.
    if shutil.which(source_build_compiler()) is None:
        pytest.skip("building from source needs a C++ compiler; %s is not on PATH" % source_build_compiler())


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    skip_without_compiler()
    base = tmp_path_factory.mktemp("packaging")
    tree, out = base / "tree", base / "dist"
    copy_tree(str(tree))
    log = run([sys.executable, "-m", "build", "--sdist", "--outdir", str(out), str(tree)], base)
    (sdist,) = glob.glob(str(out / "*.tar.gz"))
    clean = base / "from-sdist"
    with tarfile.open(sdist) as tar:
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        tar.extractall(str(clean), **safe)
    (unpacked,) = os.listdir(str(clean))
    log += run([sys.executable, "-m", "build", "--wheel", "--outdir", str(out), str(clean / unpacked)], base)
    (wheel,) = glob.glob(str(out / "*.whl"))
    return base, sdist, wheel, log


@pytest.fixture(scope="module")
def wheel_venv(dists):
    """A fresh virtual environment with the wheel installed: its python and pip."""
    base, _, wheel, _ = dists
    python, pip = make_venv(base / "venv", base)
    run(pip + ["install", "--no-index", "--no-deps", "--ignore-installed", "-q", wheel], base)
    return python, pip


def files_under(tree, folders):
    return {os.path.relpath(os.path.join(d, n), tree).replace(os.sep, "/")
            for folder in folders for d, _, names in os.walk(os.path.join(tree, folder)) for n in names}


def test_sdist_holds_every_source_and_what_its_tests_use(dists):
    base, sdist, _, _ = dists
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    sources = {os.path.relpath(p, ROOT).replace(os.sep, "/")
               for pattern in ("velmorasort/*.cpp", "velmorasort/*/*.[ch]pp")
               for p in glob.glob(os.path.join(ROOT, pattern))}
    wanted = sources | {"setup.py", "pyproject.toml", "README.md", "MANIFEST.in", "LICENSE", "docs/bench.png",
                        "velmorasort/VelmoraSort.pyi", "velmorasort/_kernel.pyi", "velmorasort/py.typed"}
    # The suite with the inputs it replays and the tools it drives: every
    # file of the checkout's tests/ and tools/.
    wanted |= files_under(str(base / "tree"), ["tests", "tools"])
    assert wanted <= names, sorted(wanted - names)
    assert not [n for n in names if n.endswith((".so", ".o")) or n.startswith("build/")]


def test_wheel_holds_extension_and_typing_only(dists):
    _, _, wheel, _ = dists
    names = zipfile.ZipFile(wheel).namelist()
    package = [n for n in names if n.startswith("velmorasort/")]
    for module in ("VelmoraSort", "_kernel"):
        assert [n for n in package if n.startswith("velmorasort/%s." % module) and n.endswith(".so")]
    assert {"velmorasort/VelmoraSort.pyi", "velmorasort/_kernel.pyi", "velmorasort/py.typed", "velmorasort/__init__.py",
            "velmorasort/bench.py"} <= set(names)
    assert not [n for n in names if any(mark in n for mark in LITTER)]
    assert not [n for n in names if n.endswith((".cpp", ".hpp"))]
    assert all(n.startswith(("velmorasort/", "velmorasort-")) for n in names), names
    (license_file,) = [n for n in names if n.startswith("velmorasort-") and n.endswith("/LICENSE")]
    with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
        assert zipfile.ZipFile(wheel).read(license_file) == f.read()


def test_wheel_module_carries_no_debug_information(dists):
    _, _, wheel, _ = dists
    with zipfile.ZipFile(wheel) as archive:
        modules = [n for n in archive.namelist() if n.endswith(".so")]
        assert len(modules) == 2, modules
        for name in modules:
            sections = elf_section_names(archive.read(name))
            assert ".text" in sections
            assert not [s for s in sections if s.startswith((".debug", ".zdebug"))], (name, sections)


def elf_section_names(image):
    """The section names of a 64-bit little-endian ELF file."""
    assert image[:6] == b"\x7fELF\x02\x01", "not a 64-bit little-endian ELF file"
    shoff, = struct.unpack_from("<Q", image, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", image, 0x3A)
    headers = [struct.unpack_from("<IIQQQQ", image, shoff + i * shentsize) for i in range(shnum)]
    strings = headers[shstrndx][4]
    return {image[strings + h[0]:image.index(b"\0", strings + h[0])].decode() for h in headers}


def test_builds_give_no_deprecation_warning(dists):
    # A deprecated form in the metadata is a build that stops working on a
    # set date. The builds here got the newest setuptools this Python runs.
    *_, log = dists
    assert "deprecat" not in log.lower(), log


def test_wheel_metadata_carries_version_license_and_supported_pythons(dists):
    _, _, wheel, _ = dists
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if n.endswith(".dist-info/METADATA")]
        metadata = email.parser.Parser().parsestr(archive.read(name).decode())
    assert metadata["Version"] == velmorasort.__version__
    assert name == "velmorasort-%s.dist-info/METADATA" % velmorasort.__version__
    minors = sorted(int(c.rsplit(".", 1)[1]) for c in metadata.get_all("Classifier")
                    if c.startswith("Programming Language :: Python :: 3."))
    assert minors == list(range(7, 16)), minors
    assert metadata["Requires-Python"] == ">=3.7"
    assert (metadata["License-Expression"] or metadata["License"]) == "MIT"
    assert metadata.get_all("License-File") == ["LICENSE"]


def test_wheel_installs_and_runs_in_fresh_venv(dists, wheel_venv):
    base, _, _, _ = dists
    python, _ = wheel_venv
    env = base / "venv"
    out = run([python, "-c", "import velmorasort.VelmoraSort as m; print(m.__file__); "
                             "print(m.sort([3, 1, 2]), m.supersort([2.5, -1.0], 2))"], base)
    path, result = out.strip().splitlines()[-2:]
    assert path.startswith(str(env)), path
    assert result == "[1.0, 2.0, 3.0] [-1.0, 2.5]"
    out = run([python, "-m", "velmorasort.bench", "--quick", "--sizes", "1000,6000",
               "--distributions", "uniform,reversed", "--plot", ""], base)
    assert "all results equal sorted()" in out


def test_unpacked_sdist_runs_its_own_tests(dists, wheel_venv):
    """The whole suite is collected from the unpacked sdist against the
    installed wheel, and the tests that replay its saved inputs through its
    tools run (all of it takes minutes: CI runs it from the tree)."""
    base, _, _, _ = dists
    python, pip = wheel_venv
    run(pip + ["install", "-q", "pytest>=6", "hypothesis>=6"], base)
    (unpacked,) = os.listdir(str(base / "from-sdist"))
    # A run of three tests, not CI's own: the files whose test dependencies
    # this venv lacks (build, mypy) are collected and skip, as away from CI.
    out = run([python, "-m", "pytest", "-p", "no:cacheprovider", "-q", "-rs",
               "-k", "fuzz_regressions or test_seed_shapes_are_saved or test_corpus_passes"],
              base / "from-sdist" / unpacked, keep=lambda name: name != "CI")
    summary = out.strip().splitlines()[-1]
    assert " passed" in summary and "error" not in summary and "failed" not in summary, out


def oldest_pyenv_python():
    versions = os.path.join(os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv")), "versions")
    for minor in ("3.7", "3.8"):
        found = sorted(glob.glob(os.path.join(versions, minor + ".*", "bin", "python" + minor)))
        if found:
            return found[-1]
    return None


@pytest.mark.parametrize("setuptools", ["setuptools==61.2.0", "setuptools>=61.2"])
def test_license_metadata_on_the_oldest_setuptools(tmp_path, setuptools):
    """The oldest setuptools pyproject.toml accepts, and the newest that Python
    3.7 gets, write the license the older way (the newest setuptools, which
    writes the SPDX expression, is the one the tests above build with)."""
    python37 = oldest_pyenv_python()
    if python37 is None:
        unavailable("no CPython 3.7 or 3.8 under pyenv")
    tree, out = tmp_path / "tree", tmp_path / "out"
    copy_tree(str(tree))
    os.makedirs(str(out))
    run([python37, "-m", "venv", str(tmp_path / "venv")], tmp_path)
    python = str(tmp_path / "venv" / "bin" / "python")
    run([python, "-m", "pip", "install", "-q", setuptools, "wheel"], tmp_path)
    log = run([python, "-c", textwrap.dedent("""\
        import os, sys, setuptools
        from setuptools import build_meta
        out = sys.argv[1]
        print("setuptools", setuptools.__version__)
        print("sdist", build_meta.build_sdist(out))
        print("metadata", build_meta.prepare_metadata_for_build_wheel(out))
        """), str(out)], tree)
    lines = log.replace(str(tmp_path), "").lower().splitlines()
    assert not [line for line in lines if "warn" in line and "licen" in line], log
    with tarfile.open(glob.glob(str(out / "*.tar.gz"))[0]) as tar:
        (pkg_info,) = [m for m in tar.getmembers() if m.name.count("/") == 1 and m.name.endswith("/PKG-INFO")]
        sdist_metadata = email.parser.Parser().parsestr(tar.extractfile(pkg_info).read().decode())
    (wheel_metadata_path,) = glob.glob(str(out / "*.dist-info" / "METADATA"))
    with open(wheel_metadata_path) as f:
        wheel_metadata = email.parser.Parser().parsestr(f.read())
    for metadata in (sdist_metadata, wheel_metadata):
        assert metadata["License"] == "MIT" and metadata.get_all("License-File") == ["LICENSE"]


def test_editable_install_is_visible_to_mypy(tmp_path):
    """README's editable install, then mypy on a script outside the tree, as a
    user runs it: the package and its stub are found, nothing pointed at."""
    require("mypy")
    skip_without_compiler()
    tree = tmp_path / "tree"
    copy_tree(str(tree))
    python, pip = make_venv(tmp_path / "venv", tmp_path)
    run(pip + ["install", "-q", "--no-deps", "-e", str(tree)], tmp_path)
    user = tmp_path / "user"
    user.mkdir()
    (user / "use.py").write_text(textwrap.dedent("""\
        from velmorasort import sort, supersort
        reveal_type(sort([3, 1]))
        reveal_type(supersort([2.5], num_threads=2))
        """))
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--python-executable", python,
                           "use.py"], cwd=str(user), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=300)
    assert proc.returncode == 0, proc.stdout
    assert proc.stdout.count('Revealed type is "builtins.list[builtins.float]"') == 2 or \
        proc.stdout.count('Revealed type is "list[float]"') == 2, proc.stdout
