"""The fast methods against the definition. Wherever a group's ascending order
is unique, the radix sort, the run merge and the whole-list path must give the
insertion algorithm's bits; where a group holds both zero signs, the
insertion algorithm decides while its work stays within the budget, and past
it every -0.0 precedes every +0.0."""
import json
import math
import os
import random
import struct

import pytest

from interpolation_model import bucket_sort, insertion_sort, nan_with_payload, zeros_apart
from support import SPLIT_FROM, bits, ordered
from support import run_python
from velmorasort.VelmoraSort import sort, supersort

INF = float("inf")


def _float_from_bits(u):
    return struct.unpack("<d", struct.pack("<Q", u))[0]


def _shapes(rng, n):
    """Inputs that stress an order-preserving integer sort: both signs,
    subnormals, extremes, infinities, duplicates, one dominant exponent, wide
    exponent spreads and NaN payloads."""
    return {
        "uniform": [rng.random() for _ in range(n)],
        "signed": [rng.uniform(-1e6, 1e6) for _ in range(n)],
        "lognormal": [rng.lognormvariate(0, 3) * rng.choice((1, -1)) for _ in range(n)],
        "subnormal": [_float_from_bits(rng.getrandbits(52)) * rng.choice((1, -1)) for _ in range(n)],
        "raw bits": [v for v in (_float_from_bits(rng.getrandbits(64)) for _ in range(n)) if not math.isnan(v)],
        "extremes": [rng.choice((5e-324, -5e-324, 1.7976931348623157e308, -1.7976931348623157e308,
                                 INF, -INF, 1.0, -1.0, 0.0)) for _ in range(n)],
        "few distinct": [float(rng.randrange(7)) for _ in range(n)],
        "nan inside": [nan_with_payload(i) if i % 97 == 5 else rng.gauss(0, 1) for i in range(n)],
        "ints": [rng.randrange(-2 ** 53, 2 ** 53) for _ in range(n)],
    }


# Sizes: the seed, both paths of sort and supersort, and past the radix
# sort's in-cache limit, where it splits by the highest varying bits first.
SIZES = [0, 1, 2, 9, 10, 63, 64, 65, 4999, 5000, 20000, 140000]


@pytest.mark.parametrize("n", SIZES)
def test_unique_orders_come_out_ascending_with_nans_last(n, teams):
    rng = random.Random(n)
    for name, values in _shapes(rng, n).items():
        expected = bits(ordered(values))
        assert bits(sort(values)) == expected, name
        if n >= 20000:
            for team in (2, 4):     # in one piece, split
                assert bits(supersort(values, team)) == expected, (name, team)
                # ("raw bits" drops its NaNs: fewer than 20000 values, sort's)
                want = {"split": team} if team >= SPLIT_FROM and len(values) >= 20000 else {}
                if len(values) >= 2 * 16384 and team >= SPLIT_FROM:   # read by a team (up to the first int)
                    want["reading"] = team
                assert teams.started() == want, (name, team)


# The fast methods against the reference switch, in a child that imports the
# fault-injection build: each list through sort and through supersort on
# teams of one to four, on the kernel of the test's parameter.
HARNESS = """
    import json, struct, sys
    sys.path.insert(0, sys.argv[1])
    from exactness_cases import all_cases
    import velmorasort.VelmoraSort as vs
    from velmorasort import _kernel
    kernel = sys.argv[2]

    def bits(values):
        return b"".join(struct.pack("<d", v) for v in values)

    _kernel._test_teams(1000, True)   # teams of any size on short lists, on any machine
    vs._portable_kernel(kernel == "portable")
    teams = {}
    mismatches = []
    count = 0
    for name, values, unique in all_cases():
        count += 1
        vs._reference_mode(True)
        reference = [bits(vs.sort(values)), bits(vs.supersort(values, 1))]
        if bits(vs.supersort(values, 3)) != reference[1]:
            mismatches.append([name, "reference, team 3"])
        vs._reference_mode(False)
        if bits(vs.sort(values)) != reference[0]:
            mismatches.append([name, "sort"])
        if unique and reference[0] != bits(sorted(values)):
            mismatches.append([name, "sorted()"])
        _kernel._teams()
        for team in (1, 2, 3, 4):
            if bits(vs.supersort(values, team)) != reference[1]:
                mismatches.append([name, "team %d" % team])
            for kind, size in _kernel._teams().items():
                teams.setdefault(kind, set()).add(size)
    print(json.dumps({"cases": count, "mismatches": mismatches,
                      "teams": {kind: sorted(sizes) for kind, sizes in teams.items()}}))
"""


@pytest.mark.parametrize("kernel", ["build", "portable"])
def test_the_fast_methods_equal_the_insertion_algorithm(faulty, kernel):
    """Bit for bit against the reference switch, which sends every bucket
    through the insertion algorithm on the calling thread whatever the team:
    random lists, zero-sign mixes around the zeros' group and its budget,
    subnormals, infinities, NaNs, the shapes that vector kernels find hard and
    what sampled splitters find hard, long lists read straight into order keys
    and those whose read hands back; sort, and supersort on real teams of one
    to four (split from SPLIT_FROM on, in one piece below), on the build's kernel
    (vqsort where it has Highway) and on the portable one."""
    out = faulty.run(HARNESS, timeout=600, args=[os.path.dirname(os.path.abspath(__file__)), kernel])
    result = json.loads(out.splitlines()[-1])
    assert result["mismatches"] == [] and result["cases"] == 170, result
    # Teams from SPLIT_FROM on split every list that reached the whole-list
    # path; no team ever sorted buckets.
    assert result["teams"]["split"] == list(range(SPLIT_FROM, 5)) and "buckets" not in result["teams"], \
        result["teams"]


def _nearly_sorted(rng, n, swaps=0, intruders=0, tail=0):
    """Ascending values with `swaps` random pairs exchanged, runs of
    `intruders` large values moved forward together, and `tail` values
    displaced within the last few places."""
    values = [i + rng.random() for i in range(n)]
    for _ in range(swaps):
        i, j = rng.randrange(n), rng.randrange(n)
        values[i], values[j] = values[j], values[i]
    for _ in range(intruders and 40):
        at = rng.randrange(n)
        values[at:at] = sorted(values.pop(rng.randrange(at, len(values))) for _ in range(intruders))
    for _ in range(tail):
        i = rng.randrange(n - 12, n)
        values.insert(rng.randrange(n - 12, n), values.pop(i))
    values[0], values[-1] = values[-1], values[0]   # the ends too
    return values


@pytest.mark.parametrize("shape", [
    dict(swaps=10), dict(swaps=300), dict(swaps=3000), dict(swaps=20000),
    dict(intruders=2), dict(intruders=8), dict(intruders=9), dict(tail=8), dict(swaps=50, tail=20),
])
def test_nearly_sorted_lists_come_out_ascending(shape):
    """A few displaced values, including runs of intruders and displacements
    among the last values, where the pass's two regions meet; past the share
    it gives up and the other paths sort. Every value kept, in order."""
    rng = random.Random(str(shape))
    for n in (5000, 40000):
        values = _nearly_sorted(rng, n, **shape)
        expected = bits(ordered(values))
        assert bits(sort(values)) == expected
        assert bits(supersort(values, 2)) == expected


def _zero_counts(values):
    return (sum(1 for v in values if v == 0 and math.copysign(1, v) > 0),
            sum(1 for v in values if v == 0 and math.copysign(1, v) < 0))


@pytest.mark.parametrize("values", [
    # a giant bucket of zeros of both signs among values spread over it
    [random.Random(1).uniform(-1, 1) * (random.Random(i).random() < 0.5) for i in range(60000)],
    # wide exponents: every finite value in the first bucket, zeros among them
    [(0.0 if i % 50 == 0 else -0.0 if i % 50 == 1 else 10.0 ** random.Random(i).uniform(-300, 0))
     for i in range(40000)] + [1e300],
    # uniform values plus one huge outlier and both zeros
    [random.Random(i).random() for i in range(30000)] + [1e300, 0.0, -0.0],
    # every insertion at the front: within the budget however long
    list(range(4990, 0, -1)) + [0.0, -0.0] * 4,
])
def test_budget_bounds_groups_with_both_zero_signs(values, teams):
    """Sorted by value, every value and both zero counts kept, the same bits
    for every team size, and the model's order: the insertion algorithm's
    result within the budget, -0.0 before +0.0 past it."""
    result = sort(values)
    assert result == sorted(values)
    assert sorted(bits(result)) == sorted(bits(values))
    assert _zero_counts(result) == _zero_counts(values)
    n = len(values)
    model = insertion_sort(values) if n <= 4999 else bucket_sort(values, n // 750 + 1)
    assert bits(result) == bits(model)
    if n >= 20000:
        results = {tuple(bits(supersort(values, t))) for t in (1, 2, 3, 4, -1)}
        assert results == {tuple(bits(bucket_sort(values, n // 1000 + 1)))}
        assert teams.started()["split"] == 4


def test_past_the_budget_zeros_are_apart():
    """A group whose insertion runs out of budget (with +inf the largest
    value, every probe walks one place up): every -0.0 first."""
    rng = random.Random(3)
    values = [INF] + [0.0, -0.0] * 4 + [rng.uniform(-1, 1) for _ in range(3000)] + [-0.0, 0.0] * 4
    assert bits(sort(values)) == bits(zeros_apart(values))
    assert bits(insertion_sort(values)) == bits(zeros_apart(values))


def test_teams_give_the_same_bits_on_a_list_long_enough_for_several_threads():
    """Without the team switch: a list long enough for a team of two (2^17
    values a thread), capped at the usable CPUs, with both zero signs in one
    bucket and values spread over every other."""
    from velmorasort import _kernel
    rng = random.Random(11)
    values = [rng.choice((0.0, -0.0)) if rng.random() < 0.001 else rng.uniform(-1, 1) for _ in range(300000)]
    expected = bits(bucket_sort(values, len(values) // 1000 + 1))
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    _kernel._teams()
    for team in (1, 2, 3, 4, -1):
        assert bits(supersort(values, team)) == expected, team
        # At 2^17 values a thread no team exceeds two: too few to split the
        # list, which goes sort's way.
        assert min(2, cpus, team if team > 0 else cpus) < SPLIT_FROM
        assert _kernel._teams() == {}, team


# Nested clusters: every split by the highest varying bits leaves one part
# too large for the cache, down to the last bits (six levels), and a list
# whose spread crowds one slot, then one of its slots. A 128 KiB thread stack
# holds every level's counting table.
SMALL_STACK = """
    import random, struct, threading
    import velmorasort.VelmoraSort as m

    rng = random.Random(5)
    def from_bits(u):
        return struct.unpack("<d", struct.pack("<Q", u))[0]
    deep = [from_bits(rng.randrange(1 << 12)) for _ in range(140000)]
    deep += [from_bits(1 << k) for k in (62, 51, 40, 29, 18)]
    crowded = [rng.random() * 1e-9 for _ in range(4000)] + [rng.random() for _ in range(1000)] + [1e300]
    wide = [rng.random() for _ in range(400000)]
    for values in (deep, crowded, wide):
        rng.shuffle(values)
    results = []
    def run():
        for values in (deep, crowded, wide):
            results.append(m.sort(values) == sorted(values) and m.supersort(values, 1) == sorted(values))
    threading.stack_size(128 * 1024)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    print(results)
"""


def test_deep_splits_fit_a_small_thread_stack():
    proc = run_python(SMALL_STACK, timeout=120)
    assert (proc.returncode, proc.stdout) == (0, "[True, True, True]\n"), proc.stderr
