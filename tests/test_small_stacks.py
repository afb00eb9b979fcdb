"""Team threads get the stack that OMP_STACKSIZE asks for, down to 16 KiB:
nothing the sort keeps on a thread's stack may outgrow it, and where a
member's share of a sort needs more than that, the calling thread sorts
alone."""
import sys

import pytest

from support import run_python

CHILD = """
import random, velmorasort
rng = random.Random(3)
cases = {
    # The reported list: a far outlier puts every other value into one
    # bucket, which the radix sort splits level under level.
    "outlier": [rng.random() * 1e-9 for _ in range(600000)] + [1e300],
    "uniform": [rng.random() for _ in range(600000)],
    # One bucket whose keys differ in every 11-bit field of the split: five
    # split levels nest, the spread below the deepest.
    "nested": [1.0 + rng.randrange(512) * 2.0 ** -52 for _ in range(300000)]
    + [-1.0, 1.0 + 2.0 ** -10, 1.0 + 2.0 ** -21, 1.0 + 2.0 ** -32, 1.0 + 2.0 ** -43, 1e300],
}
for name, values in cases.items():
    expected = sorted(values)
    assert velmorasort.sort(values) == expected, name
    for team in (1, 2, 4):
        assert velmorasort.supersort(values, team) == expected, (name, team)
print("sorted")
"""


@pytest.mark.parametrize("stack", ["16K", "64K", "128K"])
def test_team_threads_fit_small_stacks(stack):
    proc = run_python(CHILD, timeout=300, env={"OMP_STACKSIZE": stack})
    assert (proc.returncode, proc.stdout.split()) == (0, ["sorted"]), proc.stderr[-2000:]


# Every kind of team on both kernels: teams that sort the list in one piece
# and teams that split it, the zeros' group, and the reading of the list. Four CPUs are assumed, so that teams of up to four start on any
# machine. Each case prints its name first: a crash names the case it was in.
TEAMS_CHILD = """
import ctypes, random, sys
import velmorasort._kernel as kernel
import velmorasort.VelmoraSort as m
portable = sys.argv[1] == "portable"
m._portable_kernel(portable)
m._usable_cpus(4)
llvm_runtime = hasattr(ctypes.CDLL(m.__file__), "kmp_get_stacksize")   # LLVM's libomp, not GCC's
print(m._startable_team(4), kernel.describe()["kernel"] == "vqsort" and not portable, llvm_runtime, flush=True)
rng = random.Random(5)
unique = [rng.random() for _ in range(200000)]
lists = {"unique": unique, "outlier": [v * 1e-9 for v in unique] + [1e300],
         "zeros": [rng.choice((0.0, -0.0, v)) for v in unique]}
kernel._test_teams(1, False)   # the team asked for, up to the four CPUs assumed
for team in (1, 2, 3, 4):
    for name, values in lists.items():
        print(team, name, flush=True)
        assert m.supersort(values, team) == sorted(values), (team, name)
print("sorted")
"""


@pytest.mark.parametrize("kernel", ["vqsort", "portable"])
@pytest.mark.parametrize("stack", ["OMP_STACKSIZE=16K", "OMP_STACKSIZE=32K", "OMP_STACKSIZE=64K", None,
                                   "KMP_STACKSIZE=16K"])
def test_every_team_fits_every_stack(faulty, kernel, stack):
    """From the smallest stack the runtime accepts up: results on teams of
    one to four, and a team of one wherever a member's share would not fit
    (vqsort recurses deeper than the portable radix sort). Only LLVM's
    runtime reads KMP_STACKSIZE; MSVC's reads none of them."""
    env = {"OMP_STACKSIZE": None, "GOMP_STACKSIZE": None, "KMP_STACKSIZE": None}
    if stack:
        name, size = stack.split("=")
        env[name] = size
    proc = run_python(TEAMS_CHILD, timeout=300, env=env, path=faulty.path, args=[kernel])
    lines = proc.stdout.splitlines()
    assert (proc.returncode, lines[-1:]) == (0, ["sorted"]), (lines[-1:], proc.stderr[-2000:])
    startable, vector, llvm_runtime = lines[0].split()
    read = stack is not None and sys.platform != "win32" and (stack.startswith("OMP") or llvm_runtime == "True")
    small = read and vector == "True" and stack.endswith(("=16K", "=32K"))
    assert int(startable) == (1 if small else 4)
