"""Allocation failures at the first and the last sites of a call, during
start-up and during interpreter shutdown, in the fault-injection build
(tools/faults.py sweeps every site)."""
import os
import sys

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


def test_every_site_of_the_key_pipeline_fails_cleanly(faulty):
    """The read into keys, the run and nearly-sorted checks and the floats made
    from the keys: few sites, every one swept, with each failure kind."""
    for kind in (0, 1, 2):
        out = faulty.run(SWEEP.replace("quick=True", "quick=False") % (TOOLS, "sort, key pipeline", kind))
        swept, total = map(int, out.split()[:2])
        assert swept >= 3 and swept >= total, out
        assert "FINDING" not in out, out


# On 3.13 the sweep gives each failing import a process of its own (see
# tools/faults.py): slower, the same coverage.
def test_every_allocation_of_the_import_fails_cleanly(faulty):
    sys.path.insert(0, TOOLS)
    try:
        import faults
    finally:
        sys.path.remove(TOOLS)
    failures, with_entry, findings = faults.startup_sweep(faulty.path)
    assert findings == []
    # The sweep reached the named steps (3.15 allocates in fewer of them: 17).
    assert failures > 50 and with_entry > 10


# The holder's __del__ runs while the interpreter shuts down, when __main__'s
# globals are cleared; it keeps everything it needs on itself, the functions
# too (the free-threaded 3.13 clears the module's globals first). Each call fails
# at the last allocation of its sorter (both zero signs make the zeros' group
# go through the insertion sorter, the one sorter that allocates).
SHUTDOWN = """
    import os, random, sys, traceback
    import velmorasort.VelmoraSort as m
    from velmorasort import _kernel as kernel

    class AtShutdown:
        def __init__(self):
            rng = random.Random(4)
            kernel._test_teams(10000, True)    # a team of three sorts the list, on any machine
            self.arm, self.os, self.sys, self.traceback = m._fault_arm, os, sys, traceback
            self.cases = []
            team = ([rng.random() for _ in range(30000)] + [0.0, -0.0], 3)
            for label, fn, args in [
                    ("direct path", m.sort, ([rng.random() for _ in range(1500)] + [0.0, -0.0],)),
                    ("whole list", m.sort, ([rng.random() for _ in range(6000)] + [0.0, -0.0],)),
                    ("team", m.supersort, team)]:
                m._fault_arm(10 ** 12, 0)
                fn(*args)
                self.cases.append((label, fn, args, m._fault_sites() - 1))
            # The team's last sites are its float making's, one a piece: the last of them, and the sorter's, the last before them.
            label, fn, args, last = self.cases.pop()
            for countdown in range(last, 0, -1):
                m._fault_arm(countdown, 0)
                try:
                    fn(*args)
                    inner = None
                except MemoryError as e:
                    inner = traceback.extract_tb(e.__traceback__)[-1].name
                if inner == "velmorasort.VelmoraSort.sort_internal":
                    break
            m._fault_arm(0, 0)
            self.cases.append(("team", fn, args, countdown))
            self.cases.append(("team, floats", fn, args, last))

        def __del__(self):
            lines = ["finalizing %s" % self.sys.is_finalizing()]
            for label, fn, args, countdown in self.cases:
                self.arm(countdown, 0)
                try:
                    result = fn(*args)
                    outcome = "returned %d of %d values" % (len(result), len(args[0]))
                except BaseException as e:
                    # walk_tb reads no source lines: at shutdown some interpreters
                    # can no longer import what reading them needs.
                    names = [f.f_code.co_name.rsplit(".", 1)[-1] for f, _ in self.traceback.walk_tb(e.__traceback__)]
                    outcome = "%s: %s %s" % (type(e).__name__, e, names[1:])
                self.arm(0, 0)
                lines.append("%s: %s" % (label, outcome))
            self.os.write(1, ("\\n".join(lines) + "\\n").encode())

    holder = AtShutdown()
"""


def test_sorter_failure_during_shutdown_raises(faulty):
    """The sorter fails on the calling thread, which holds the interpreter
    lock, also before a team sorts the list without it: the failure is
    reported as ever; so is a float's while the team sorts. Never a result."""
    assert faulty.run(SHUTDOWN).splitlines() == [
        "finalizing True",
        "direct path: MemoryError: std::bad_alloc ['sort', 'sort_internal']",
        "whole list: MemoryError: std::bad_alloc ['sort', 'sort_internal']",
        "team: MemoryError: std::bad_alloc ['supersort', 'sort_internal']",
        "team, floats: MemoryError:  ['supersort', 'vector_to_list']",
    ]
