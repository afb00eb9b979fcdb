"""Lists into doubles and doubles back into lists of new floats, as seen
through sort and supersort."""
import json
import math
import random
import traceback
import weakref

import pytest

from support import AsFloat, FloatRaises, bits, run_python
from velmorasort import VelmoraSort as vs

FUNCTIONS = pytest.mark.parametrize("f", [vs.sort, vs.supersort])
# The shortest lists that sort and supersort put through their bucket passes.
LONG = {vs.sort: 5000, vs.supersort: 20000}


def snapshot(lst):
    return [id(x) for x in lst]


class FloatWithOwnDunder(float):
    def __float__(self):
        return 99.0


@FUNCTIONS
@pytest.mark.parametrize("values, expected", [
    ([1, True, 2.5], [1.0, 1.0, 2.5]),
    ([False, -3, 2 ** 53 + 1], [-3.0, 0.0, float(2 ** 53 + 1)]),
    ([AsFloat(0.5), 7, AsFloat(-1e300)], [-1e300, 0.5, 7.0]),
    ([FloatWithOwnDunder(2.0), 1.0], [1.0, 2.0]),   # a float subclass is read as a float
])
def test_numbers_become_floats(f, values, expected):
    before = snapshot(values)
    result = f(values)
    assert result == expected and all(type(x) is float for x in result)
    assert snapshot(values) == before


def _reference_error(element):
    with pytest.raises(Exception) as info:
        math.fsum([element])        # the interpreter's own conversion to double
    return type(info.value), str(info.value)


# sort's bucket pass reads its list as the direct path does.
@pytest.mark.parametrize("f, padding", [(vs.sort, 0), (vs.supersort, 0), (vs.sort, LONG[vs.sort])])
@pytest.mark.parametrize("element, python_frames", [
    ("1.5", []), (None, []), (10 ** 400, []), (AsFloat("x"), []), (FloatRaises(), ["__float__"]),
])
@pytest.mark.parametrize("position", [0, -1])
def test_unconvertible_element(f, padding, element, python_frames, position):
    values = [3.0, 1, 2.0, 1e308] + [1.0] * padding
    values.insert(len(values) if position else 0, element)
    before = snapshot(values)
    exc_type, message = _reference_error(element)
    with pytest.raises(exc_type) as info:
        f(values)
    assert str(info.value) == message
    entries = [e.name for e in traceback.extract_tb(info.value.__traceback__)][1:]
    assert entries == ["velmorasort.VelmoraSort." + f.__name__,
                       "velmorasort.VelmoraSort.list_to_vector"] + python_frames
    assert snapshot(values) == before


@pytest.mark.parametrize("f, tail, expected", [
    (vs.sort, 2, [-1.0, 5.0]),
    (vs.sort, LONG[vs.sort], [-1.0, 5.0]),
    (vs.supersort, LONG[vs.supersort], [-1.0, 5.0]),
    (vs.supersort, 2, []),      # converted, then handed to sort after the list was emptied
])
def test_element_that_empties_the_list(f, tail, expected):
    # The walk rereads the length and stops at the new end.
    values = [5.0, AsFloat(-1.0, lambda _: values.clear()), 7.0] + [3.0] * tail
    result = f(values)
    assert result == expected and result is not values
    assert values == []


@FUNCTIONS
@pytest.mark.parametrize("long_list", [False, True])
def test_element_that_grows_the_list(f, long_list):
    grower = AsFloat(1.0, lambda _: values.append(-4.0))
    values = [2.0, grower, 0.5] + [3.0] * (LONG[f] if long_list else 0)
    result = f(values)
    # Every element present when the walk reached it, the appended ones included.
    assert result == sorted(1.0 if x is grower else x for x in values)
    assert len(values) == LONG[f] * long_list + 3 + (1 if long_list or f is vs.sort else 2)


@FUNCTIONS
def test_element_whose_conversion_drops_the_last_reference_to_it(f):
    def replace_self(element):
        values[1] = 0.25
        freed.append(weakref.ref(element))

    freed = []
    values = [3.0, AsFloat(2.0, replace_self), 1.0]
    result = f(values)
    assert values == [3.0, 0.25, 1.0]
    assert freed[0]() is None       # gone once the conversion let go of it
    assert result == ([1.0, 2.0, 3.0] if f is vs.sort else [0.25, 1.0, 3.0])


@FUNCTIONS
@pytest.mark.parametrize("values", [[], [-0.0], [float("nan")], [float("inf")], [float("-inf")],
                                    [float("inf"), -0.0, float("-inf"), 5e-324]])
def test_special_values_come_back_as_new_floats(f, values):
    result = f(values)
    assert result is not values and len(result) == len(values)
    expected = sorted(values)
    for got, want in zip(result, expected):
        assert type(got) is float
        assert repr(got) == repr(want) and math.copysign(1, got) == math.copysign(1, want)
        assert all(got is not x for x in values)


# Failed calls leave the list alone too: test_unconvertible_element.
@FUNCTIONS
@pytest.mark.parametrize("values", [
    [3, 1.0, True, AsFloat(2.0)],
    [1] * 4999 + [0],
    [float(i % 13) for i in range(20000)],
    [7] * 20000,
    [float("nan")] + list(range(20000)),
])
def test_callers_list_unchanged(f, values):
    before = snapshot(values)
    f(values)
    assert snapshot(values) == before


RECURSION = """
import json, sys, threading, traceback
import velmorasort as vs
sys.setrecursionlimit(int(sys.argv[1]))

class Again:
    # Sorts the list it sits in again: each round recurses through the conversion.
    def __init__(self, lst, f):
        self.lst, self.f = lst, f
    def __float__(self):
        self.f(self.lst)
        return 1.0

def attempt(name):
    lst = [0.5] * 30000
    lst[0] = Again(lst, getattr(vs, name))
    try:
        getattr(vs, name)(lst)
        return ["no error"]
    except RecursionError as e:
        names = [f.name.rsplit(".", 1)[-1] for f in traceback.extract_tb(e.__traceback__)]
        return [type(e).__name__, names[1:3], names[-1], lst[1:] == [0.5] * 29999, name]

results = [attempt(name) for name in ("sort", "supersort")]
# A thread with a stack far smaller than its recursion limit allows for.
threading.stack_size(1 << 20)
worker = threading.Thread(target=lambda: results.append(attempt("sort")))
worker.start()
worker.join()
print(json.dumps(results))
"""


@pytest.mark.parametrize("limit", [10000, 20000, 30000])
def test_recursion_through_the_conversion_raises_recursion_error(limit):
    """Where the same recursion in plain Python ends in RecursionError, ours
    does too, with the usual traceback entries, rather than overflowing the C
    stack (we use more of it per round)."""
    # Run from beside the tree, so the child imports the build under test and
    # not the bare sources of the working folder.
    proc = run_python(RECURSION, args=[limit])
    assert proc.returncode == 0, proc.stderr[-2000:]
    for entry in json.loads(proc.stdout):
        assert entry[0] == "RecursionError"
        _, outer, inner, unchanged, name = entry
        assert outer == [name, "list_to_vector"] and inner == "list_to_vector" and unchanged


# supersort reads a list this long on a team (where the machine has two CPUs
# or more) up to its first element that is not an exact float, then walks on
# alone; sort always walks alone. Slices of 16384 elements are claimed at a
# time, so the positions below fall at slice edges and in the middle.
TEAM_READ = 300000


def _team_read_lists(position, make_element):
    """Two equal lists of TEAM_READ floats (one for each entry point) with the
    element that make_element(list) gives at `position`."""
    rng = random.Random(position)
    base = [rng.uniform(-1, 1) for _ in range(TEAM_READ)]
    lists = []
    for _ in range(2):
        values = list(base)
        values[position] = make_element(values)
        lists.append(values)
    return lists


@pytest.mark.parametrize("position", [0, 1, 16383, 16384, 150000, TEAM_READ - 1])
@pytest.mark.parametrize("kind", ["int", "__float__", "mutates"])
def test_team_reading_equals_the_walk(position, kind, teams):
    """With an element that is not an exact float at every kind of position,
    supersort's result equals sort's, which reads every element alone: an int,
    an object with __float__, and one whose __float__ changes the list where
    the team stopped reading (it drops the element before it and appends two)."""
    def make(values):
        if kind == "int":
            return 3
        if kind == "__float__":
            return AsFloat(0.75)

        def mutate(_):
            del values[max(position - 1, 0)]
            values.extend([-7.5, 8.25])
        return AsFloat(0.75, mutate)
    for_supersort, for_sort = _team_read_lists(position, make)
    assert bits(vs.supersort(for_supersort, 3)) == bits(vs.sort(for_sort))
    assert len(for_supersort) == len(for_sort)
    assert teams.started()["reading"] == 3


# Three slices of 16384 values: a reading team of three on any machine (the
# team switch).
TEAM_ERRORS = 3 * 16384 + 5


@pytest.mark.parametrize("element, python_frames", [
    ("1.5", []), (None, []), (10 ** 400, []), (AsFloat("x"), []), (FloatRaises(), ["__float__"]),
])
@pytest.mark.parametrize("position", [0, 16383, 16384, 2 * 16384 + 1, TEAM_ERRORS - 1])
def test_unconvertible_element_on_the_team_read_path(element, python_frames, position, teams):
    """An element that cannot be converted, where the team reads the list (at
    slice edges, first and last): the serial conversion's error, message and
    traceback entries, and the caller's list as it was."""
    values = [float(i) for i in range(TEAM_ERRORS)]
    values[position] = element
    before = snapshot(values)
    exc_type, message = _reference_error(element)
    with pytest.raises(exc_type) as info:
        vs.supersort(values, 3)
    assert str(info.value) == message
    entries = [e.name for e in traceback.extract_tb(info.value.__traceback__)][1:]
    assert entries == ["velmorasort.VelmoraSort.supersort", "velmorasort.VelmoraSort.list_to_vector"] + python_frames
    assert snapshot(values) == before
    assert teams.started() == {"reading": 3}
