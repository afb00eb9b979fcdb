"""The shipped stub: it matches the runtime module, keeps its docstrings, and
accepts the lists callers really pass."""
import ast
import os
import subprocess
import sys
import textwrap

import velmorasort.VelmoraSort as module
from support import require

require("mypy")

PACKAGE = os.path.dirname(module.__file__)


def run_mypy(args, cwd):
    # A neutral working folder: the source tree must not shadow the install,
    # and mypy must find the package the way it finds it for a user's script
    # (an editable install included: tests/test_packaging.py checks a fresh one).
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m"] + args, cwd=str(cwd), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=300)


def test_stub_matches_runtime(tmp_path):
    assert os.path.exists(os.path.join(PACKAGE, "py.typed"))
    proc = run_mypy(["mypy.stubtest", "velmorasort.VelmoraSort"], tmp_path)
    assert proc.returncode == 0, proc.stdout


def test_stub_docstrings_are_the_runtime_ones():
    with open(os.path.join(PACKAGE, "VelmoraSort.pyi")) as f:
        tree = ast.parse(f.read())
    docs = {node.name: ast.get_docstring(node, clean=False)
            for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert docs == {"sort": module.sort.__doc__, "supersort": module.supersort.__doc__}


def test_stub_accepts_number_lists_and_refuses_the_rest(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent("""\
        from typing import List
        from velmorasort import sort, supersort
        ints: List[int] = [3, 1]
        flags: List[bool] = [True, False]
        result: List[float] = sort(ints)
        result = supersort(flags, num_threads=2)
        sort(["x"])  # line 7
        supersort(ints, "2")  # line 8
        sort((1.0, 2.0))  # line 9
        sort(None)  # line 10: the call refuses None, so the stub does too
        supersort(None, 2)  # line 11
    """))
    proc = run_mypy(["mypy", "--no-incremental", "--show-error-codes", "use.py"], tmp_path)
    errors = sorted(int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line)
    assert errors == [7, 8, 9, 10, 11], proc.stdout
