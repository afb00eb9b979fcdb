"""Hostile use: every Python-visible object of the package used the ways a
user, a debugger, a profiler or a serialiser can, and Python code that changes
the list wherever it can run during a call. Every case runs in a child
interpreter under a timeout and must end in a right result or a clear
exception, with the caller's list unchanged and the child alive: a crash or a
hang fails its case instead of the run."""
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from support import ROOT, run_python

LINUX = sys.platform.startswith("linux")

# Run first in every child: tracebacks of a crash, and the checks the cases
# share.
PRELUDE = """
import faulthandler, gc, random, sys, threading, time
faulthandler.enable()
import velmorasort
import velmorasort.VelmoraSort as vs

def clear(exc):
    # An internal error is no clear exception.
    assert not isinstance(exc, SystemError), repr(exc)

def check(f, lst, *args, **kwargs):
    # f(lst, ...) gives sorted(lst) or raises; lst is left as it was.
    before = list(lst)
    try:
        result = f(lst, *args, **kwargs)
    except Exception as exc:
        clear(exc)
        result = exc
    else:
        assert result is lst or result == sorted(float(v) for v in before), (f, len(lst))
    assert len(lst) == len(before) and all(a is b for a, b in zip(lst, before)), "list changed"
    return result

def still_sorts():
    rng = random.Random(1)
    for n in (10, 6000, 40000):
        xs = [rng.random() for _ in range(n)]
        assert vs.sort(xs) == sorted(xs) and vs.supersort(xs, 2) == sorted(xs), n
"""


def outcome(proc):
    if proc.returncode < 0:
        return "killed by %s\n%s" % (signal.Signals(-proc.returncode).name, proc.stderr[-4000:])
    return "exit %d\n%s\n%s" % (proc.returncode, proc.stdout[-2000:], proc.stderr[-4000:])


def run_case(code, timeout=120, env=None):
    """Runs PRELUDE and `code` in a child, which must print "ok" last."""
    try:
        proc = run_python(PRELUDE + textwrap.dedent(code), timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail("the child hung (no end within %d s)" % timeout)
    assert proc.returncode == 0 and proc.stdout.split()[-1:] == ["ok"], outcome(proc)
    return proc


# ------------------------------------------------- the objects themselves ----

# Every object the package shows, by a name a child can evaluate.
OBJECTS = """
OBJECTS = {
    "package": velmorasort, "module": vs, "kernel module": velmorasort._kernel,
    "sort": vs.sort, "supersort": vs.supersort, "function type": type(vs.sort),
    "sort code": vs.sort.__code__, "supersort code": vs.supersort.__code__,
    "kernel_info": velmorasort.kernel_info, "describe": velmorasort._describe_kernel,
    "restrict_instruction_set": velmorasort._kernel.restrict_instruction_set,
    "globals": vs.__dict__, "module test dict": vs.__test__,
}
"""

RUN_CODE_OBJECTS = OBJECTS + """
import marshal, types, warnings
warnings.simplefilter("ignore")

def right_or_clear(label, run, values=None):
    lst = list(values) if values is not None else None
    try:
        result = run(lst) if values is not None else run()
    except Exception as exc:
        clear(exc)
        return
    if values is not None:
        assert result == sorted(values) or result is lst, (label, result)
        assert lst == values, label

for name in ("sort", "supersort"):
    f = OBJECTS[name]
    code = f.__code__
    variants = {"as is": code, "marshal": marshal.loads(marshal.dumps(code))}
    if hasattr(code, "replace"):
        variants["replaced"] = code.replace(co_name="renamed")
    for label, c in variants.items():
        for globs in ({}, vs.__dict__, {"__builtins__": __builtins__}, dict(vs.__dict__)):
            g = types.FunctionType(c, globs)
            right_or_clear((name, label), g, [3.0, 1.0, 2.0])
            right_or_clear((name, label), g, [float(i % 7) for i in range(30000)])
            right_or_clear((name, label), lambda: g())
            right_or_clear((name, label), lambda: g([2.0, 1.0], 2, 3))
            right_or_clear((name, label), lambda: types.FunctionType(c, globs, "x", (None, 1))())
            right_or_clear((name, label), lambda: exec(c, globs))
            right_or_clear((name, label), lambda: eval(c, globs, {"input_list": [2.0, 1.0]}))
        right_or_clear((name, label), lambda: exec(c))
still_sorts()
print("ok")
"""


def test_running_the_code_objects():
    """types.FunctionType over each code object (empty globals, the module's,
    copies, after marshal and replace), exec and eval of it: a right result
    or a Python exception."""
    run_case(RUN_CODE_OBJECTS)


INTROSPECTION = OBJECTS + """
import copy, dis, inspect, io, pickle, warnings, weakref
warnings.simplefilter("ignore")

def attempt(action):
    try:
        return action()
    except Exception as exc:
        clear(exc)

out = io.StringIO()
for label, obj in OBJECTS.items():
    attempt(lambda: repr(obj)); attempt(lambda: str(obj)); attempt(lambda: hash(obj))
    attempt(lambda: dir(obj)); attempt(lambda: vars(obj)); attempt(lambda: sys.getsizeof(obj))
    attempt(lambda: gc.get_referents(obj)); attempt(lambda: gc.get_referrers(obj))
    attempt(lambda: gc.is_tracked(obj))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copied = attempt(lambda: pickle.loads(pickle.dumps(obj, protocol)))
        if label in ("sort", "supersort", "kernel_info"):
            assert copied is obj, (label, protocol)
        attempt(lambda: obj.__reduce_ex__(protocol))
    attempt(lambda: obj.__reduce__())
    for c in (copy.copy, copy.deepcopy):
        made = attempt(lambda: c(obj))
        if label in ("sort", "supersort", "function type"):
            assert made is obj, (label, c)
        assert made is None or made is obj or label in ("globals", "module test dict"), (label, c)
    ref = attempt(lambda: weakref.ref(obj))
    assert ref is None or ref() is obj, label
    attempt(lambda: weakref.proxy(obj))
    for what in (inspect.signature, inspect.getsource, inspect.getsourcefile, inspect.getfile,
                 inspect.getmodule, inspect.getdoc, inspect.getcomments, inspect.getclosurevars,
                 inspect.getmembers, inspect.unwrap, inspect.isroutine, inspect.getfullargspec):
        attempt(lambda: what(obj))
    for what in (dis.dis, dis.show_code, dis.code_info):
        attempt(lambda: what(obj, file=out) if what is not dis.code_info else what(obj))
    attempt(lambda: list(dis.get_instructions(obj)))
    attempt(lambda: dis.Bytecode(obj).info())
    attempt(lambda: list(dis.findlinestarts(obj)))
    # Every attribute, read and, where callable, called with a few arguments.
    for name in attempt(lambda: dir(obj)) or ():
        value = attempt(lambda: getattr(obj, name))
        attempt(lambda: repr(value))
        if callable(value) and name not in ("__init_subclass__", "__subclasshook__", "clear",
                                             "popitem", "pop", "update", "setdefault", "__delitem__",
                                             "__setitem__", "__ior__", "__init__", "__delattr__",
                                             "__setattr__", "__class__", "__set_name__"):
            for args in ((), (None,), (obj,), (0,), (-1,), (1, 2)):
                attempt(lambda: value(*args))
for f in (vs.sort, vs.supersort):
    kind = type(f)
    attempt(lambda: kind()); attempt(lambda: kind.__new__(kind)); attempt(lambda: object.__new__(kind))
    attempt(lambda: type("Sub", (kind,), {}))
    attempt(lambda: f.__get__(None, None)); attempt(lambda: f.__get__(1)([2.0]))
    attempt(lambda: setattr(f, "__code__", (lambda input_list: 0).__code__))
    attempt(lambda: f.__dict__.__setitem__("self", f))
still_sorts()
assert vs.sort([2, 1.5]) == [1.5, 2.0]
print("ok")
"""


def test_introspection_serialisation_and_every_attribute():
    """repr, dir, gc's views, pickle in every protocol, __reduce__ and
    __reduce_ex__, copy, deepcopy, weakref, inspect, dis, and every attribute
    read and called: each gives a value or a clear exception, and the
    functions still sort afterwards."""
    run_case(INTROSPECTION, timeout=180)


CALLING = """
import functools, operator
rng = random.Random(4)
lists = [[], [1.0], [3, 1.5, True], [rng.random() for _ in range(6000)], [2.0] * 6000,
         [rng.uniform(-1, 1) for _ in range(50000)], [7] * 25000]
for xs in lists:
    for call in (lambda l: vs.sort(l), lambda l: vs.sort(input_list=l), lambda l: vs.sort(*[l]),
                 lambda l: vs.sort(**{"input_list": l}), lambda l: vs.sort.__call__(l),
                 lambda l: type(vs.sort).__call__(vs.sort, l), functools.partial(vs.sort),
                 lambda l: list(map(vs.sort, [l]))[0], lambda l: vs.supersort(l),
                 lambda l: vs.supersort(l, 1), lambda l: vs.supersort(l, num_threads=2),
                 lambda l: vs.supersort(num_threads=3, input_list=l), lambda l: vs.supersort(l, 0),
                 lambda l: vs.supersort(l, 2 ** 31 - 1), lambda l: vs.supersort(l, -2 ** 31),
                 lambda l: vs.supersort(l, True), functools.partial(vs.supersort, num_threads=2),
                 lambda l: vs.supersort.__get__(l)()):
        result = check(call, xs)
        assert not isinstance(result, Exception), (call, result)
for bad in (lambda l: vs.sort(l, l), lambda l: vs.sort(input_list=l, x=1), lambda l: vs.supersort(l, 2 ** 31),
            lambda l: vs.supersort(l, "2"), lambda l: vs.sort(tuple(l)),
            lambda l: vs.supersort(l, num_threads=None), lambda l: vs.sort(type("L", (list,), {})(l))):
    assert isinstance(check(bad, [2.0, 1.0]), Exception), bad
if hasattr(operator, "call"):
    assert operator.call(vs.sort, [2, 1]) == [1.0, 2.0]
print("ok")
"""


def test_every_way_of_calling():
    run_case(CALLING)


# Functions kept in cycles with objects whose finalisers use them, left to
# the collector and to the interpreter's exit.
FINALISERS = """
class Poker:
    def __init__(self, f):
        self.f, self.me = f, self
    def __del__(self):
        f = self.f
        for action in (lambda: repr(f), lambda: f.__reduce__(), lambda: f.__code__, lambda: f.__globals__,
                       lambda: f.__dict__, lambda: f.__name__, lambda: f([2.0, 1.0])):
            try:
                action()
            except Exception as exc:
                clear(exc)

for f in (vs.sort, vs.supersort):
    f.__dict__["poker"] = Poker(f)
    Poker(f)
gc.collect()
vs.kept = Poker(vs.supersort)
print("ok")
"""


def test_finalisers_that_use_the_functions():
    run_case(FINALISERS)


# ------------------------------------------------------ watchers of calls ----

TRACING = """
import warnings
warnings.simplefilter("ignore")
events = []

class Value:
    def __init__(self, v):
        self.v = v
    def __float__(self):
        x = self.v       # a line to trace
        return x

class Counter:
    def cpu_count(self):
        return 2

rng = random.Random(6)
def workload():
    vs.multiprocessing = Counter()
    try:
        for n in (100, 6000, 25000, 40000):
            xs = [rng.random() for _ in range(n)] + [Value(0.5), 3]
            for f, args in ((vs.sort, ()), (vs.supersort, ()), (vs.supersort, (2,)), (vs.supersort, (-1,))):
                result = check(f, xs, *args)
                assert not isinstance(result, Exception), result
        assert check(vs.sort, [1.0] * 6000 + [Value(1.0)]) is not None
    finally:
        import multiprocessing
        vs.multiprocessing = multiprocessing

def tracer(frame, event, arg):
    events.append(event)
    if event == "call" and frame.f_code.co_name == "__float__":
        frame.f_back and frame.f_back.f_locals    # the caller's frame, whatever it is
        sys._getframe().f_back
    return tracer

def profiler(frame, event, arg):
    events.append(event)
    if event in ("c_call", "c_return") and arg is vs.sort:
        repr(arg)

for install, remove in ((lambda: sys.settrace(tracer), lambda: sys.settrace(None)),
                        (lambda: sys.setprofile(profiler), lambda: sys.setprofile(None)),
                        (lambda: threading.settrace(tracer), lambda: threading.settrace(None)),
                        (lambda: threading.setprofile(profiler), lambda: threading.setprofile(None))):
    install()
    try:
        workload()
        t = threading.Thread(target=workload)
        t.start(); t.join(60)
    finally:
        remove()
assert events

# A tracer that raises inside a __float__: the call fails with its exception.
def raising(frame, event, arg):
    if event == "call" and frame.f_code.co_name == "__float__":
        raise LookupError("from the tracer")
    return raising
xs = [1.5] * 30 + [Value(0.5)] + [2.5] * 30000
for f in (vs.sort, vs.supersort):
    sys.settrace(raising)
    try:
        result = check(f, xs)
    finally:
        sys.settrace(None)
    assert isinstance(result, LookupError), result

if hasattr(sys, "monitoring"):
    mon = sys.monitoring
    TOOL = 5
    mon.use_tool_id(TOOL, "hostile")
    seen = []
    def callback(*args):
        seen.append(args[0] if args else None)
        if len(seen) % 3 == 0:
            vs.sort([3.0, 2.0, 1.0])      # our own call from inside a callback
        return None
    wanted = 0
    for name in ("PY_START", "PY_RETURN", "CALL", "C_RETURN", "C_RAISE", "LINE", "RAISE",
                 "PY_UNWIND", "INSTRUCTION", "JUMP", "BRANCH"):
        event = getattr(mon.events, name, 0)
        if event:
            mon.register_callback(TOOL, event, callback)
            wanted |= event
    mon.set_events(TOOL, wanted)
    try:
        workload()
        result = check(vs.supersort, xs)
        assert isinstance(result, Exception) or result is not None
    finally:
        mon.set_events(TOOL, 0)
        mon.free_tool_id(TOOL)
    assert seen
still_sorts()
print("ok")
"""


def test_tracers_profilers_and_monitoring_during_calls():
    """sys.settrace, sys.setprofile, their threading forms and sys.monitoring
    (3.12 and later) watch calls whose reading and team sizing run Python
    code; one tracer raises from inside a __float__."""
    run_case(TRACING, timeout=240)


MEMORY_TOOLS = """
import os, signal, tracemalloc
tracemalloc.start(10)
rng = random.Random(7)
class Value:
    def __init__(self, v):
        self.v = v
    def __float__(self):
        return self.v
class Raising:
    def __float__(self):
        raise ValueError("no value")
watcher_stop = threading.Event()
def dump_all():
    with open(os.devnull, "w") as sink:
        while not watcher_stop.is_set():
            faulthandler.dump_traceback(file=sink, all_threads=True)
            time.sleep(0.001)
watcher = threading.Thread(target=dump_all)
watcher.start()
try:
    for n in (10, 6000, 40000):
        xs = [rng.uniform(-1, 1) for _ in range(n)]
        for extra in ([], [Value(0.25)], [Raising()], [10 ** 400], [2] * 3, [1.0] * 5):
            lst = xs + extra
            for f, args in ((vs.sort, ()), (vs.supersort, ()), (vs.supersort, (2,)), (vs.supersort, (3,))):
                check(f, lst, *args)
        check(vs.sort, [0.5] * n)
        check(vs.supersort, [0.5] * n)
        snapshot = tracemalloc.take_snapshot()
        snapshot.statistics("traceback")[:3]
finally:
    watcher_stop.set()
    watcher.join(30)
tracemalloc.stop()
# faulthandler's own signal, dumping every thread's stack from whichever
# thread takes it (a team member, maybe) while a team runs. (Its watchdog's
# timed dumps are left out: they read a running Python thread's frames
# without the lock, which no extension can make safe.)
# The signal comes from a timer of the kernel's, not a thread: on 3.7 the
# handler walks the thread states while an exiting thread frees its own,
# which crashes the interpreter with or without this module.
if hasattr(faulthandler, "register") and hasattr(signal, "setitimer"):
    with open(os.devnull, "w") as sink:
        faulthandler.register(signal.SIGALRM, file=sink, all_threads=True)
        xs = [rng.random() for _ in range(1000000)]
        for delay in (0.0001, 0.002, 0.01, 0.03):
            signal.setitimer(signal.ITIMER_REAL, delay)
            assert vs.supersort(xs, 2) == sorted(xs)
            signal.setitimer(signal.ITIMER_REAL, 0)
        faulthandler.unregister(signal.SIGALRM)
still_sorts()
print("ok")
"""


@pytest.mark.parametrize("allocator", ["default", "debug"])
def test_memory_tools_during_calls(allocator):
    """tracemalloc tracing every allocation, faulthandler dumping every
    thread's stack from a Python thread and from its signal while teams run,
    and the debug allocator (PYTHONMALLOC=debug) checking every block."""
    env = {"PYTHONMALLOC": "debug"} if allocator == "debug" else {}
    run_case(MEMORY_TOOLS, timeout=300, env=env)


# A thread walks every object the collector tracks (or every referrer of the
# list's values) and copies each list of the result's length while calls run:
# no thread may ever reach a list that is not yet full.
WALKERS = """
N = 300000
rng = random.Random(8)
xs = [rng.random() for _ in range(N)]
expected = sorted(xs)
stop = threading.Event()
walks = [0]
def objects_walker():
    while not stop.is_set():
        for o in gc.get_objects():
            if type(o) is list and len(o) == N and o is not xs:
                o[:]
        walks[0] += 1
def referrers_walker():
    probes = xs[:3]
    while not stop.is_set():
        for o in gc.get_referrers(*probes):
            if type(o) is list:
                o[:]
        walks[0] += 1
walkers = [threading.Thread(target=w) for w in (objects_walker, referrers_walker)]
for w in walkers:
    w.start()
try:
    deadline = time.monotonic() + 20
    for i in range(12):
        for f, args in ((vs.supersort, (2,)), (vs.supersort, ()), (vs.sort, ()), (vs.supersort, (1,))):
            assert f(xs, *args) == expected, (f, args)
        if time.monotonic() > deadline:
            break
finally:
    stop.set()
    for w in walkers:
        w.join(60)
assert walks[0] > 0
print("ok")
"""


def test_collector_walkers_during_calls():
    run_case(WALKERS, timeout=240)


# ---------------------------------------------------------- signals ----

SIGINT_DURING_TEAMS = """
import os, signal
# A child started in the background of a shell inherits SIGINT ignored, and
# the interpreter then installs no handler of its own.
signal.signal(signal.SIGINT, signal.default_int_handler)
rng = random.Random(9)
xs = [rng.random() for _ in range(1000000)]
expected = sorted(xs)
before = list(xs)
results, interrupts = [], [0]
for delay in (0.0, 0.0005, 0.002, 0.005, 0.01, 0.02, 0.04):
    for team in (2, 3, -1):
        timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
        try:
            timer.start()
            results.append(vs.supersort(xs, team) == expected)
            time.sleep(0.2)           # the interrupt lands here at the latest
        except KeyboardInterrupt:
            interrupts[0] += 1
        finally:
            timer.join()
assert all(results) and interrupts[0] > 0, (results, interrupts)
assert all(a is b for a, b in zip(xs, before)) and len(xs) == len(before)

# A handler that sorts and changes a list while a __float__ waits for it.
class Slow:
    def __float__(self):
        time.sleep(0.05)
        return 0.5
victims = [[rng.random() for _ in range(25000)] + [Slow()] for _ in range(2)]
def handler(signum, frame):
    assert vs.supersort(xs, 2) == expected and vs.sort(xs[:100]) == sorted(xs[:100])
    victims[0].append(0.75)
signal.signal(signal.SIGINT, handler)
for victim in victims:
    timer = threading.Timer(0.01, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    result = vs.supersort(victim, 2)
    timer.join()
    assert result == sorted(float(v) for v in victim) or result == sorted(float(v) for v in victim[:-1])
print("ok")
"""


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or sys.platform == "win32",
                    reason="needs os.kill with SIGINT")
def test_sigint_during_a_team():
    run_case(SIGINT_DURING_TEAMS, timeout=240)


# ----------------------------------------------- fork, spawn, forkserver ----

OTHER_OPENMP_USER = r"""
#include <omp.h>
int other_team(void) {
    int members = 0;
#pragma omp parallel num_threads(2)
    {
#pragma omp atomic
        members++;
    }
    return members;
}
"""

AFTER_OTHER_OPENMP = """
import ctypes, multiprocessing, random, sys

def work(queue):
    import velmorasort
    rng = random.Random(10)
    xs = [rng.random() for _ in range(400000)]
    queue.put(velmorasort.supersort(xs, num_threads=2) == sorted(xs))

if __name__ == "__main__":
    library, method, first = sys.argv[1], sys.argv[2], sys.argv[3]
    assert ctypes.CDLL(library).other_team() == 2
    if first == "import":
        import velmorasort
    elif first == "team":
        import velmorasort
        assert velmorasort.supersort([float(i % 91) for i in range(100000)], 2)[-1] == 90.0
    context = multiprocessing.get_context(method)
    queue = context.Queue()
    child = context.Process(target=work, args=(queue,))
    child.start()
    child.join(60)
    if child.is_alive():
        child.kill()
        child.join()
        print("the child hung")
        sys.exit(1)
    print("child exit", child.exitcode, "sorted", queue.get(timeout=5) if child.exitcode == 0 else None)
"""


@pytest.fixture(scope="module")
def other_openmp_user(tmp_path_factory):
    folder = tmp_path_factory.mktemp("other_openmp")
    source = folder / "other.c"
    source.write_text(OTHER_OPENMP_USER)
    library = folder / "libother.so"
    try:
        subprocess.run(["gcc", "-fopenmp", "-shared", "-fPIC", "-o", str(library), str(source)],
                       check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    except (OSError, subprocess.CalledProcessError) as exc:
        pytest.skip("no gcc with OpenMP to build the other library: %s" % exc)
    script = folder / "after_other_openmp.py"
    script.write_text(textwrap.dedent(AFTER_OTHER_OPENMP))
    return str(library), str(script)


@pytest.mark.skipif(not LINUX, reason="GCC's OpenMP runtime and fork, as on Linux")
@pytest.mark.parametrize("first", ["import", "team", "nothing"])
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_child_processes_after_another_openmp_user(other_openmp_user, method, first):
    """Another library ran an OpenMP team in the parent; the parent imported
    velmorasort (and ran a team of its own), or not; then a child made by
    each start method sorts 400,000 floats on a team of two."""
    library, script = other_openmp_user
    try:
        proc = subprocess.run([sys.executable, script, library, method, first], cwd=os.path.dirname(ROOT),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("the parent hung")
    assert proc.returncode == 0 and "child exit 0 sorted True" in proc.stdout, outcome(proc)


# ------------------------------------------- Python code changing the list ----

# A pure-Python model of what a call must give with lists that change while
# it runs: the read walks the list by index as a `for` loop does; supersort
# hands short lists to the module global sort and asks cpu_count where
# num_threads leaves it; the shortcut returns the caller's list only where it
# still holds exactly the elements read, else a new list of the values read.
MUTATION_MODEL = """
import multiprocessing
ORIGINAL_SORT = vs.sort

def shortcut_values(values):
    numbers = [v for v in values if v == v]
    return all(v == numbers[0] for v in numbers)

def model(name, lst, num_threads=-1):
    n = len(lst)
    read, values = [], []
    i = 0
    while i < len(lst):
        x = lst[i]
        read.append(x)
        values.append(float(x))
        i += 1
    if name == "supersort":
        if n <= 19999:
            found = vs.__dict__["sort"]
            return model("sort", lst) if found is ORIGINAL_SORT else found(lst)
        if num_threads <= 0:
            vs.multiprocessing.cpu_count()
    if n > (4999 if name == "sort" else 19999) and shortcut_values(values):
        if len(lst) == len(read) and all(a is b for a, b in zip(lst, read)):
            return lst
        return values
    return sorted(values)

def run(call, lst):
    try:
        result = call(lst)
    except Exception as exc:
        clear(exc)
        return ("raised", type(exc).__name__), lst
    if result is lst:
        return ("the list itself",), lst
    assert type(result) is list and all(type(v) is float for v in result), result[:5]
    return ("new list", result), lst

def state(lst):
    return [(type(x).__name__, float(x)) for x in lst]

class Hook:
    # Runs its action once, the first time its value is asked for.
    def __init__(self, value, action):
        self.value, self.action = value, action
    def fire(self):
        action, self.action = self.action, None
        if action is not None:
            action()

class AsFloat(Hook):
    def __float__(self):
        self.fire()
        return float(self.value)

class AsIndex(Hook):
    def __index__(self):
        self.fire()
        return int(self.value)

class AsInt(Hook):
    def __int__(self):
        self.fire()
        return int(self.value)

def mutations(lst):
    # Each changes the list the way its name says.
    return {
        "none": lambda: None,
        "first to 5.0": lambda: lst.__setitem__(0, 5.0),
        "first to an equal new float": lambda: lst.__setitem__(0, float(lst[0]) + 0.0),
        "last to an equal new float": lambda: lst.__setitem__(-1, float(lst[-1]) + 0.0),
        "append 5.0": lambda: lst.append(5.0),
        "append an equal value": lambda: lst.append(float(lst[0])),
        "pop front": lambda: lst.pop(0),
        "pop back": lambda: lst.pop(),
        "clear": lambda: lst.clear(),
        "grow": lambda: lst.extend([2.0] * 5000),
        "reverse": lambda: lst.reverse(),
        "sort": lambda: lst.sort(key=float),
        "all to 3.0": lambda: lst.__setitem__(slice(None), [3.0] * len(lst)),
    }

def build(size, base, kind, where, mutation):
    # The list, with one hook element at `where` that makes `mutation` (or,
    # for where None, a plain list whose mutation is returned for a caller).
    rng = random.Random(size)
    lst = [1.0] * size if base == "equal" else [float(rng.randrange(1, 10 ** 6)) for _ in range(size)]
    action = mutations(lst)[mutation]
    if where is not None:
        at = min(where, size - 1) if where >= 0 else size + where
        lst[at] = (AsFloat if kind == "__float__" else AsIndex)(lst[at], action)
    return lst, action
"""

MUTATING_CONVERSIONS = MUTATION_MODEL + """
TARGET = sys.argv[1] if len(sys.argv) > 1 else "TARGET_NAME"
name, threads = {"sort": ("sort", None), "supersort 1": ("supersort", 1),
                 "supersort 2": ("supersort", 2), "supersort -1": ("supersort", -1)}[TARGET]
call = (lambda l: vs.sort(l)) if threads is None else (lambda l: vs.supersort(l, threads))
model_call = (lambda l: model("sort", l)) if threads is None else (lambda l: model("supersort", l, threads))
failures = []
cases = 0
for size in (100, 6000, 40000):
    for base in ("equal", "distinct"):
        # A float conversion asks __index__ from 3.8 on.
        for kind in ("__float__", "__index__") if sys.version_info >= (3, 8) else ("__float__",):
            for where in sorted({0, size // 2, 16384 if size > 16384 else 0, -1}):
                for mutation in mutations([]):
                    make = lambda: build(size, base, kind, where, mutation)
                    lst, _ = make()
                    got = run(call, lst)
                    got_after = state(lst)
                    other, _ = make()
                    want = run(model_call, other)
                    cases += 1
                    if got[0] != want[0] or got_after != state(other):
                        failures.append((size, base, kind, where, mutation, got[0][:1], want[0][:1]))
assert cases > (500 if sys.version_info >= (3, 8) else 250)
assert not failures, "%d of %d differ, e.g. %s" % (len(failures), cases, failures[:6])
print("ok")
"""


@pytest.mark.parametrize("target", ["sort", "supersort 1", "supersort 2", "supersort -1"])
def test_a_mutating_float_or_index_at_every_point_of_the_read(target):
    """An element whose __float__ (or __index__) changes the list, first, in
    the middle, at a team's read slice edge and last, in lists that take each
    path (direct, shortcut, hand-over, team): the result, and the list after
    the call, are those of the model; the list itself comes back only where
    it still holds what was read."""
    run_case(MUTATING_CONVERSIONS.replace("TARGET_NAME", target), timeout=300)


MUTATING_CALLS_AFTER_THE_READ = MUTATION_MODEL + """
class Counter:
    def __init__(self, action):
        self.action = action
    def cpu_count(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return 2

failures = []
cases = 0
for size in (25000, 40000):
    for base in ("equal", "distinct"):
        for mutation in mutations([]):
            outcomes = []
            for call in (lambda l: vs.supersort(l), lambda l: model("supersort", l, -1)):
                lst, action = build(size, base, None, None, mutation)
                vs.multiprocessing = Counter(action)
                try:
                    outcomes.append((run(call, lst)[0], state(lst)))
                finally:
                    vs.multiprocessing = multiprocessing
            cases += 1
            if outcomes[0] != outcomes[1]:
                failures.append(("cpu_count", size, base, mutation, outcomes[0][0][:1], outcomes[1][0][:1]))

# The module global sort, which supersort hands short lists, changes the list
# before it sorts it; then the same with a num_threads whose __int__ does.
for size in (100, 6000, 19999):
    for base in ("equal", "distinct"):
        for mutation in mutations([]):
            outcomes = []
            for call in (lambda l: vs.supersort(l), lambda l: model("supersort", l, -1)):
                lst, action = build(size, base, None, None, mutation)
                def changing_sort(l, action=action):
                    action()
                    return ORIGINAL_SORT(l)
                vs.sort = changing_sort
                try:
                    outcomes.append((run(call, lst)[0], state(lst)))
                finally:
                    vs.sort = ORIGINAL_SORT
            cases += 1
            if outcomes[0] != outcomes[1]:
                failures.append(("global sort", size, base, mutation, outcomes[0][0][:1], outcomes[1][0][:1]))
for size in (6000, 40000):
    for mutation in mutations([]):
        outcomes = []
        for call in (vs.supersort, lambda l, t: (int(t), model("supersort", l, 2))[1]):
            lst, action = build(size, "equal", None, None, mutation)
            outcomes.append((run(lambda l: call(l, AsInt(2, action)), lst)[0], state(lst)))
        cases += 1
        if outcomes[0] != outcomes[1]:
            failures.append(("num_threads", size, mutation, outcomes[0][0][:1], outcomes[1][0][:1]))
assert not failures, "%d of %d differ, e.g. %s" % (len(failures), cases, failures[:6])
print("ok")
"""


def test_mutating_cpu_count_global_sort_and_num_threads():
    """The Python code a supersort call runs outside the read (cpu_count, the
    module global sort it hands short lists, num_threads' __int__) changes
    the list: results as the model's."""
    run_case(MUTATING_CALLS_AFTER_THE_READ, timeout=300)


CHANGED_BEFORE_THE_SHORTCUT = """
class X:
    def __float__(self):
        L[0] = 5.0
        return 1.0
L = [1.0] * 5999 + [X()]
result = vs.sort(L)
assert result is not L and result == [1.0] * 6000, result[:3]
assert L[0] == 5.0 and type(L[-1]) is X

class Y:
    def __float__(self):
        return 1.0
for n, f in ((6000, vs.sort), (6000, vs.supersort), (30000, vs.supersort)):
    same = [1] * (n - 1) + [Y()]
    assert f(same) is same and type(same[0]) is int, (f, n)        # unchanged: the list itself

class Counter:
    def cpu_count(self):
        M[0] = 5.0
        return 2
import multiprocessing
M = [1.0] * 30000
vs.multiprocessing = Counter()
try:
    result = vs.supersort(M)
finally:
    vs.multiprocessing = multiprocessing
assert result is not M and result == [1.0] * 30000 and M[0] == 5.0, result[:3]
print("ok")
"""


def test_a_list_changed_before_the_shortcut_is_not_returned_as_sorted():
    """sort of 6000 equal values whose last __float__ changes the first, and
    supersort of 30000 whose cpu_count does: a new list of the values read,
    not the changed list. Unchanged lists with __float__ objects still come
    back themselves, ints and all."""
    run_case(CHANGED_BEFORE_THE_SHORTCUT)


# -------------------------------------------------------- small stacks ----

SPLIT_TEAMS_ON_SMALL_STACKS = """
from velmorasort import _kernel
_kernel._test_teams(1000, True)   # teams of three and four on any machine: they split the list
rng = random.Random(12)
xs = [rng.random() for _ in range(200000)]
expected = sorted(xs)
for team in (2, 3, 4):
    assert vs.supersort(xs, team) == expected, team
print("ok")
"""


@pytest.mark.parametrize("stack", ["16K", "64K"])
def test_split_teams_on_small_stacks(faulty, stack):
    """Every stack size the runtime accepts for team threads works, also for
    teams that split the list."""
    env = dict(os.environ, PYTHONPATH=faulty.path, OMP_STACKSIZE=stack)
    try:
        proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(SPLIT_TEAMS_ON_SMALL_STACKS)],
                              cwd=faulty.path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=180)
    except subprocess.TimeoutExpired:
        pytest.fail("the child hung")
    assert proc.returncode == 0 and proc.stdout.split()[-1:] == ["ok"], outcome(proc)
