"""Property tests of sort and supersort against sorted(), around the size
thresholds and with the awkward doubles: NaN, infinities, signed zeros,
subnormals, extreme magnitudes, heavy duplicates.

VELMORASORT_HYPOTHESIS_PROFILE=long python -m pytest tests/test_properties.py
runs many more examples."""
import math
import os
import random
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from interpolation_model import sort_model, supersort_model
from support import bits, ordered, real_teams
from velmorasort.VelmoraSort import sort, supersort

# The long profile runs 25 times the examples and keeps failing ones in
# hypothesis's example database.
settings.register_profile("velmorasort-fast", deadline=None, database=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("long", deadline=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
PROFILE = "long" if os.environ.get("VELMORASORT_HYPOTHESIS_PROFILE") == "long" else "velmorasort-fast"
SCALE = 25 if PROFILE == "long" else 1


def examples(count):
    return settings(settings.get_profile(PROFILE), max_examples=count * SCALE)


MAX = sys.float_info.max
SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, -5e-324, sys.float_info.min,
           2.2250738585072009e-308, MAX, -MAX, 1e-300, -1e300, 1.0, 1.0 + sys.float_info.epsilon, 2.0 ** 53]
INTS = [0, 1, -1, 2 ** 53 + 1, -(2 ** 53) - 1, 2 ** 63, 2 ** 1023, -(2 ** 1024 - 2 ** 971), 10 ** 308]

elements = st.one_of(
    st.floats(allow_subnormal=True),
    st.sampled_from(SPECIAL),
    st.integers(-2 ** 70, 2 ** 70),
    st.sampled_from(INTS),
    st.booleans(),
)

# Real teams (the test switch): of three and four split a list, of two read it.
TEAMS = (1, 2, 3, 4, -1)


@st.composite
def big_lists(draw, sizes):
    """A list of a drawn size built from a short drawn list: tiled, shuffled,
    skewed by one far value, mixed with random doubles of a drawn spread, or
    in descending order."""
    n = draw(sizes)
    tile = draw(st.lists(elements, min_size=1, max_size=30))
    rng = random.Random(draw(st.integers(0, 2 ** 32 - 1)))
    shape = draw(st.sampled_from(["tile", "shuffle", "skewed", "mix", "descending"]))
    if shape == "tile":
        return (tile * (n // len(tile) + 1))[:n]
    if shape == "shuffle":
        return [rng.choice(tile) for _ in range(n)]
    if shape == "skewed":
        # One far value: nearly everything lands in one oversized bucket.
        xs = [rng.choice(tile) if rng.random() < 0.1 else rng.random() for _ in range(n)]
        xs[rng.randrange(n)] = draw(st.sampled_from([1e300, -1e300, 1e20]))
        return xs
    spread = draw(st.sampled_from([1.0, 1e-300, 1e300, 1e-320, 1e6]))
    xs = [rng.choice(tile) if rng.random() < 0.3 else rng.uniform(-spread, spread) for _ in range(n)]
    if shape == "descending":
        plain = sorted((x for x in xs if not math.isnan(x)), reverse=True)
        xs = plain + [x for x in xs if math.isnan(x)]
    return xs


def shortcut_expected(xs, threshold):
    if len(xs) < threshold:
        return False
    values = [x for x in xs if not math.isnan(x)]
    return not values or min(values) == max(values)


def first_difference(result, expected):
    for i, (a, b) in enumerate(zip(result, expected)):
        if bits([a]) != bits([b]):
            return "index %d: got %r, expected %r" % (i, a, b)
    return "lengths %d and %d" % (len(result), len(expected))


def check(function, xs, threshold, model):
    """Calls function(xs) and checks its result bit for bit, against sorted()
    or, where both zero signs are present, against `model` (which of them
    lands where is the insertion algorithm's to decide), and that xs is left
    as it was."""
    before = list(xs)
    result = function(xs)
    assert len(xs) == len(before) and all(a is b for a, b in zip(xs, before)), "input modified"
    if shortcut_expected(xs, threshold):
        assert result is xs
        return
    assert result is not xs and type(result) is list
    assert all(type(v) is float for v in result)
    expected = ordered(xs)
    if len({math.copysign(1.0, x) for x in expected if x == 0.0}) == 2:
        expected = model(xs)
    assert bits(result) == bits(expected), first_difference(result, expected)


@pytest.fixture(scope="module", autouse=True)
def teams():
    with real_teams() as switch:
        yield switch


def check_all(xs):
    check(sort, xs, 5000, sort_model)
    for team in TEAMS:
        # supersort hands lists below 20000 to sort, whose shortcut starts at 5000.
        check(lambda lst: supersort(lst, team), xs, 5000, supersort_model)
    check(lambda lst: supersort(input_list=lst, num_threads=2), xs, 5000, supersort_model)


@examples(500)
@given(st.lists(elements, max_size=12))
def test_short_lists(xs):
    check_all(xs)


@examples(80)
@given(big_lists(st.integers(4990, 5010) | st.integers(19990, 20010)))
def test_lists_around_the_thresholds(xs):
    check_all(xs)


def test_long_lists(teams):
    teams.started()

    @examples(15)
    @given(big_lists(st.integers(20011, 50000)))
    def long_lists(xs):
        check_all(xs)
    long_lists()
    # Some of the lists went to teams of four.
    assert teams.started().get("split") == 4


@examples(60)
@given(st.sampled_from([4999, 5000, 19999, 20000, 20001]), elements,
       st.sampled_from(["equal", "nan inside", "nan first", "nan last", "mixed zeros"]),
       st.integers(0, 2 ** 32 - 1))
def test_shortcut_returns_the_callers_list(n, value, case, seed):
    rng = random.Random(seed)
    if case == "mixed zeros":
        xs = [rng.choice([0.0, -0.0, 0, False]) for _ in range(n)]
    else:
        xs = [value] * n
    if case == "nan inside":
        xs[rng.randrange(1, n - 1)] = math.nan
    elif case == "nan first":
        xs[0] = math.nan
    elif case == "nan last":
        xs[-1] = math.nan
    check_all(xs)
