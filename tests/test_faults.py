"""Allocation failures at the first and the last sites of a call, in the
fault-injection build (tools/faults.py sweeps every site)."""
import os

import pytest

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")

SWEEP = """
    import sys
    sys.path.insert(0, %r)
    import faults
    import velmorasort.VelmoraSort as m
    for label, outer, fn, extra, xs in faults.scenarios(m):
        if label == %r:
            swept, total, findings = faults.sweep(m, label, outer, fn, extra, xs, %d, quick=True)
    print(swept, total)
    for finding in findings:
        print("FINDING:", finding)
"""


@pytest.mark.parametrize("kind, label", [
    (0, "sort, direct path"),
    (0, "sort, bucket pass"),
    (0, "supersort, handed to sort"),
    (0, "supersort, team 1"),
    (0, "supersort, team 3"),
    (1, "sort, bucket pass"),
    (2, "supersort, team 2"),
])
def test_every_late_site_fails_cleanly(faulty, kind, label):
    out = faulty.run(SWEEP % (TOOLS, label, kind))
    swept, total = map(int, out.split()[:2])
    assert swept > 20 and total > 1000
    assert "FINDING" not in out, out
