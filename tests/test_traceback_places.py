"""Every traceback entry the module adds names a real place: the file of the
failing function (or conversion, or sorter) and the line of the statement
that failed, read back from the source tree."""
import json

import pytest

from support import FloatRaises, places
import velmorasort.VelmoraSort as vs

MODULE = "velmorasort/VelmoraSort.cpp"
CONVERSIONS = "velmorasort/boundary/conversions.cpp"
SORTER = "velmorasort/engine/interpolation_sort.cpp"
SORT = ("velmorasort.VelmoraSort.sort", MODULE)
SUPERSORT = ("velmorasort.VelmoraSort.supersort", MODULE)
TO_VECTOR = ("velmorasort.VelmoraSort.list_to_vector", CONVERSIONS)
TO_LIST = ("velmorasort.VelmoraSort.vector_to_list", CONVERSIONS)
SORT_INTERNAL = ("velmorasort.VelmoraSort.sort_internal", SORTER)
BIG = [float(i % 997) for i in range(20000)]


def bad_element_at_end(n, element="x"):
    return [1.0] * (n - 1) + [element]


def without(name, call):
    def run():
        saved = vs.__dict__[name]
        delattr(vs, name)
        try:
            call()
        finally:
            setattr(vs, name, saved)
    return run


def replaced(name, value, call):
    def run():
        saved = vs.__dict__[name]
        setattr(vs, name, value)
        try:
            call()
        finally:
            setattr(vs, name, saved)
    return run


def failing_sort(lst):
    raise ValueError("from sort")


# (call, [(entry, file, text on the named line), ...] from the outside in)
CASES = {
    "sort(None)": (lambda: vs.sort(None), [SORT + ("Py_None",)]),
    "sort() binding": (lambda: vs.sort(), [SORT + ("PyObject* sort_entry(",)]),
    "sort, direct path, bad element": (
        lambda: vs.sort(bad_element_at_end(10)),
        [SORT + ("list_to_vector(input_list",), TO_VECTOR + ("element_as_double(",)]),
    "sort, bucket pass, raising __float__": (
        lambda: vs.sort(bad_element_at_end(6000, FloatRaises())),
        [SORT + ("list_to_vector(input_list",), TO_VECTOR + ("element_as_double(",)]),
    "supersort(None)": (lambda: vs.supersort(None), [SUPERSORT + ("Py_None",)]),
    "supersort, bad num_threads": (lambda: vs.supersort(BIG, "x"),
                                   [SUPERSORT + ("PyObject* supersort_entry(",)]),
    "supersort, short list, bad element": (
        lambda: vs.supersort(bad_element_at_end(5)),
        [SUPERSORT + ("list_to_vector(input_list, reading",), TO_VECTOR + ("element_as_double(",)]),
    "supersort, long list, bad element": (
        lambda: vs.supersort(bad_element_at_end(20000)),
        [SUPERSORT + ("list_to_vector(input_list, reading",), TO_VECTOR + ("element_as_double(",)]),
    "supersort, no global sort": (without("sort", lambda: vs.supersort([2.0, 1.0])),
                                  [SUPERSORT + ("module_global_lookup(",)]),
    "supersort, failing global sort": (replaced("sort", failing_sort, lambda: vs.supersort([2.0, 1.0])),
                                       [SUPERSORT + ("call_object(",)]),
    "supersort, no multiprocessing": (without("multiprocessing", lambda: vs.supersort(BIG)),
                                      [SUPERSORT + ("requested_team(",)]),
}


@pytest.mark.parametrize("label", sorted(CASES))
def test_entries_name_the_failing_statement(label):
    call, expected = CASES[label]
    with pytest.raises(Exception) as info:
        call()
    found = places(info.value)
    assert [(name, path) for name, path, _ in found] == [(name, path) for name, path, _ in expected]
    for (name, path, text), (_, _, wanted) in zip(found, expected):
        assert wanted in text, "%s names %s:%r" % (name, path, text)


# Each case arms one allocation site, counted back from the end of a dry run
# of the same call, and prints the places of the failure's entries.
INJECTED = r"""
    import json, random, sys, traceback
    import velmorasort.VelmoraSort as m
    from velmorasort import _kernel
    _kernel._test_teams(1000, True)   # real teams on short lists

    def places(exc):
        return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                if f.filename.startswith("velmorasort/")]

    rng = random.Random(2)
    # Both zero signs send the zeros' group through the insertion sorter, the
    # one sorter that allocates.
    short = [rng.random() for _ in range(1500)] + [0.0, -0.0]
    long = [rng.random() for _ in range(30000)] + [0.0, -0.0]
    cases = [("reservation", m.sort, (short,), lambda total: 1),
             ("append", m.sort, (short,), lambda total: 2),
             ("to list", m.sort, (short,), lambda total: total),
             ("sorter, direct path", m.sort, (short,), lambda total: total - 1),
             ("sorter, before a team", m.supersort, (long, 3), lambda total: total - 1)]
    out = {}
    for label, fn, args, countdown in cases:
        m._fault_arm(10 ** 12, 0)
        fn(*args)
        total = m._fault_sites()
        at = countdown(total)
        while True:
            m._fault_arm(at, 0)
            try:
                fn(*args)
                out[label] = "no failure"
            except MemoryError as e:
                out[label] = places(e)
            m._fault_arm(0, 0)
            # supersort's last sites may be its float making's, one a piece
            # while its team sorts: the sorter's is the last before them.
            if fn is not m.supersort or out[label][-1][0] != "velmorasort.VelmoraSort.vector_to_list":
                break
            at -= 1
    print(json.dumps(out))
"""


def test_injected_failures_name_the_failing_statement(faulty):
    from support import source_line
    found = json.loads(faulty.run(INJECTED).splitlines()[-1])
    expected = {
        "reservation": [SORT + ("list_to_vector(",), TO_VECTOR + ("reserve(",)],
        "append": [SORT + ("list_to_vector(",), TO_VECTOR + ("append(",)],
        "to list": [SORT + ("vector_to_list(sorted)",), TO_LIST + ("PyErr_NoMemory()",)],
        "sorter, direct path": [SORT + ("sort_list(",), SORT_INTERNAL + ("sort_group(",)],
        "sorter, before a team": [SUPERSORT + ("sort_list(",), SORT_INTERNAL + ("sort_group(",)],
    }
    for label, wanted in expected.items():
        got = found[label]
        assert [tuple(p[:2]) for p in got] == [w[:2] for w in wanted], (label, got)
        for (name, path, line), (_, _, text) in zip(got, wanted):
            assert text in source_line(path, line), (label, name, source_line(path, line))
