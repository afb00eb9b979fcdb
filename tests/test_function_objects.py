"""The function objects sort and supersort as Python sees them."""
import copy
import dis
import gc
import inspect
import json
import marshal
import os
import pickle
import re
import sys
import types
import warnings
import weakref

import pytest

from velmorasort import VelmoraSort as vs

from support import FakeMultiprocessing, run_python, source_line

SORT_DOC = "\n    Sorts a list of numbers using a high-speed single-threaded bucket sort.\n    "
SUPERSORT_DOC = "\n".join([
    "",
    "    Sorts a list of numbers using a multithreaded bucket sort.",
    "",
    "    Args:",
    "        input_list (list): The list of floats/integers to sort.",
    "        num_threads (int): The number of threads to use.",
    " " * 29 + "-1 (default) uses all available CPU cores.",
    "    ",
])
SORT_VARNAMES = ("input_list", "n", "lst", "min_val", "max_val", "v", "bucket_count", "buckets",
                 "range_val", "bucket_idx", "factor", "final_result", "sorted_bucket", "i")
SUPERSORT_VARNAMES = ("input_list", "num_threads", "n", "lst", "actual_num_threads", "min_val",
                      "max_val", "v", "bucket_count", "buckets", "range_val", "bucket_idx", "factor",
                      "i", "final_result")
CO_OPTIMIZED, CO_NEWLOCALS, CO_NOFREE = 0x1, 0x2, 0x40

FUNCTIONS = pytest.mark.parametrize("f, name, doc, argcount, varnames, defaults, signature", [
    (vs.sort, "sort", SORT_DOC, 1, SORT_VARNAMES, None, "(input_list)"),
    (vs.supersort, "supersort", SUPERSORT_DOC, 2, SUPERSORT_VARNAMES, (-1,), "(input_list, num_threads=-1)"),
])


@pytest.fixture
def restore_attributes():
    """Puts back every attribute a test may write on the shared functions."""
    saved = [(f, a, getattr(f, a)) for f in (vs.sort, vs.supersort)
             for a in ("__name__", "__qualname__", "__doc__", "__module__", "__defaults__",
                       "__kwdefaults__", "__annotations__", "__dict__")]
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for f, attribute, value in saved:
            setattr(f, attribute, value)


@FUNCTIONS
def test_attributes(f, name, doc, argcount, varnames, defaults, signature):
    assert f.__name__ == name and f.__qualname__ == name
    assert f.__doc__ == doc
    assert f.__module__ == "velmorasort.VelmoraSort"
    assert f.__globals__ is vs.__dict__
    assert f.__closure__ is None
    assert f.__defaults__ == defaults and f.__kwdefaults__ is None
    assert f._is_coroutine is False
    assert not inspect.iscoroutinefunction(f)
    assert f.__reduce__() == name
    assert str(inspect.signature(f)) == signature
    assert re.match(r"<velmorasort function %s at 0x[0-9a-fA-F]+>\Z" % name, repr(f))
    assert type(f) is type(vs.sort) and not inspect.isbuiltin(f)
    for lazy in ("__annotations__", "__dict__"):
        assert getattr(f, lazy) == {} and type(getattr(f, lazy)) is dict
        assert getattr(f, lazy) is getattr(f, lazy)     # made once, then kept


@FUNCTIONS
def test_code_object(f, name, doc, argcount, varnames, defaults, signature):
    code = f.__code__
    assert code is f.__code__
    assert code.co_name == name and getattr(code, "co_qualname", name) == name
    assert code.co_argcount == argcount and code.co_kwonlyargcount == 0
    assert getattr(code, "co_posonlyargcount", 0) == 0
    assert code.co_varnames == varnames and code.co_nlocals == len(varnames)
    assert code.co_freevars == () and code.co_cellvars == ()
    assert code.co_flags & ~CO_NOFREE == CO_OPTIMIZED | CO_NEWLOCALS
    # The file and first line are those of the function's entry.
    assert code.co_filename == "velmorasort/VelmoraSort.cpp"
    assert source_line(code.co_filename, code.co_firstlineno).startswith("PyObject* %s_entry(" % name)


def _args(argcount):
    return ([3.0, 1, 2.5], 2)[:argcount]


@FUNCTIONS
def test_running_the_code_object_calls_the_function(f, name, doc, argcount, varnames, defaults, signature,
                                                     monkeypatch):
    code = f.__code__
    assert types.FunctionType(code, vs.__dict__)(*_args(argcount)) == [1.0, 2.5, 3.0]
    keywords = dict(zip(varnames, _args(argcount)))
    assert types.FunctionType(code, {"__builtins__": __builtins__})(**keywords) == [1.0, 2.5, 3.0]
    # The function is found at call time, through the import system.
    monkeypatch.setattr(vs, name, lambda *args: ["replaced"] + list(args))
    assert types.FunctionType(code, vs.__dict__)(*_args(argcount)) == ["replaced"] + list(_args(argcount))
    monkeypatch.undo()
    # With globals that carry no builtins, 3.10 on run it with the caller's.
    try:
        result = types.FunctionType(code, {})(*_args(argcount))
    except ImportError as e:
        assert sys.version_info < (3, 10) and str(e) == "__import__ not found"
    else:
        assert result == [1.0, 2.5, 3.0]
    for run in [lambda: exec(code), lambda: eval(code, {}),
                lambda: types.FunctionType(code, vs.__dict__)(*_args(argcount)[:-1])]:
        with pytest.raises(TypeError) as info:
            run()
        assert "missing 1 required positional argument" in str(info.value) or \
            "missing %d required positional arguments" % argcount in str(info.value)
    with pytest.raises(TypeError):
        types.FunctionType(code, vs.__dict__)(input_list=[1.0], bogus=1)
    # The function's own errors come through the code unchanged.
    with pytest.raises(TypeError) as info:
        types.FunctionType(code, vs.__dict__)(*(["x"] + [1] * (argcount - 1)))
    assert str(info.value) == "Argument 'input_list' has incorrect type (expected list, got str)"


@FUNCTIONS
def test_code_object_under_introspection_and_tracing(f, name, doc, argcount, varnames, defaults, signature):
    code = f.__code__
    lines = {line for _, line in dis.findlinestarts(code) if line}
    assert lines and min(lines) >= code.co_firstlineno and max(lines) <= code.co_firstlineno + 3
    assert dis.Bytecode(f).codeobj is code and "IMPORT_NAME" in dis.Bytecode(f).dis()
    assert marshal.loads(marshal.dumps(code)) == code
    if hasattr(code, "replace"):
        assert code.replace(co_name="x").co_varnames == varnames
    events = []

    def tracer(frame, event, arg):
        if frame.f_code is code:
            events.append(event)
            if event == "return":
                assert sorted(frame.f_locals) == sorted(varnames)
        return tracer

    sys.settrace(tracer)
    try:
        result = types.FunctionType(code, vs.__dict__)(*_args(argcount))
    finally:
        sys.settrace(None)
    assert result == [1.0, 2.5, 3.0]
    assert events[0] == "call" and events[-1] == "return" and "line" in events


def test_defaults_can_be_written_but_calls_keep_minus_one(restore_attributes, monkeypatch):
    fake = FakeMultiprocessing(2)
    monkeypatch.setattr(vs, "multiprocessing", fake)
    big = [float(-i) for i in range(20000)]
    for attribute, value in [("__defaults__", (4,)), ("__defaults__", None), ("__defaults__", ("x",)),
                             ("__kwdefaults__", {"num_threads": 3}), ("__kwdefaults__", None)]:
        with pytest.warns(RuntimeWarning) as caught:
            setattr(vs.supersort, attribute, value)
        assert [str(w.message) for w in caught] == \
            ["changes to %s will not affect the values used in function calls" % attribute]
        assert getattr(vs.supersort, attribute) == value
        fake.calls = 0
        assert vs.supersort(big) == sorted(big)
        assert fake.calls == 1                  # num_threads was -1
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        vs.sort.__defaults__ = ([5],)
    with pytest.raises(TypeError) as info:
        vs.sort()
    assert str(info.value) == "sort() takes exactly 1 positional argument (0 given)"


def test_defaults_write_refused(restore_attributes):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            vs.supersort.__defaults__ = (2,)
        with pytest.raises(RuntimeWarning):
            vs.supersort.__kwdefaults__ = {}
    assert vs.supersort.__defaults__ == (-1,) and vs.supersort.__kwdefaults__ is None
    for attribute, value, message in [
            ("__defaults__", [-1], "__defaults__ must be set to a tuple object"),
            ("__defaults__", {}, "__defaults__ must be set to a tuple object"),
            ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object")]:
        with pytest.raises(TypeError) as info:
            setattr(vs.supersort, attribute, value)
        assert str(info.value) == message
    assert vs.supersort.__defaults__ == (-1,) and vs.supersort.__kwdefaults__ is None


def _python_function():
    pass


@pytest.mark.parametrize("attribute, value", [
    ("__name__", 1), ("__name__", None), ("__qualname__", b"x"), ("__annotations__", []),
    ("__dict__", 1), ("__globals__", {}), ("__closure__", None),
])
def test_attribute_writes_refused_like_a_python_function(restore_attributes, attribute, value):
    with pytest.raises(Exception) as expected:
        setattr(_python_function, attribute, value)
    with pytest.raises(expected.type) as info:
        setattr(vs.sort, attribute, value)
    if expected.type is TypeError:
        assert str(info.value) == str(expected.value)


def test_attribute_writes_accepted(restore_attributes):
    vs.sort.__name__ = "renamed"
    vs.sort.__qualname__ = "Outer.renamed"
    vs.sort.__doc__ = None
    vs.sort.__module__ = "elsewhere"
    vs.sort.__annotations__ = {"input_list": list}
    vs.sort.__dict__ = {"tag": 1}
    vs.sort.extra = 2
    assert (vs.sort.__name__, vs.sort.__qualname__, vs.sort.__doc__, vs.sort.__module__) == \
        ("renamed", "Outer.renamed", None, "elsewhere")
    assert vs.sort.__annotations__ == {"input_list": list}
    assert vs.sort.__dict__ == {"tag": 1, "extra": 2} and vs.sort.tag == 1
    assert re.match(r"<velmorasort function Outer\.renamed at 0x", repr(vs.sort))
    assert vs.sort.__reduce__() == "Outer.renamed"
    assert vs.sort([2, 1]) == [1.0, 2.0]


@pytest.mark.parametrize("f", [vs.sort, vs.supersort])
def test_pickle_and_copy_by_reference(f):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_binds_to_instances_like_a_python_function():
    class Holder:
        sort = vs.sort
        supersort = vs.supersort
        static = staticmethod(vs.sort)

    holder = Holder()
    assert Holder.sort is vs.sort and Holder.sort([2, 1]) == [1.0, 2.0]
    bound = holder.sort
    assert bound.__self__ is holder and bound.__func__ is vs.sort
    assert str(inspect.signature(holder.supersort)) == "(num_threads=-1)"
    assert holder.static([2, 1]) == [1.0, 2.0]
    with pytest.raises(TypeError) as info:
        holder.sort()
    assert str(info.value) == "Argument 'input_list' has incorrect type (expected list, got Holder)"
    with pytest.raises(TypeError) as info:
        holder.sort([1])
    assert str(info.value) == "sort() takes exactly 1 positional argument (2 given)"
    with pytest.raises(TypeError) as info:
        holder.supersort(num_threads=1, input_list=[])
    assert str(info.value) == "supersort() got multiple values for keyword argument 'input_list'"


@pytest.mark.parametrize("f", [vs.sort, vs.supersort])
def test_gc_and_weakref(f):
    assert gc.is_tracked(f)
    lazy = (f.__dict__, f.__annotations__)      # made on first read
    referents = gc.get_referents(f)
    for held in (vs.__dict__, f.__code__) + lazy:
        assert any(r is held for r in referents)
    ref = weakref.ref(f)
    assert ref() is f
    gc.collect()
    assert ref() is f and f([2, 1]) == [1.0, 2.0]


@pytest.mark.parametrize("f", [vs.sort, vs.supersort])
def test_collected_in_a_cycle(f):
    """A function held only by a cycle through its own dictionary and a name
    that refers back is cleared and freed by the collector."""
    proc = run_python("""
import gc, json, weakref
import velmorasort, velmorasort.VelmoraSort as m

class Name(str):
    pass

f = m.%(name)s
code = f.__code__
del m.%(name)s, velmorasort.%(name)s
f.me = f
f.__name__ = Name("cycle")
f.__name__.back = f
gone = []
ref = weakref.ref(f, lambda r: gone.append(1))
del f
gc.collect()
print(json.dumps([ref() is None, gone, code.co_name, m.sort([2, 1]) if "sort" in vars(m) else None]))
""" % {"name": f.__name__}, env={"PYTHONMALLOC": "debug"})
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [True, [1], f.__name__, [1.0, 2.0] if f is vs.supersort else None]


@FUNCTIONS
def test_cleared_function_stays_safe(faulty, f, name, doc, argcount, varnames, defaults, signature):
    """What the collector's clear leaves behind: every attribute, repr,
    pickling and calls give a value or a clear exception."""
    out = faulty.run("""
import copy, inspect, json, pickle, re, weakref
import velmorasort.VelmoraSort as m
f = m.%s
code, ref = f.__code__, weakref.ref(f)
f.__dict__["x"] = 1
m._clear_function(f)
m._clear_function(f)                       # twice is the same
try:
    pickle.dumps(f)
    pickled = "pickled"
except (pickle.PicklingError, AttributeError):
    pickled = "refused"
try:
    m._clear_function(len)
    refused = None
except TypeError as e:
    refused = str(e)
print(json.dumps([
    f.__name__, f.__qualname__, f.__module__, f.__globals__ is None, f.__code__ is code, f.__defaults__,
    f.__kwdefaults__, f.__doc__, f.__dict__, f.__annotations__, f._is_coroutine, f.__closure__,
    bool(re.match(r"<velmorasort function  at 0x[0-9a-fA-F]+>$", repr(f))), f.__reduce__(), copy.copy(f) is f,
    str(inspect.signature(f)), ref() is f, pickled, refused, f([3.0, 1.0, 2.0])]))
""" % name)
    assert json.loads(out) == [
        "", "", None, True, True, None, None, doc, {}, {}, False, None, True, "", True,
        signature.replace("=-1", ""), True, "refused", "expected a velmorasort function", [1.0, 2.0, 3.0]]
