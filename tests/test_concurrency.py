"""sort and supersort called from many Python threads at once, after a fork,
and from a daemon thread at interpreter exit. Each scenario runs in a child
interpreter under a timeout, so a deadlock fails the test instead of hanging
the run. Last, what other threads that change the list during a call do to
its result."""
import random
import textwrap
import threading
import time

import pytest

import velmorasort.VelmoraSort as vs
from support import FREE_THREADED, REAL_TEAMS, WITH_LOCK, run_python

# One scenario for every build: sorters call sort and supersort (teams of one
# to four, and the machine's own) while mutators change the lists and others
# collect. Two kinds of list: `shared` is only ever permuted in place, so every
# snapshot a call takes holds the same values and its result is known exactly;
# list k of `ranged` holds values in [k * SPAN, (k + 1) * SPAN) only, as floats,
# ints and objects that only __float__ reveals (the walk runs Python code for
# those), and is resized from both ends and the middle between the sizes that
# pick each path (direct sort, runs, delegation, the parallel region), so a
# result is checked against its list's range. Without the interpreter lock
# (free-threaded builds) the scenario runs more rounds.
STRESS = REAL_TEAMS + textwrap.dedent("""
    import gc, random, sys, threading, time
    import velmorasort.VelmoraSort as m

    ROUNDS = int(sys.argv[1])
    SORTERS = 8
    SPAN = 1000.0
    SIZES = (3000, 5500, 19000, 21000, 45000)
    TEAMS = (1, 2, 3, 4)

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
    ranged = [[value(k, seed) for _ in range(n)] for k, n in enumerate(SIZES)]
    shared = [seed.uniform(-1e6, 1e6) for _ in range(40000)] + [float(i % 97) for i in range(5000)]
    expected = sorted(shared)
    stop = threading.Event()
    failures = []
    finished = []

    def check_range(k, result, source):
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
        own = [rng.uniform(-t - 1, t + 1) for _ in range(20000 + 3000 * t)]
        if t % 2:
            own.append(1e300)    # one far value: all the others in one bucket
        calls = (
            lambda i: (m.supersort(shared, TEAMS[(t + i // 4) % 4]), shared, expected),
            lambda i: (m.sort(shared), shared, expected),
            lambda i: (m.supersort(own, num_threads=TEAMS[(i // 4) % 4]), own, sorted(own)),
            lambda i: (m.supersort(own[:19999]), None, sorted(own[:19999])),
        )
        try:
            for i in range(ROUNDS):
                result, source, want = calls[i % 4](i)
                if result is source or result != want:
                    failures.append(("exact", t, i, len(result)))
                k = rng.randrange(len(ranged))
                source = ranged[k]
                if i % 2:
                    result = m.supersort(source, num_threads=rng.choice(TEAMS + (-1,)))
                else:
                    result = m.sort(source)
                check_range(k, result, source)
            finished.append(t)
        except BaseException as exc:
            failures.append(("raised", t, repr(exc)))

    def permuter(t):
        # Also sorts a list of its own with list.sort meanwhile.
        rng = random.Random(50 + t)
        mine = [rng.random() for _ in range(30000)]
        while not stop.is_set():
            mine.append(rng.random())
            del mine[rng.randrange(len(mine))]
            mine.sort(reverse=rng.random() < 0.5)
            shared.reverse()
            permuted = list(shared)
            rng.shuffle(permuted)
            shared[:] = permuted
            time.sleep(0.001)

    def resizer(t):
        rng = random.Random(100 + t)
        while not stop.is_set():
            k = rng.randrange(len(ranged))
            xs, n = ranged[k], SIZES[k]
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

    sorters = [threading.Thread(target=sorter, args=(t,), daemon=True) for t in range(SORTERS)]
    others = [threading.Thread(target=permuter, args=(t,), daemon=True) for t in range(2)]
    others += [threading.Thread(target=resizer, args=(t,), daemon=True) for t in range(3)]
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
    # Lists of 45000 values and more: split by teams of four, read by teams
    # of two or three (those on `ranged` stop at the first element that is
    # not a float, near the front).
    sys.exit(0 if len(finished) == SORTERS and not failures and not alive
             and ran.get("split") == 4 and ran.get("reading", 0) >= 2 else 1)
""")

# The parent runs a team of three (it reads and splits the list) before it
# forks: the runtime's pool threads do not exist in the child, which must
# still sort, on every entry and team size, and never hang.
FORK = REAL_TEAMS + """
import os, random, sys, time
import velmorasort.VelmoraSort as m

rng = random.Random(3)
xs = [rng.uniform(-1, 1) for _ in range(50000)]
expected = sorted(xs)
assert m.supersort(xs, 3) == expected
assert _teams_kernel._teams() == {"split": 3, "reading": 3}, "the parent ran no team"

def wait(pid, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"

pid = os.fork()
if pid == 0:
    ok = all(r == expected for r in (m.supersort(xs, 2), m.supersort(xs), m.supersort(xs, 3),
                                     m.supersort(xs, 4), m.sort(xs)))
    # Full teams in the child too, on a pool of its own.
    _teams_kernel._teams()
    full = m.supersort(xs, 3) == expected and _teams_kernel._teams() == {"split": 3, "reading": 3}
    os._exit(0 if ok and full else 3 if not ok else 4)
status = wait(pid, 30)
print("child", status)
assert status == 0, status
assert m.supersort(xs, 2) == expected and m.supersort(xs, 4) == expected
"""

# Every iteration ends a region: the daemon threads (and their teams' runtime
# threads) keep taking the interpreter lock back while it shuts down. The exit
# handler, the last Python code before shutdown, waits until some call is
# under way and says how many are, so a run that missed the race shows. It
# flushes its output itself: interpreters up to 3.12 at least can crash a daemon
# thread that waits for the lock (any daemon thread, in any code) when the
# teardown lets the lock go after freeing the threads' states, as writing
# buffered output to the pipe does; no such write is left for the teardown.
DAEMON_AT_EXIT = REAL_TEAMS + textwrap.dedent("""
    import atexit, random, sys, threading, time
    import velmorasort.VelmoraSort as m

    xs = [random.random() for _ in range(60000)]
    started, finished = [], []

    def loop():
        while True:
            started.append(1)
            m.supersort(xs, TEAM)
            finished.append(1)

    def at_exit():
        deadline = time.monotonic() + 10
        while len(started) == len(finished) and time.monotonic() < deadline:
            time.sleep(0.0005)
        print("calls under way at exit:", len(started) - len(finished) > 0)
        sys.stdout.flush()

    atexit.register(at_exit)
    for _ in range(8):
        threading.Thread(target=loop, daemon=True).start()
    while len(finished) < 8:
        time.sleep(0.01)
    print("main exits")
""")


# Daemon threads inside a module global sort written in Python (supersort
# hands it short lists) when the interpreter shuts down: it ends them by
# unwinding their stacks through supersort's frames, without the lock. They
# wait in a read that the teardown of __main__ ends, after the interpreter
# stopped letting threads back in: every run reaches the unwinding, and no
# thread is running Python code at the moment the interpreter stops them.
DAEMON_IN_PYTHON_SORT = """
    import os, threading, time
    import velmorasort.VelmoraSort as m

    r, w = os.pipe()
    waiting = []

    def blocked(lst):
        waiting.append(1)
        while True:
            os.read(r, 1)

    class WakeAtTeardown:
        def __init__(self, close, sleep, fd):
            self.close, self.sleep, self.fd = close, sleep, fd

        def __del__(self):
            self.close(self.fd)
            self.sleep(0.05)       # the readers wake and are ended meanwhile

    m.sort = blocked
    for _ in range(4):
        threading.Thread(target=m.supersort, args=([3.0, 1.0, 2.0],), daemon=True).start()
    while len(waiting) < 4:
        time.sleep(0.001)
    waker = WakeAtTeardown(os.close, time.sleep, w)
    print("main exits")
"""


def test_threads_sort_mutate_and_collect_shared_lists():
    proc = run_python(STRESS, timeout=240, args=[80 if FREE_THREADED else 16])
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert ("gil False" in proc.stdout) == FREE_THREADED, proc.stdout


def test_fork_after_parallel_region():
    proc = run_python(FORK, timeout=60)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "child 0" in proc.stdout


def test_daemon_threads_inside_a_python_sort_at_exit():
    for attempt in range(3):
        proc = run_python(DAEMON_IN_PYTHON_SORT, timeout=30)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "main exits\n", ""), \
            "attempt %d: rc %d\n%s" % (attempt, proc.returncode, proc.stderr)


def test_daemon_thread_inside_supersort_at_exit():
    for team in (1, 2, 3):
        for attempt in range(3):
            proc = run_python(DAEMON_AT_EXIT.replace("TEAM", str(team)), timeout=30)
            assert (proc.returncode, proc.stdout.split("\n")[:2]) == (
                0, ["main exits", "calls under way at exit: True"]), \
                "team %d, attempt %d: rc %d\n%s" % (team, attempt, proc.returncode, proc.stderr)


class Hook:
    """An element whose __float__ runs `action` once."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return self.value


def in_other_thread(change):
    """An action that has another thread make `change` and waits for it."""
    def action():
        worker = threading.Thread(target=change)
        worker.start()
        worker.join(10)
    return action


@pytest.mark.parametrize("f, tail", [(vs.sort, 2), (vs.sort, 6000), (vs.supersort, 25000)])
def test_deletion_in_front_during_the_conversion_skips_a_value(f, tail):
    """The README's promise: the walk sees the list as a `for` loop would."""
    values = [1.0, None, 3.0, 4.0] + [5.0] * tail
    values[1] = Hook(2.0, in_other_thread(lambda: values.pop(0)))
    result = f(values)
    assert result == [1.0, 2.0, 4.0] + [5.0] * tail      # 3.0 moved behind the walk: skipped
    assert len(values) == tail + 3


def test_changes_after_the_conversion_do_not_change_the_result():
    """The last element starts a thread that empties and refills the list,
    and waits for its first change, which goes on while supersort sorts the
    values it converted."""
    rng = random.Random(8)
    values = [rng.random() for _ in range(200000)]
    expected = sorted(values + [0.5])
    changed = threading.Event()
    stop = threading.Event()

    def mutate():
        while not stop.is_set():
            values[:] = [-1.0] * rng.randrange(1, 50)
            changed.set()
            time.sleep(0)

    def start_and_wait():
        mutator.start()
        assert changed.wait(10)
    values.append(Hook(0.5, start_and_wait))
    mutator = threading.Thread(target=mutate)
    try:
        result = vs.supersort(values, 2)
    finally:
        stop.set()
        mutator.join(10)
    assert result == expected
    assert changed.is_set()


# With a switch interval far longer than a call, another thread can only run
# during it if the call releases the lock. The sort takes a few milliseconds,
# which a waiting thread on a loaded machine can miss: a release must show in
# one of five calls, its absence in all three. Returns the counter's ticks
# during each call. Run here and, as source, in child interpreters.
TICKS_DURING = """
import random, sys, threading, time

def ticks_during(call, releases):
    rng = random.Random(4)
    values = [rng.random() for _ in range(400000)]
    ticks = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1
    old = sys.getswitchinterval()
    counter = threading.Thread(target=count)
    counter.start()
    time.sleep(0.05)          # the counter runs
    sys.setswitchinterval(0.5)
    runs = []
    try:
        for _ in range(5 if releases else 3):
            # Once the counter has had the lock under the new interval, it
            # waits that long before it may ask for the lock again: the call
            # is ours.
            time.sleep(0.001)
            before = ticks[0]
            result = call(values)
            runs.append(ticks[0] - before)
            assert result == sorted(result) and len(result) >= len(values)
            if releases and runs[-1] > 0:
                break
    finally:
        stop.set()
        sys.setswitchinterval(old)
        counter.join(10)
    return runs
"""
exec(TICKS_DURING)


@WITH_LOCK
@pytest.mark.parametrize("call, releases", [
    (lambda values: vs.sort(values), False),
    (lambda values: vs.supersort(values, 1), True),     # one thread: the list in one piece
    (lambda values: vs.supersort(values + [0.0, -0.0], 1), True),   # and the zeros' group
])
def test_who_lets_other_threads_run_while_sorting(call, releases):
    """supersort releases the lock while it sorts; sort never does."""
    runs = ticks_during(call, releases)  # noqa: F821 (defined by TICKS_DURING)
    assert (runs[-1] > 0) == releases, runs
    assert releases or not any(runs), runs


@WITH_LOCK
def test_a_team_lets_other_threads_run_while_sorting():
    """The same with a team of two, which reads the list before the sort. In
    a child whose OpenMP threads sleep as soon as they are idle: the runtime
    lets an idle thread spin for a while by default, and on a 2-CPU machine
    the spinning reader would keep the waiting thread off the second CPU for
    the whole window, although the lock is free."""
    proc = run_python(TICKS_DURING + """
import velmorasort
print(ticks_during(lambda values: velmorasort.supersort(values, 2), True)[-1] > 0)
""", env={"OMP_WAIT_POLICY": "passive"})
    assert proc.returncode == 0 and proc.stdout.split() == ["True"], proc.stderr
