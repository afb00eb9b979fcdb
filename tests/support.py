"""What the test files share: the oracles that results and failures are checked
against (exact bits, the order sorted() gives, the traceback entries the
module adds), the elements that misbehave, the one way to run code in a child
interpreter, and the switch that runs real teams on short lists."""
import contextlib
import importlib
import math
import os
import struct
import subprocess
import sys
import sysconfig
import textwrap
import traceback

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# The emulator this process runs under, as the interpreter wrapper of
# tools/aarch64_suite.sh names it; None on real hardware.
EMULATOR = os.environ.get("VELMORASORT_EMULATOR")
# Set by CI: there, a test that cannot run is a failure, not a skip.
CI = bool(os.environ.get("CI"))
WITH_LOCK = pytest.mark.skipif(not getattr(sys, "_is_gil_enabled", lambda: True)(),
                               reason="no interpreter lock: other threads always run")


# ------------------------------------------------------------ oracles ----

def bits(values):
    """Exact bit patterns: tells -0.0 from 0.0 and one NaN payload from another."""
    return [struct.pack("<d", float(v)) for v in values]


def ordered(values):
    """The required order, where it is unique: non-NaN values ascending, NaNs
    after them in input order."""
    values = [float(v) for v in values]
    return sorted(v for v in values if not math.isnan(v)) + [v for v in values if math.isnan(v)]


def entries(exc):
    """Names of the traceback entries below the caller's own frame."""
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)][1:]


def source_line(path, line):
    """Line `line` of the file at `path` (from the repository root), stripped."""
    with open(os.path.join(ROOT, path)) as f:
        return f.read().splitlines()[line - 1].strip()


def places(exc):
    """(name, path, source line) of each entry the module added: those that
    name a file of its source tree."""
    return [(frame.name, frame.filename, source_line(frame.filename, frame.lineno))
            for frame in traceback.extract_tb(exc.__traceback__)
            if frame.filename.startswith("velmorasort/")]


# ----------------------------------------------------------- elements ----

class AsFloat:
    """An element that only __float__ reveals; `action(self)` runs first on
    every conversion."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __float__(self):
        if self.action is not None:
            self.action(self)
        return self.value


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("boom")


class FakeMultiprocessing:
    """Stands in for the module global multiprocessing: cpu_count returns
    `count` (or raises it, an exception) and counts its calls."""

    def __init__(self, count):
        self.count = count
        self.calls = 0

    def cpu_count(self):
        self.calls += 1
        if isinstance(self.count, Exception):
            raise self.count
        return self.count


# ------------------------------------------------------------- children ----

def run_python(code, timeout=120, env=None, path=None, args=(), cwd=None, check=False, preexec=None):
    """Runs `code` (dedented) in a fresh child interpreter and returns the
    CompletedProcess. The child imports the installed build from beside the
    tree, or the build in `path`; `check` raises with its output unless it
    exited 0. A child that hangs fails the test at `timeout` seconds. `env`
    adds to this process's environment; a value of None takes a name out."""
    env = {k: v for k, v in dict(os.environ, **(env or {})).items() if v is not None}
    if path is not None:
        env["PYTHONPATH"] = path
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)] + [str(a) for a in args],
                          cwd=cwd or path or os.path.dirname(ROOT), env=env, preexec_fn=preexec,
                          stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError("child failed (%d):\n%s\n%s" % (proc.returncode, proc.stdout, proc.stderr))
    return proc


def require(module):
    """Imports a test dependency; where it is missing the test skips, except
    in CI, where every dependency of the suite must be installed."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        if CI:
            pytest.fail("%s is a test dependency and CI must install it: %s" % (module, e), pytrace=False)
        pytest.skip("%s not installed" % module, allow_module_level=True)


def unavailable(reason):
    """A test that cannot run on this machine: skipped, but a failure in CI."""
    if CI:
        pytest.fail("CI cannot run this test: " + reason, pytrace=False)
    pytest.skip(reason, allow_module_level=True)


# --------------------------------------------------------------- teams ----

# A thread per this many values under the switch: teams of four on lists of
# a few thousand values. Lists read by a team need 2 * 16384 elements per
# reader, and supersort sorts fewer than 20000 values through sort.
VALUES_PER_THREAD = 1000

# Child code that turns the switch on: real teams of any size asked for.
# The smallest team that splits a list with one order, the calling thread
# making the floats of the pieces the others sort (tuning::kPipelineThreadsMin);
# smaller teams read and sort it as sort does, without the lock.
SPLIT_FROM = 3

REAL_TEAMS = """
from velmorasort import _kernel as _teams_kernel
_teams_kernel._test_teams(%d, True)
""" % VALUES_PER_THREAD


class Teams:
    """The team switch, on while a test runs: a team gets a thread per
    VALUES_PER_THREAD values and is not capped at the usable CPUs (teams of
    three and four run on two, oversubscribed). started() says which teams ran
    since it was last asked, by kind (split, reading, floats): the
    largest of each."""

    def __init__(self):
        from velmorasort import _kernel
        self._kernel = _kernel

    def __enter__(self):
        self._kernel._test_teams(VALUES_PER_THREAD, True)
        self._kernel._teams()
        return self

    def __exit__(self, *exc):
        self._kernel._test_teams(0, False)
        self._kernel._teams()

    def started(self):
        return self._kernel._teams()


@contextlib.contextmanager
def real_teams():
    with Teams() as teams:
        yield teams
