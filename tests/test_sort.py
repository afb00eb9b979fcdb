"""sort(): the direct path, the bucket pass and its shortcut (supersort's
too), NaN and infinities, failures."""
import random

import pytest

from interpolation_model import bucket_sort, insertion_sort, nan_with_payload, next_up, zero_rich
from interpolation_model import sort_model as model
from support import SPLIT_FROM, bits, ordered
from velmorasort.VelmoraSort import sort, supersort

INF = float("inf")
NAN = float("nan")


@pytest.mark.parametrize("n", [4999, 5000, 5249, 5250, 7499, 7500, 12000])
def test_paths_and_bucket_counts(n):
    """Where the signed zeros land tells which path ran and how many buckets
    the bucket pass used: n div 750 + 1."""
    values = zero_rich(n, n)
    before = list(values)
    expected = model(values)
    if n >= 5000:   # the data really tells these bucket counts apart
        count = n // 750 + 1
        assert bits(expected) != bits(bucket_sort(values, count - 1))
        assert bits(expected) != bits(bucket_sort(values, count + 1))
        assert bits(expected) != bits(insertion_sort(values))
    assert bits(sort(values)) == bits(expected)
    assert values == before


@pytest.mark.parametrize("call, values", [
    (sort, [7] * 5000),
    (sort, [0.0, -0.0] * 2600),
    (sort, [INF] * 5000),
    (sort, [NAN] * 6000),
    (sort, [5.0, NAN] + [5] * 5000),                  # non-NaN minimum equals maximum
    (sort, [2.0] + [NAN, 2.0] * 2500),
    (sort, [NAN] + [3] * 5000 + [NAN]),               # NaN at both ends, integers kept
    (sort, [NAN, -0.0] + [0.0, False] * 2500),
    # supersort: sort's shortcut below 20000 values, its own from there on.
    (supersort, [4] * 19999),
    (supersort, [4] * 20000),
    (lambda xs: supersort(xs, 2), [7] * 20000),
    (lambda xs: supersort(xs, 2), [0.0, -0.0] * 10000),
    (lambda xs: supersort(xs, 2), [3.0, NAN] + [3] * 20000),
    (lambda xs: supersort(xs, 2), [NAN] + [3] * 20000 + [NAN]),
])
def test_shortcut_returns_the_callers_list(call, values):
    elements = list(values)
    assert call(values) is values
    assert all(a is b for a, b in zip(values, elements)) and len(values) == len(elements)


def test_no_shortcut_below_the_bucket_pass():
    values = [7] * 4999
    result = sort(values)
    assert result is not values and result == values
    assert all(type(v) is float for v in result)


@pytest.mark.parametrize("values, expected", [
    ([0.0, NAN] + [5.0] * 5000 + [1.0], [0.0, 1.0] + [5.0] * 5000),
    ([0.0, NAN] + [5.0] * 5000, [0.0] + [5.0] * 5000),
    ([1.0] * 4999 + [INF], [1.0] * 4999 + [INF]),
    ([INF, -INF] * 2500 + [3.0], [-INF] * 2500 + [3.0] + [INF] * 2500),
    ([-INF] * 2500 + [INF] * 2500, [-INF] * 2500 + [INF] * 2500),
])
def test_interior_nan_and_infinities_do_not_trigger_the_shortcut(values, expected):
    result = sort(values)
    assert result is not values
    assert result[:len(expected)] == expected
    assert len(result) == len(values) and all(v != v for v in result[len(expected):])


NAN_PLACES = {
    "first": lambda n: [0],
    "last": lambda n: [n - 1],
    "both": lambda n: [0, n - 1],
    "interior": lambda n: [n // 3, n // 2],
    "first and interior": lambda n: [0, 1, n // 2],
}


@pytest.mark.parametrize("n", [4999, 5000, 19999, 20000])
@pytest.mark.parametrize("place", sorted(NAN_PLACES))
def test_nans_anywhere_are_sorted_after_the_values(n, place, teams):
    """Wherever the NaNs stand, the other values decide: these are not all
    equal, so the list is sorted, NaNs last in input order, on both entries
    and for every team size. Both zero signs make the exact order tell the
    paths and bucket counts apart."""
    values = zero_rich(n, n)
    for k, at in enumerate(NAN_PLACES[place](n)):
        values[at] = nan_with_payload(k + 1)
    values[n // 4] = 7                        # an integer among them
    before = list(values)
    expected = bits(model(values))
    assert bits(sort(values)) == expected
    for team in (1, 2, 3, 4):
        # supersort hands lists below 20000 to sort; from 20000 on, its own
        # buckets hold about 1000 values each, and teams from SPLIT_FROM on
        # split the list (NaNs and both zero signs do not stop them).
        assert bits(supersort(values, team)) == (expected if n < 20000 else bits(bucket_sort(values, n // 1000 + 1)))
        assert teams.started() == ({"split": team} if n >= 20000 and team >= SPLIT_FROM else {})
    assert all(a is b for a, b in zip(values, before)) and len(values) == n


def test_nan_and_infinities_anywhere():
    rng = random.Random(11)
    for trial in range(6):
        values = [rng.uniform(-100, 100) for _ in range(6000)]
        specials = [INF, -INF] * (trial % 3) + [nan_with_payload(trial * 100 + k) for k in range(trial * 3)]
        for s in specials:
            values.insert(rng.randrange(len(values) + 1), s)
        if trial % 2:
            values[0], values[-1] = rng.choice([INF, -INF, NAN]), rng.choice([INF, -INF, NAN])
        assert bits(sort(values)) == bits(ordered(values))


@pytest.mark.parametrize("values", [
    [1e308, -1e308] + [random.Random(1).uniform(-1e308, 1e308) for _ in range(5000)],  # range overflows
    [5e-324, 1e-323, 0.0] * 2000,                                # factor overflows
    [1.0, next_up(1.0)] * 2000 + [next_up(1.0), 1.0] * 1000,     # one unit in the last place
    [float(i) for i in range(1, 6001)] + [1e300],                # all but one in bucket 0
])
def test_extreme_spreads(values):
    assert bits(sort(values)) == bits(ordered(values))


def test_example_range_and_integers():
    values = list(range(5000))
    random.Random(3).shuffle(values)
    result = sort(values)
    assert result == [float(i) for i in range(5000)] and all(type(v) is float for v in result)
    assert sort(list(range(9000, 0, -1))) == [float(i) for i in range(1, 9001)]
    duplicates = [i % 37 for i in range(8000)]
    assert sort(duplicates) == sorted(map(float, duplicates))


@pytest.mark.parametrize("shape", ["ascending", "descending", "sawtooth"])
def test_presorted_runs(shape):
    def value(i):
        if shape == "sawtooth":
            v = float(i % 97 - 40)
            return -0.0 if v == 0.0 and (i // 97) % 2 else v
        v = float(i // 50 - 60)
        return -0.0 if v == 0.0 and i % 2 else v
    values = [value(i) for i in range(6000)]
    if shape == "descending":
        values.reverse()
    # Both zero signs: only the insertion sorter decides where each lands, so
    # merging the runs must step aside for the bucket pass.
    assert bits(sort(values)) == bits(bucket_sort(values, 6000 // 750 + 1))
    unsigned = [abs(v) if v == 0.0 else v for v in values]
    assert bits(sort(unsigned)) == bits(sorted(unsigned))
