"""The module: its globals, start-up, and the one-module-per-process rules.
Tests that touch the process-wide state run in child interpreters."""
import builtins
import importlib
import json
import multiprocessing
import sys

import pytest

import velmorasort
from velmorasort import VelmoraSort as vs

from support import run_python

# Finds the extension file without importing the package (whose __init__
# would import the module).
LOCATE = """
import importlib.machinery, importlib.util, os, sys
_package = importlib.util.find_spec("velmorasort").submodule_search_locations[0]
PATH = [os.path.join(_package, n) for n in os.listdir(_package) if n.startswith("VelmoraSort.")
        and n.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))][0]
"""


def child(code):
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_module_globals():
    assert set(vars(vs)) == {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                             "__builtins__", "__test__", "multiprocessing", "sort", "supersort"}
    assert vs.__name__ == "velmorasort.VelmoraSort" and vs.__doc__ is None
    assert vs.__package__ == "velmorasort"
    assert vs.__file__ == vs.__spec__.origin and vs.__loader__ is vs.__spec__.loader
    assert vs.__builtins__ is builtins
    assert vs.multiprocessing is multiprocessing
    assert vs.__test__ == {} and type(vs.__test__) is dict
    assert sys.modules["velmorasort.VelmoraSort"] is vs
    assert velmorasort.sort is vs.sort and velmorasort.supersort is vs.supersort


def test_second_import_and_reload_give_the_same_module():
    sort, supersort = vs.sort, vs.supersort
    saved = sys.modules.pop("velmorasort.VelmoraSort")
    try:
        again = importlib.import_module("velmorasort.VelmoraSort")
    finally:
        sys.modules["velmorasort.VelmoraSort"] = saved
    assert again is vs
    assert importlib.reload(vs) is vs
    assert vs.sort is sort and vs.supersort is supersort and vs.sort([2, 1]) == [1.0, 2.0]


def test_start_up_of_a_second_module_object_is_refused():
    out = child(LOCATE + """
import json
spec = importlib.util.spec_from_file_location("velmorasort.VelmoraSort", PATH)
first = importlib.util.module_from_spec(spec)
second = importlib.util.module_from_spec(spec)      # made before either was started
spec.loader.exec_module(first)
try:
    spec.loader.exec_module(second)
    outcome = "started"
except RuntimeError as e:
    outcome = str(e)
print(json.dumps([outcome, importlib.util.module_from_spec(spec) is first,
                  sys.modules["velmorasort.VelmoraSort"] is first, "sort" in vars(second),
                  first.sort([3, 1, 2])]))
""")
    assert json.loads(out) == [
        "Module 'VelmoraSort' has already been imported. Re-initialisation is not supported.",
        True, True, False, [1.0, 2.0, 3.0]]


def test_second_interpreter_is_refused():
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter cannot run a second interpreter")
    out = child("""
import os, _testcapi
import velmorasort.VelmoraSort as m
read_end, write_end = os.pipe()
_testcapi.run_in_subinterp('''
import os
try:
    import velmorasort.VelmoraSort
    outcome = "imported"
except ImportError as e:
    outcome = str(e)
os.write(%d, outcome.encode())
''' % write_end)
os.close(write_end)
print(os.read(read_end, 1000).decode())
print(m.sort([2, 1]))
""")
    assert out.splitlines() == [
        "Interpreter change detected - this module can only be loaded into one interpreter per process.",
        "[1.0, 2.0]"]


def test_version_check(faulty):
    major, minor = sys.version_info[:2]
    other = 8 if minor != 8 else 9
    out = faulty.run("""
import json, warnings
import velmorasort.VelmoraSort as m

def check(version, action):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(action)
        try:
            m._check_runtime_version(version)
        except RuntimeWarning as e:
            return ["raised", str(e)]
    return [[w.category.__name__, str(w.message)] for w in caught]

print(json.dumps([check(v, a) for v, a in [
    ("3.%(other)d.1 (default, Jan  1 2020, 00:00:00) [GCC 9.0]", "always"),
    ("3.%(other)d.1 (default, Jan  1 2020, 00:00:00) [GCC 9.0]", "error"),
    ("%(major)d.%(minor)d.99 (main)", "error"),
    ("%(major)d.%(minor)d.0rc1+", "error"),
    ("4.%(minor)d.0", "always"),
]]))
""" % {"major": major, "minor": minor, "other": other})
    template = "compile time Python version %d.%d of module 'velmorasort.VelmoraSort' does not match " \
               "runtime version %d.%d"
    assert json.loads(out) == [
        [["RuntimeWarning", template % (major, minor, 3, other)]],
        ["raised", template % (major, minor, 3, other)],
        [],
        [],
        [["RuntimeWarning", template % (major, minor, 4, minor)]],
    ]


def test_import_issues_no_warning():
    proc = run_python("import velmorasort.VelmoraSort", env={"PYTHONWARNINGS": "error"})
    assert proc.returncode == 0 and proc.stderr == ""


@pytest.mark.parametrize("flag, name", [(0, "velmorasort.VelmoraSort"), (1, "__main__"), (-7, "__main__")])
def test_is_main_flag(flag, name):
    out = child(LOCATE + """
import ctypes, json
is_main = ctypes.c_int32.in_dll(ctypes.CDLL(PATH), "velmorasort_module_is_main")
before = is_main.value
is_main.value = %d
import velmorasort.VelmoraSort as m
print(json.dumps([before, m.__name__, m.sort.__module__, sys.modules["velmorasort.VelmoraSort"] is m,
                  m.supersort([2, 1])]))
""" % flag)
    assert json.loads(out) == [0, name, "velmorasort.VelmoraSort", True, [1.0, 2.0]]


def test_failed_start_up_leaves_nothing_and_a_later_import_succeeds(tmp_path):
    (tmp_path / "multiprocessing.py").write_text("raise ImportError('no processes here')\n")
    out = child("""
import json, os, sys, traceback
sys.path.insert(0, %r)
try:
    import velmorasort.VelmoraSort
    first = "imported"
except ImportError as e:
    entries = traceback.extract_tb(e.__traceback__)
    first = [str(e), [x.name for x in entries][-2:], os.path.basename(entries[-1].filename)]
left = sorted(k for k in sys.modules if k.startswith("velmorasort"))
del sys.path[0]
import velmorasort.VelmoraSort as m
print(json.dumps([first, left, m.sort([2, 1]), m.multiprocessing.__file__ != %r]))
""" % (str(tmp_path), str(tmp_path / "multiprocessing.py")))
    assert json.loads(out) == [
        ["no processes here", ["init velmorasort.VelmoraSort", "<module>"], "multiprocessing.py"],
        [], [1.0, 2.0], True]
