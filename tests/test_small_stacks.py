"""Team threads get the stack that OMP_STACKSIZE asks for, down to 16 KiB:
nothing the sort keeps on a thread's stack may outgrow it."""

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
