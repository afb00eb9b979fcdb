"""Packaging, end to end: sdist from a copy of the tree, wheel from that sdist
alone, install into a fresh virtual environment, import and run. Slow (a full
compile, a few minutes on two cores); it runs in CI, and skips only where the
`build` package or the package index is out of reach."""
import email.parser
import glob
import os
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

import velmorasort

pytest.importorskip("build")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

NETWORK_SYMPTOMS = ("Could not find a version that satisfies", "No matching distribution found",
                    "Failed to establish a new connection", "Temporary failure in name resolution",
                    "Network is unreachable")
LITTER = ("tests/", "build/", ".o", ".so.", "__pycache__", ".pyc", ".egg-info", ".git")


def run(args, cwd, timeout=1200):
    # Only what the commands themselves install may be imported: a PYTHONPATH
    # pointing at another build (the sanitizer run sets one) must not leak in.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    proc = subprocess.run(args, cwd=str(cwd), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=timeout)
    if proc.returncode != 0:
        if any(s in proc.stdout for s in NETWORK_SYMPTOMS):
            pytest.skip("package index unreachable: " + proc.stdout[-300:])
        raise AssertionError("%s failed (%d):\n%s" % (" ".join(args), proc.returncode, proc.stdout))
    return proc.stdout


def has_ensurepip():
    try:
        import ensurepip  # noqa: F401
    except ImportError:
        return False
    return True


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


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    base = tmp_path_factory.mktemp("packaging")
    tree, out = base / "tree", base / "dist"
    copy_tree(str(tree))
    run([sys.executable, "-m", "build", "--sdist", "--outdir", str(out), str(tree)], base)
    (sdist,) = glob.glob(str(out / "*.tar.gz"))
    clean = base / "from-sdist"
    with tarfile.open(sdist) as tar:
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        tar.extractall(str(clean), **safe)
    (unpacked,) = os.listdir(str(clean))
    run([sys.executable, "-m", "build", "--wheel", "--outdir", str(out), str(clean / unpacked)], base)
    (wheel,) = glob.glob(str(out / "*.whl"))
    return base, sdist, wheel


def test_sdist_holds_every_source(dists):
    _, sdist, _ = dists
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    sources = {os.path.relpath(p, ROOT).replace(os.sep, "/")
               for pattern in ("velmorasort/*.cpp", "velmorasort/*/*.[ch]pp")
               for p in glob.glob(os.path.join(ROOT, pattern))}
    wanted = sources | {"setup.py", "pyproject.toml", "README.md", "MANIFEST.in",
                        "velmorasort/VelmoraSort.pyi", "velmorasort/_kernel.pyi", "velmorasort/py.typed"}
    assert wanted <= names, sorted(wanted - names)
    assert not [n for n in names if n.endswith((".so", ".o")) or n.startswith("build/")]


def test_wheel_holds_extension_and_typing_only(dists):
    _, _, wheel = dists
    names = zipfile.ZipFile(wheel).namelist()
    package = [n for n in names if n.startswith("velmorasort/")]
    for module in ("VelmoraSort", "_kernel"):
        assert [n for n in package if n.startswith("velmorasort/%s." % module) and n.endswith(".so")]
    assert {"velmorasort/VelmoraSort.pyi", "velmorasort/_kernel.pyi", "velmorasort/py.typed", "velmorasort/__init__.py",
            "velmorasort/bench.py"} <= set(names)
    assert not [n for n in names if any(mark in n for mark in LITTER)]
    assert not [n for n in names if n.endswith((".cpp", ".hpp"))]
    assert all(n.startswith(("velmorasort/", "velmorasort-")) for n in names), names


def test_wheel_metadata_carries_version_and_supported_pythons(dists):
    _, _, wheel = dists
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if n.endswith(".dist-info/METADATA")]
        metadata = email.parser.Parser().parsestr(archive.read(name).decode())
    assert metadata["Version"] == velmorasort.__version__
    assert name == "velmorasort-%s.dist-info/METADATA" % velmorasort.__version__
    minors = sorted(int(c.rsplit(".", 1)[1]) for c in metadata.get_all("Classifier")
                    if c.startswith("Programming Language :: Python :: 3."))
    assert minors == list(range(7, 16)), minors
    assert metadata["Requires-Python"] == ">=3.7"


def test_wheel_installs_and_runs_in_fresh_venv(dists):
    base, _, wheel = dists
    env = base / "venv"
    python = str(env / "bin" / "python")
    install = ["install", "--no-index", "--no-deps", "--ignore-installed", "-q", wheel]
    if has_ensurepip():
        run([sys.executable, "-m", "venv", "--system-site-packages", str(env)], base)
        run([python, "-m", "pip"] + install, base)
    else:
        # Debian's interpreters ship ensurepip separately: this environment's
        # pip installs into the new one instead.
        run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(env)], base)
        run([sys.executable, "-m", "pip", "--python", python] + install, base)
    out = run([python, "-c", "import velmorasort.VelmoraSort as m; print(m.__file__); "
                             "print(m.sort([3, 1, 2]), m.supersort([2.5, -1.0], 2))"], base)
    path, result = out.strip().splitlines()[-2:]
    assert path.startswith(str(env)), path
    assert result == "[1.0, 2.0, 3.0] [-1.0, 2.5]"
    out = run([python, "-m", "velmorasort.bench", "--quick", "--sizes", "1000,6000",
               "--distributions", "uniform,reversed", "--plot", ""], base)
    assert "all results equal sorted()" in out
