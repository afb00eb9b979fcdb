"""supersort(): delegation of short lists to the module global sort, the
team size, the parallel bucket pass and worker errors. Stress from many
threads, mutation and fork live in test_concurrency."""
import random
import threading

import pytest

from interpolation_model import bucket_sort, nan_with_payload, zero_rich
from support import SPLIT_FROM, FakeMultiprocessing, bits, entries, ordered
import velmorasort.VelmoraSort as vs

NAN = float("nan")
HUGE_TEAMS = [10 ** 6, 2 ** 31 - 1]


@pytest.fixture
def module():
    saved = {name: vs.__dict__[name] for name in ("sort", "multiprocessing")}
    try:
        yield vs
    finally:
        for name, value in saved.items():
            setattr(vs, name, value)


LONG = zero_rich(20000, 1)
LONG_MODEL = bucket_sort(LONG, 21)


@pytest.mark.parametrize("n, bucket_count", [(19999, 19999 // 750 + 1), (20000, 21)])
def test_delegation_boundary(n, bucket_count):
    """19999 values are sorted by sort (750 per bucket), 20000 by supersort's
    own pass (1000 per bucket)."""
    values = zero_rich(n, n)
    assert bits(vs.supersort(values)) == bits(bucket_sort(values, bucket_count))


def test_short_lists_go_to_the_current_sort(module):
    short = [3.0, 1.0, 2.0]
    sentinel = object()
    module.sort = lambda lst: sentinel
    assert vs.supersort(short) is sentinel and vs.supersort([], 4) is sentinel
    module.sort = lambda lst: None
    assert vs.supersort(short) is None

    class Recorder:
        def take(self, lst):
            return self, lst
    recorder = Recorder()
    module.sort = recorder.take
    assert vs.supersort(short) == (recorder, short) and vs.supersort(short)[1] is short
    assert bits(vs.supersort(LONG, 2)) == bits(LONG_MODEL)     # long lists never ask sort

    def failing(lst):
        raise ValueError("from sort")
    module.sort = failing
    with pytest.raises(ValueError, match="from sort") as info:
        vs.supersort(short)
    assert entries(info.value) == ["velmorasort.VelmoraSort.supersort", "failing"]

    del module.sort
    with pytest.raises(NameError) as info:
        vs.supersort(short)
    assert str(info.value) == "name 'sort' is not defined"
    assert entries(info.value) == ["velmorasort.VelmoraSort.supersort"]
    assert vs.supersort([2.0, 1.0] * 10000, 2) == [1.0] * 10000 + [2.0] * 10000


@pytest.mark.parametrize("n", [5, 19999])
def test_bad_element_fails_in_supersort_itself(module, n):
    calls = []
    module.sort = calls.append
    values = [1.0] * (n - 1) + [None]
    with pytest.raises(TypeError) as info:
        vs.supersort(values)
    names = entries(info.value)
    assert names[0] == "velmorasort.VelmoraSort.supersort" and "velmorasort.VelmoraSort.sort" not in names
    assert calls == [] and values[-1] is None


@pytest.mark.parametrize("count", [0, -3, 1, 2, 7] + HUGE_TEAMS)
def test_cpu_count_decides_the_team(module, count):
    fake = module.multiprocessing = FakeMultiprocessing(count)
    for args in [(), (-1,), (0,), (-7,)]:
        assert bits(vs.supersort(LONG, *args)) == bits(LONG_MODEL)
    assert fake.calls == 4


def test_cpu_count_asked_only_when_needed(module):
    # Which values of num_threads ask is test_binding's num_threads table.
    fake = module.multiprocessing = FakeMultiprocessing(ValueError("not asked"))
    assert vs.supersort([2, 1] * 9999) == [1.0] * 9999 + [2.0] * 9999
    assert fake.calls == 0
    replacement = module.multiprocessing = FakeMultiprocessing(2)   # rebinding is seen at once
    vs.supersort(LONG)
    assert (fake.calls, replacement.calls) == (0, 1)


@pytest.mark.parametrize("values", [LONG, [5.0] * 20000, [NAN] + [5.0] * 20000])
@pytest.mark.parametrize("replacement, error, message", [
    (FakeMultiprocessing(ValueError("no count")), ValueError, "no count"),
    (FakeMultiprocessing("x"), TypeError, "an integer is required"),
    (FakeMultiprocessing(2 ** 31), OverflowError, "value too large to convert to int"),
    (object(), AttributeError, None),
    (None, NameError, "name 'multiprocessing' is not defined"),
])
def test_cpu_count_failure_fails_the_call(module, values, replacement, error, message):
    if replacement is None:
        del module.multiprocessing
    else:
        module.multiprocessing = replacement
    with pytest.raises(error) as info:
        vs.supersort(values)
    if message is not None:
        assert str(info.value) == message
    assert entries(info.value)[0] == "velmorasort.VelmoraSort.supersort"
    # With a team given no count is asked for, and the call works.
    result = vs.supersort(values, 2)
    if values is LONG:
        assert bits(result) == bits(LONG_MODEL)
    else:
        assert result is values     # the shortcut


@pytest.mark.parametrize("n", [20000, 45000])
def test_result_does_not_depend_on_the_team(n, teams):
    """Real teams of one to four: a list with a unique order but for its
    zeros' group is split, and read by a team where it has two slices of
    16384 per reader, by teams from SPLIT_FROM on (smaller ones sort it as
    sort does)."""
    values = zero_rich(n, n + 1)
    before = list(values)
    expected = bits(bucket_sort(values, n // 1000 + 1))
    for team in (1, 2, 3, 4):
        assert bits(vs.supersort(values, team)) == expected
        started = teams.started()
        assert started.get("split", 1) == (team if team >= SPLIT_FROM else 1), (team, started)
        assert started.get("reading", 1) == (min(team, n // 16384) if team >= SPLIT_FROM else 1), (team, started)
    assert values == before


def far_apart(shape, n):
    """Values in two clusters far apart in the key space, where the split's
    table leaves the gap between them out; the last shape puts values inside
    the gap and at its edges too."""
    rng = random.Random(shape)
    if shape == "both signs":
        return [rng.uniform(-1e6, 1e6) for _ in range(n)]
    if shape == "tiny and huge":
        return [rng.uniform(1, 2) * (1e-300 if rng.random() < 0.5 else 1e300) for _ in range(n)]
    xs = [rng.uniform(1, 2) * rng.choice((-1, 1)) for _ in range(n)]
    xs += [rng.uniform(-1, 1) for _ in range(n // 100)] + [5e-324, -5e-324, 1e-300, -1e-300, 1.0, -1.0]
    xs += [float("inf"), float("-inf"), 2.0, -2.0]
    rng.shuffle(xs)
    return xs


@pytest.mark.parametrize("shape", ["both signs", "tiny and huge", "inside the gap"])
def test_far_apart_clusters_split_in_order(shape, teams):
    values = far_apart(shape, 30000)
    expected = bits(ordered(values))
    for team in (2, 3, 4):
        assert bits(vs.supersort(values, team)) == expected, team
        assert teams.started().get("split") == (team if team >= SPLIT_FROM else None)


@pytest.mark.parametrize("team", [-1] + HUGE_TEAMS)
def test_any_team_asked_for_gives_the_same_result(team):
    values = zero_rich(45000, 45001)
    assert bits(vs.supersort(values, team)) == bits(bucket_sort(values, 46))


def test_integers_nan_and_infinities(teams):
    result = vs.supersort(list(range(20000, 0, -1)), 3)
    assert result == [float(i) for i in range(1, 20001)] and all(type(v) is float for v in result)
    rng = random.Random(5)
    values = [rng.uniform(-9, 9) for _ in range(30000)]
    for special in [float("inf"), -float("inf")] * 3 + [nan_with_payload(k) for k in range(9)]:
        values.insert(rng.randrange(1, len(values)), special)
    assert bits(vs.supersort(values, 3)) == bits(ordered(values))
    assert bits(vs.supersort([0.0, NAN] + [5.0] * 20000, 3)) == bits([0.0] + [5.0] * 20000 + [NAN])
    assert teams.started() == {"split": 3}


def test_bucket_failure_reaches_the_caller(faulty):
    """A failure injected at each of the last allocation sites in turn (every
    bucket's sort among them: the reference switch sends each bucket through
    the insertion algorithm, which allocates, one bucket after another
    whatever the team), of each kind: one exception, with sort_internal's
    entry below supersort's where a bucket failed."""
    out = faulty.run("""
        import random, traceback
        import velmorasort.VelmoraSort as vs
        vs._reference_mode(True)
        from velmorasort import _kernel
        _kernel._test_teams(1000, True)   # a team of three asked for on any machine
        values = [float(i) for i in range(20000)]
        random.Random(1).shuffle(values)
        before, expected = list(values), sorted(values)
        sizes = {}
        for v in values:
            sizes[int(v * (20 / 19999.0))] = sizes.get(int(v * (20 / 19999.0)), 0) + 1
        buckets = sum(1 for size in sizes.values() if size > 9)   # the sorts that allocate
        vs._fault_arm(0, 0)
        vs.supersort(values, 3)
        total = vs._fault_sites()
        assert _kernel._teams() == {}   # no team sorts buckets
        kinds = [(0, MemoryError, None), (1, RuntimeError, "injected length_error"),
                 (2, RuntimeError, "Unknown exception")]
        for kind, error, message in kinds:
            in_buckets = 0
            for countdown in range(total - 3 * buckets, total + 1):
                vs._fault_arm(countdown, kind)
                try:
                    vs.supersort(values, 3)
                    raise AssertionError("site %d did not fail" % countdown)
                except (MemoryError, RuntimeError) as e:
                    names = [f.name for f in traceback.extract_tb(e.__traceback__)][1:]
                    if "velmorasort.VelmoraSort.sort_internal" in names:
                        assert names == ["velmorasort.VelmoraSort.supersort",
                                         "velmorasort.VelmoraSort.sort_internal"], names
                        assert type(e) is error and message in (None, str(e)), repr(e)
                        in_buckets += 1
                vs._fault_arm(0, 0)
                assert values == before
                assert vs.supersort(values, 3) == expected
            print(in_buckets >= buckets)
    """)
    assert out.split() == ["True"] * 3


def test_concurrent_calls_from_python_threads(teams):
    lists = [zero_rich(20000 + 7000 * k, 10 + k) for k in range(4)]
    expected = [bits(vs.supersort(values, 1)) for values in lists]
    outcomes = []

    def work(k):
        for team in (2, 3, -1):
            outcomes.append(bits(vs.supersort(lists[k], team)) == expected[k])
    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert outcomes == [True] * 12
    assert teams.started() == {"split": 3, "reading": 2}
