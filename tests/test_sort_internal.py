"""The interpolation insertion sorter, seen through sort() on lists short
enough (at most 4999 values) to be handed to it whole."""
import random

import pytest

from interpolation_model import insertion_sort, nan_with_payload
from support import bits, ordered
from velmorasort.VelmoraSort import sort

INF = float("inf")
SEED = [0.0, 10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 70.0, 80.0]


def check(values):
    """sort() agrees bit for bit with the model, returns a new list of floats
    and leaves the argument alone."""
    assert len(values) <= 4999, "longer lists take the bucket pass"
    before = list(values)
    result = sort(values)
    assert result is not values
    assert all(type(v) is float for v in result)
    assert bits(result) == bits(insertion_sort(values))
    assert values == before and all(a is b for a, b in zip(values, before))
    return result


@pytest.mark.parametrize("values", [
    SEED + [35], SEED + [5], SEED + [95], SEED + [-3], SEED + [35, 5, 95, -3],
    # equal values make the insertion point visible: in front of a probed equal
    # element, in front of the equal one after a smaller probe, behind the
    # equal one before a greater probe
    [0.0, 10, 20, 30, -0.0, 50, 60, 70, 80, 0.0, -0.0],
    [-0.0, 0.0, 0.0, 0.0, 0.0, -0.0, 0.0, 0.0, 1.0, -0.0, 0.0, 2.0, -0.0],
    [1.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, -0.0, 0.5, -0.0, 1.0],
])
def test_worked_examples(values):
    assert check(values) == sorted(values)


@pytest.mark.parametrize("n", range(11))
def test_short_lists(n):
    rng = random.Random(n)
    for _ in range(30):
        values = [rng.choice([3, -1, 2.5, 0.0, -0.0, True, 7]) for _ in range(n)]
        assert check(values) == sorted(values)


def test_one_element_and_empty_are_new_lists():
    for values in ([], [3], [-0.0]):
        result = check(values)
        assert result == values and result is not values


N = 400
SHAPES = {
    "ascending": list(range(N)),
    "descending": list(range(N, 0, -1)),
    "all equal": [2.5] * N,
    "all -0.0 then +0.0": [-0.0] * 50 + [0.0] * 50,
    "equal run then greater": [1.0] * 300 + [2.0, 3.0, 1.5],
    "-inf after the seed": list(range(20)) + [-INF, 5.5, -INF],
    "+inf after the seed": list(range(20)) + [INF, 7.5, INF],
    "+inf in the seed": [INF] + list(range(50, 0, -1)) + [-0.0, 0.0],
    "-inf in the seed": [-INF, 3.0] + list(range(50)) + [0.0, -0.0],
    "only infinities": [INF, -INF] * 10,
    "extreme spread": [0.0] * 4 + [1e-300] * 5 + [1e300, 5e-301, -0.0, 1e299, -1e300],
    "tiny and huge": [5e-324, -5e-324, 1.7e308, -1.7e308] * 5 + [0.0, -0.0] * 3,
    "mixed signs": [(-1) ** i * i * 0.5 for i in range(N)],
}


@pytest.mark.parametrize("values", list(SHAPES.values()), ids=list(SHAPES))
def test_shapes(values):
    result = check(values)
    assert result == sorted(values)


def test_zero_signs_follow_the_algorithm():
    """Random lists rich in duplicates and both signed zeros: wherever each
    zero lands, it is where the algorithm puts it."""
    rng = random.Random(2024)
    pool = [0.0, -0.0, 0.0, -0.0, 1.0, -1.0, 2.5, 1e-300, -7.0, INF, -INF]
    for _ in range(3000):
        check([rng.choice(pool) for _ in range(rng.randrange(60))])
    for n in (500, 4999):
        check([rng.choice([0.0, -0.0, rng.uniform(-5, 5)]) for _ in range(n)])


@pytest.mark.parametrize("values", [
    list(range(4997, 0, -1)) + [0.0, -0.0],                 # every insertion at the front
    [float(i % 7) for i in range(3000)] + [-0.0, 0.0] * 20,  # long runs of equal values
    [INF] + [random.Random(1).uniform(-1, 1) for _ in range(600)] + [0.0, -0.0] * 5,
])
def test_quadratic_inputs_with_both_zero_signs(values):
    check(values)


@pytest.mark.parametrize("values", [
    list(range(4999, 0, -1)),
    [INF] + [random.Random(2).uniform(-1, 1) for _ in range(4998)],
    [5.0] * 4000 + [float(i) for i in range(999)],
    [1e-300, 0.0] * 10 + [random.Random(3).uniform(0, 1e300) for _ in range(4979)],
])
def test_quadratic_inputs(values):
    assert bits(sort(values)) == bits(ordered(values))


def test_nan_follows_in_input_order():
    rng = random.Random(7)
    pool = [0.0, -0.0, 1.0, -3.5, INF, -INF]
    for trial in range(500):
        values = [rng.choice(pool) for _ in range(rng.randrange(1, 40))]
        for k in range(rng.randrange(1, 5)):
            values.insert(rng.randrange(len(values) + 1), nan_with_payload(trial * 8 + k))
        check(values)
    check([nan_with_payload(k) for k in range(20)])
    check([nan_with_payload(1)] + list(range(4000, 0, -1)) + [nan_with_payload(2)])
