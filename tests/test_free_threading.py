"""Free-threaded builds: the import keeps the interpreter lock off, first
imports race to one module, and a reading team reads a list that another
thread changes. Each scenario runs in a child interpreter under a timeout, so
a deadlock fails the test instead of hanging the run. (The many-threads
stress scenario, with more rounds where there is no lock, is in
test_concurrency.py.)"""
import textwrap

import pytest

from support import FREE_THREADED, REAL_TEAMS, run_python

@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded build")
def test_import_keeps_the_interpreter_lock_off():
    # PYTHON_GIL would force the lock either way: the child runs without it.
    env = {"PYTHON_GIL": None}
    code = """
        import sys, warnings
        warnings.simplefilter("error")       # the lock's warning would fail the import
        import velmorasort
        assert not sys._is_gil_enabled()
        print(velmorasort.sort([3.0, 1, 2.5]), velmorasort.supersort(list(range(30000, 0, -1)))[:2])
        assert not sys._is_gil_enabled()
    """
    proc = run_python(code, timeout=60, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.split() == ["[1.0,", "2.5,", "3.0]", "[1.0,", "2.0]"]
    assert proc.stderr == ""


def test_concurrent_first_imports_make_one_module():
    # Many threads import at once; every one gets the same module and its
    # functions work. On a free-threaded build create and start-up race here.
    code = """
        import sys, threading
        barrier = threading.Barrier(8)
        got = []
        def load():
            barrier.wait()
            import velmorasort.VelmoraSort as m
            got.append((m, m.sort([2.0, 1.0])))
        threads = [threading.Thread(target=load) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join(30)
        assert len(got) == 8 and len({id(m) for m, _ in got}) == 1, got
        assert all(r == [1.0, 2.0] for _, r in got)
        print("ok")
    """
    proc = run_python(code, timeout=60)
    assert (proc.returncode, proc.stdout.strip()) == (0, "ok"), proc.stderr


# A reading team of three reads a long list of floats while another thread
# changes it without pause: replaces elements, appends, pops and reverses,
# always with values of the list's range. Free-threaded builds read under the
# list's own lock; every result is sorted and made of that range only.
TEAM_READING_WHILE_MUTATED = REAL_TEAMS + textwrap.dedent("""
    import random, sys, threading
    import velmorasort.VelmoraSort as m

    rng = random.Random(4)
    xs = [rng.random() for _ in range(3 * 16384 + 100)]
    stop = threading.Event()
    changes = [0]

    def mutate():
        local = random.Random(5)
        while not stop.is_set():
            step = local.randrange(4)
            if step == 0:
                xs[local.randrange(len(xs))] = local.random()
            elif step == 1:
                xs.append(local.random())
            elif step == 2 and len(xs) > 3 * 16384:
                xs.pop(local.randrange(len(xs)))
            else:
                xs.reverse()
            changes[0] += 1

    mutator = threading.Thread(target=mutate)
    mutator.start()
    bad = []
    try:
        for _ in range(30):
            result = m.supersort(xs, 3)
            if result is xs or result != sorted(result) or not 0.0 <= result[0] <= result[-1] < 1.0:
                bad.append(len(result))
    finally:
        stop.set()
        mutator.join(10)
    print("bad", bad, "changed", changes[0] > 0, "teams", _teams_kernel._teams())
""")


def test_team_reading_while_another_thread_changes_the_list():
    proc = run_python(TEAM_READING_WHILE_MUTATED, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split(" teams ")[0] == "bad [] changed True", proc.stdout
    assert "'reading': 3" in proc.stdout and "'split': 3" in proc.stdout, proc.stdout
