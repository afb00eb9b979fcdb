"""Shared fixtures. The tests exercise the built extension (installed, or
built in place by an editable install) and reach the fault-injection build in
subprocesses."""
import hashlib
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The shared helpers (support.py) and the model beside this file, importable
# by name from every test file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import Teams, run_python  # noqa: E402,F401 (run_python: for files that import it from here)

# These tests set Linux's process limits and read /proc: elsewhere they have
# nothing to check.
if not sys.platform.startswith("linux"):
    collect_ignore = ["test_team_limits.py"]



def _tree_has_extension():
    folder = os.path.join(ROOT, "velmorasort")
    return any(n.startswith("VelmoraSort.") and n.endswith(".so") for n in os.listdir(folder))


def _newest_source_mtime():
    newest = 0.0
    for folder, _, files in os.walk(os.path.join(ROOT, "velmorasort")):
        for name in files:
            if name.endswith((".cpp", ".hpp")):
                newest = max(newest, os.path.getmtime(os.path.join(folder, name)))
    return newest


# An editable install builds the extension in the tree, which the tests then
# import. Otherwise `python -m pytest` would put the bare source folder first
# on sys.path and shadow the installed package: take the tree off the path.
if not _tree_has_extension():
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != ROOT]

import velmorasort.VelmoraSort  # noqa: E402

_extension = os.path.abspath(velmorasort.VelmoraSort.__file__)
if _extension.startswith(ROOT + os.sep) and os.path.getmtime(_extension) < _newest_source_mtime():
    raise RuntimeError("the extension in the tree is older than its sources: "
                       "run `python -m pip install -e .` again")


def pytest_report_header(config):
    # The build under test: scripts that test an installed wheel check this line.
    return "velmorasort module: " + _extension


def _source_digest():
    digest = hashlib.sha256()
    for folder, _, files in sorted(os.walk(os.path.join(ROOT, "velmorasort"))):
        for name in sorted(files):
            if name.endswith((".cpp", ".hpp", ".py")):
                with open(os.path.join(folder, name), "rb") as f:
                    digest.update(name.encode() + f.read())
    with open(os.path.join(ROOT, "setup.py"), "rb") as f:
        digest.update(f.read())
    digest.update(os.environ.get("VELMORASORT_HIGHWAY", "").encode())   # the kernel the build picks
    return digest.hexdigest()[:16]


def build_fault_injection_copy():
    """Builds (once per source state) the test build with the fault hooks
    into build/faulty-<python>-<digest> and returns that folder."""
    tag = "%d%d-%s" % (sys.version_info[0], sys.version_info[1], _source_digest())
    target = os.path.join(ROOT, "build", "faulty-" + tag)
    marker = os.path.join(target, ".complete")
    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    with open(target + ".lock", "w") as lock:
        if sys.platform != "win32":
            import fcntl
            fcntl.flock(lock, fcntl.LOCK_EX)   # one build per source state, even across runs
        if not os.path.exists(marker):
            _build_into(target, marker)
    return target


def _build_into(target, marker):
    env = dict(os.environ, VELMORASORT_FAULT_INJECTION="1")
    subprocess.run(
        [sys.executable, "setup.py", "-q", "build_ext", "--build-lib", target,
         "--build-temp", target + "-tmp"],
        cwd=ROOT, env=env, check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(ROOT, "velmorasort", "__init__.py")) as src, \
            open(os.path.join(target, "velmorasort", "__init__.py"), "w") as dst:
        dst.write(src.read())
    open(marker, "w").close()


class FaultyRunner:
    """Runs Python code in a child interpreter that imports the test build."""

    def __init__(self, path):
        self.path = path

    def run(self, code, timeout=120, args=()):
        return run_python(code, timeout=timeout, path=self.path, args=args, check=True).stdout


@pytest.fixture(scope="session")
def faulty():
    """A runner for code that needs the fault-injection hooks
    (_fault_arm, _fault_sites, _check_runtime_version in the module globals)."""
    return FaultyRunner(build_fault_injection_copy())


@pytest.fixture
def teams():
    """Real teams of any size on short lists while the test runs; started()
    tells which ran (support.Teams)."""
    with Teams() as switch:
        yield switch
