"""Free-threaded builds: the import keeps the interpreter lock off, and threads
that sort, change and collect shared lists at the same moment get sorted
results made only of their list's values. Elsewhere the interpreter lock
serialises the threads and the stress scenario runs once, cheaply. Each
scenario runs in a child interpreter under a timeout, so a deadlock fails the
test instead of hanging the run."""
import textwrap

import pytest

from support import FREE_THREADED, REAL_TEAMS, run_python

# List k holds values in [k * SPAN, (k + 1) * SPAN) only, as floats, ints and
# objects that only __float__ reveals (the walk runs Python code for those).
# Sorters check every result against its list's range; mutators resize the
# lists from both ends and the middle, keeping them between the sizes that
# pick each path (direct sort, runs, delegation, the parallel region).
STRESS = REAL_TEAMS + textwrap.dedent("""
    import gc, random, sys, threading, time
    import velmorasort.VelmoraSort as m

    ROUNDS = int(sys.argv[1])
    SPAN = 1000.0
    SIZES = (3000, 5500, 19000, 21000, 45000)

    class Number:
        __slots__ = ("v",)
        def __init__(self, v):
            self.v = v
        def __float__(self):
            return self.v

    def value(k, rng):
        v = k * SPAN + rng.random() * (SPAN - 1)
        pick = rng.random()
        return int(v) if pick < 0.05 else Number(v) if pick < 0.1 else v

    seed = random.Random(5)
    lists = [[value(k, seed) for _ in range(n)] for k, n in enumerate(SIZES)]
    stop = threading.Event()
    failures = []
    finished = []

    def check(k, result, source):
        if result is source:      # never all equal: the shortcut has no place here
            failures.append(("the caller's list back", k))
            return
        low, high = k * SPAN, (k + 1) * SPAN
        if result != sorted(result):        # in C: Python code here waits out collections
            failures.append(("unsorted", k, len(result)))
        elif result and not (low <= result[0] and result[-1] < high):
            failures.append(("foreign value", k, result[0], result[-1]))

    def sorter(t):
        rng = random.Random(t)
        try:
            for i in range(ROUNDS):
                k = rng.randrange(len(lists))
                source = lists[k]
                if i % 2:
                    result = m.supersort(source, num_threads=rng.choice((1, 2, 3, 4, -1)))
                else:
                    result = m.sort(source)
                check(k, result, source)
            finished.append(t)
        except BaseException as exc:
            failures.append(("raised", t, repr(exc)))

    def mutator(t):
        rng = random.Random(100 + t)
        while not stop.is_set():
            k = rng.randrange(len(lists))
            xs, n = lists[k], SIZES[k]
            step = rng.randrange(6)
            if step == 0:
                xs.extend(value(k, rng) for _ in range(rng.randrange(1, 200)))
            elif step == 1 and len(xs) > n // 2:
                del xs[rng.randrange(len(xs) // 2):][:rng.randrange(1, 200)]
            elif step == 2:
                xs.insert(rng.randrange(len(xs) + 1), value(k, rng))
            elif step == 3 and len(xs) > n // 2:
                xs.pop(0)
            elif step == 4:
                chunk = [value(k, rng) for _ in range(rng.randrange(1, 100))]
                at = rng.randrange(len(xs) + 1)
                xs[at:at + rng.randrange(100)] = chunk
            else:
                xs.reverse()
            if len(xs) > 2 * n:
                del xs[n:]

    def collector():
        while not stop.is_set():
            gc.collect()
            time.sleep(0.0005)              # lets the others run between pauses

    sorters = [threading.Thread(target=sorter, args=(t,), daemon=True) for t in range(6)]
    others = [threading.Thread(target=mutator, args=(t,), daemon=True) for t in range(3)]
    others.append(threading.Thread(target=collector, daemon=True))
    for t in others + sorters:
        t.start()
    for t in sorters:
        t.join(150)
    stop.set()
    for t in others:
        t.join(10)
    alive = [t.name for t in sorters + others if t.is_alive()]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    ran = _teams_kernel._teams()
    print("finished", len(finished), "failures", failures[:5], "alive", alive, "gil", gil, "teams", ran)
    # Lists of 45000 values: split by teams of four; the reading teams stop
    # at the first element that is not a float, near the front.
    sys.exit(0 if len(finished) == len(sorters) and not failures and not alive and ran.get("split") == 4
             else 1)
""")


def test_threads_sort_mutate_and_collect_shared_lists():
    proc = run_python(STRESS, timeout=240, args=[100 if FREE_THREADED else 8])
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert ("gil False" in proc.stdout) == FREE_THREADED, proc.stdout


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
