"""Argument binding of sort and supersort: the messages, which failures add
the function's traceback entry, and the conversion of num_threads."""
import decimal
import traceback
import warnings

import pytest

from support import FakeMultiprocessing
from velmorasort import VelmoraSort as vs

SUPERSORT = "velmorasort.VelmoraSort.supersort"

# Long enough for supersort to size its own team instead of handing the list
# to sort.
BIG = [float(i % 997) for i in range(20000)]
BIG_SORTED = sorted(BIG)


def native_entries(exc):
    """Traceback entry names below the frames of this file."""
    return [e.name for e in traceback.extract_tb(exc.__traceback__) if e.filename != __file__]


def direct(f, *args, **kwargs):
    return f(*args, **kwargs)


def through_call_slot(f, *args, **kwargs):
    # The type's generic call slot: a positional tuple and a keyword dict.
    return type(f).__call__(f, *args, **kwargs)


CALLS = pytest.mark.parametrize("call", [direct, through_call_slot])


@CALLS
@pytest.mark.parametrize("f, args, kwargs, message", [
    (vs.sort, (), {}, "sort() takes exactly 1 positional argument (0 given)"),
    (vs.sort, ([], []), {}, "sort() takes exactly 1 positional argument (2 given)"),
    (vs.sort, ([], []), {"input_list": []}, "sort() takes exactly 1 positional argument (2 given)"),
    (vs.sort, (), {"lst": []}, "sort() takes exactly 1 positional argument (0 given)"),
    (vs.sort, ([],), {"input_list": []}, "sort() got multiple values for keyword argument 'input_list'"),
    (vs.sort, (), {"input_list": [], "x": 1}, "sort() got an unexpected keyword argument 'x'"),
    (vs.sort, ([],), {"x": 1, "input_list": []}, "sort() got an unexpected keyword argument 'x'"),
    (vs.supersort, (), {}, "supersort() takes at least 1 positional argument (0 given)"),
    (vs.supersort, (), {"num_threads": 1}, "supersort() takes at least 1 positional argument (0 given)"),
    (vs.supersort, ([], 1, 2), {}, "supersort() takes at most 2 positional arguments (3 given)"),
    (vs.supersort, ([], 1, 2, 3), {"input_list": []},
     "supersort() takes at most 2 positional arguments (4 given)"),
    (vs.supersort, ([], 1), {"num_threads": 1},
     "supersort() got multiple values for keyword argument 'num_threads'"),
    (vs.supersort, ([],), {"input_list": []},
     "supersort() got multiple values for keyword argument 'input_list'"),
    (vs.supersort, (), {"input_list": [], "threads": 1},
     "supersort() got an unexpected keyword argument 'threads'"),
    # Binding is complete before num_threads is converted.
    (vs.supersort, ((),), {"num_threads": "x", "y": 2}, "supersort() got an unexpected keyword argument 'y'"),
])
def test_binding_failures_add_the_function_entry(call, f, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(f, *args, **kwargs)
    assert str(info.value) == message
    assert native_entries(info.value) == ["velmorasort.VelmoraSort." + f.__name__]


@CALLS
@pytest.mark.parametrize("f, args, kwargs", [
    (vs.sort, ([3, 1, 2],), {}),
    (vs.sort, (), {"input_list": [3, 1, 2]}),
    (vs.sort, (), {"".join(["input_", "list"]): [3, 1, 2]}),   # equal, not identical
    (vs.supersort, ([3, 1, 2], 2), {}),
    (vs.supersort, ([3, 1, 2],), {"num_threads": 2}),
    (vs.supersort, (), {"num_threads": 2, "input_list": [3, 1, 2]}),
    (vs.supersort, (), {"".join(["num_", "threads"]): 1, "".join(["input_", "list"]): [3, 1, 2]}),
])
def test_bindings_that_succeed(call, f, args, kwargs):
    assert call(f, *args, **kwargs) == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("f", [vs.sort, vs.supersort])
def test_non_string_keyword_refused_before_the_function_runs(f):
    with pytest.raises(TypeError) as info:
        f(**{1: 2})
    assert str(info.value) == "keywords must be strings"
    assert native_entries(info.value) == []
    with pytest.raises(TypeError) as info:
        type(f).__call__(f, [], **{"input_list": [], 1: 2})
    assert str(info.value) == "keywords must be strings"
    assert native_entries(info.value) == []


class MyList(list):
    pass


@pytest.mark.parametrize("f, extra", [(vs.sort, ()), (vs.supersort, ()), (vs.supersort, (3,))])
@pytest.mark.parametrize("obj, type_name", [
    ((1, 2), "tuple"), (MyList([1]), "MyList"), ("ab", "str"), ({}, "dict"), (1.5, "float"),
    (iter([1]), "list_iterator"),
])
def test_incorrect_input_type_adds_no_entry(f, extra, obj, type_name):
    with pytest.raises(TypeError) as info:
        f(obj, *extra)
    assert str(info.value) == \
        "Argument 'input_list' has incorrect type (expected list, got %s)" % type_name
    assert native_entries(info.value) == []


@pytest.mark.parametrize("f", [vs.sort, vs.supersort])
def test_none_passes_binding_and_is_refused_by_the_body(f):
    with pytest.raises(TypeError) as info:
        f(None)
    assert str(info.value) == "object of type 'NoneType' has no len()"
    assert native_entries(info.value) == ["velmorasort.VelmoraSort." + f.__name__]


# ---- num_threads as a C int --------------------------------------------------

@pytest.fixture
def multiprocessing(monkeypatch):
    """Replaces the module global multiprocessing; counts the cpu_count calls."""
    fake = FakeMultiprocessing(2)
    monkeypatch.setattr(vs, "multiprocessing", fake)
    return fake


class IntSub(int):
    pass


class Convertible:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, type):
            raise self.result("boom")
        return self.result


class IndexOnly:
    def __index__(self):
        return 3


# A value of 0 or less leaves the team size to cpu_count, so whether it is
# called tells the sign of the converted value.
@pytest.mark.parametrize("num_threads, asks_cpu_count", [
    (-1, True), (0, True), (1, False), (2.9, False), (0.9, True), (-2.9, True), (True, False),
    (IntSub(2), False), (-2 ** 31, True), (decimal.Decimal("1.5"), False), (Convertible(-5), True),
])
def test_num_threads_conversion(multiprocessing, num_threads, asks_cpu_count):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert vs.supersort(BIG, num_threads) == BIG_SORTED
        assert vs.supersort(BIG, num_threads=num_threads) == BIG_SORTED
    assert multiprocessing.calls == (2 if asks_cpu_count else 0)


def _reference_error(value):
    with pytest.raises(Exception) as info:
        int(value)
    return type(info.value), str(info.value)


@pytest.mark.parametrize("num_threads, exc_type, message", [
    ("12", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (b"1", TypeError, "an integer is required"),
    (IndexOnly(), TypeError, "an integer is required"),
    (2 ** 31, OverflowError, "value too large to convert to int"),
    (-2 ** 31 - 1, OverflowError, "value too large to convert to int"),
    (2 ** 63 - 1, OverflowError, "value too large to convert to int"),
    (-2 ** 63, OverflowError, "value too large to convert to int"),
    (2 ** 63, OverflowError, "Python int too large to convert to C long"),
    (-2 ** 63 - 1, OverflowError, "Python int too large to convert to C long"),
    (Convertible(2 ** 31), OverflowError, "value too large to convert to int"),
    (float("inf"),) + _reference_error(float("inf")),
    (float("nan"),) + _reference_error(float("nan")),
    (Convertible("3"), TypeError, "__int__ returned non-int (type str)"),
    (Convertible(ZeroDivisionError), ZeroDivisionError, "boom"),
])
def test_num_threads_conversion_failures(num_threads, exc_type, message):
    source = [3.0, 1.0]
    for kwargs in ({}, {"num_threads": num_threads}):
        args = (source,) if kwargs else (source, num_threads)
        with pytest.raises(exc_type) as info:
            vs.supersort(*args, **kwargs)
        assert type(info.value) is exc_type and str(info.value) == message
        assert native_entries(info.value) == [SUPERSORT]
    assert source == [3.0, 1.0]


DEPRECATION = ("__int__ returned non-int (type bool).  The ability to return an instance of a "
               "strict subclass of int is deprecated, and may be removed in a future version of Python.")


def test_int_subclass_from_dunder_int_is_deprecated(multiprocessing):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert vs.supersort(BIG, Convertible(True)) == BIG_SORTED
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, DEPRECATION)]
    assert multiprocessing.calls == 0     # taken as 1
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            vs.supersort([2.0, 1.0], Convertible(False))
    assert str(info.value) == DEPRECATION
    assert native_entries(info.value) == [SUPERSORT]


@pytest.mark.parametrize("input_list", ["abc", None, MyList()])
def test_num_threads_is_converted_before_input_list_is_tested(input_list):
    with pytest.raises(TypeError) as info:
        vs.supersort(input_list, "12")
    assert str(info.value) == "an integer is required"
    assert native_entries(info.value) == [SUPERSORT]
