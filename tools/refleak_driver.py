"""Reference and memory-block leak check of every public path of sort and
supersort, for a debug interpreter (sys.gettotalrefcount).

Usage: run through tools/refleaks.sh, which builds the extension for the
debug interpreter and runs

    PYTHONPATH=<build> python3.11-dbg tools/refleak_driver.py [--rounds R] [--calls N]

Each path runs N times per round: three rounds to warm up, then R measured
rounds. A path leaks when sys.gettotalrefcount() or sys.getallocatedblocks()
grows in every measured round. With the fault-injection build (module
globals _fault_arm/_fault_sites) the native-failure paths, the sorter's
failures after a team's sort among them, are measured too. Exits 1 on a leak."""
import argparse
import array
import gc
import math
import random
import sys
import warnings

import velmorasort.VelmoraSort as m
from velmorasort import _kernel

SORT = m.sort
SUPERSORT = m.supersort
_kernel._test_teams(1000, True)   # real teams of the size asked for on the short lists below


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError("%s did not raise %s" % (call, error.__name__))


class ListSub(list):
    pass


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    def __float__(self):
        raise ValueError("no float")


class Emptier:
    """Empties the list it belongs to while being converted."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        del self.owner[:]
        return 1.0


class IntSub(int):
    pass


class IndexLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class NoCpuCount:
    pass


def with_global(name, value, action):
    """Runs action with module global `name` replaced (or deleted: value None)."""
    saved = m.__dict__[name]
    if value is None:
        del m.__dict__[name]
    else:
        m.__dict__[name] = value
    try:
        action()
    finally:
        m.__dict__[name] = saved


def scenarios():
    rng = random.Random(5)
    short = [rng.uniform(-1, 1) for _ in range(300)]
    bucket = [rng.uniform(-1, 1) for _ in range(6000)] + [math.nan, math.inf, -math.inf, 7]
    long = [rng.uniform(-1, 1) for _ in range(21000)] + [math.nan, math.inf]
    equal = [3] * 20000
    nan_first = [math.nan] + bucket
    mixed = [1, True, 2.5, Floaty(-4.0), -0.0, 0]

    def emptied():
        xs = [1.0] * 10
        xs[3] = Emptier(xs)
        SORT(xs)

    def deprecated_int():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            SUPERSORT([], IndexLike(IntSub(2)))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            expect(DeprecationWarning, SUPERSORT, [], IndexLike(IntSub(2)))

    paths = {
        "sort short": lambda: SORT(short),
        "sort mixed types": lambda: SORT(mixed),
        "sort empty and one": lambda: (SORT([]), SORT([2])),
        "sort bucket pass": lambda: SORT(bucket),
        "sort keyword": lambda: SORT(input_list=short),
        "sort shortcut equal": lambda: SORT(equal),
        "sort shortcut nan": lambda: SORT(nan_first),
        "supersort handed to sort": lambda: SUPERSORT(short, 2),
        "supersort team 1": lambda: SUPERSORT(long, 1),
        "supersort team 2": lambda: SUPERSORT(long, num_threads=2),
        "supersort team 3": lambda: SUPERSORT(input_list=long, num_threads=3),
        "supersort default team": lambda: SUPERSORT(long),
        "supersort float num_threads": lambda: SUPERSORT(long, 2.9),
        "supersort shortcut": lambda: SUPERSORT(equal, 2),
        "supersort sort rebound": lambda: with_global("sort", lambda lst: None, lambda: SUPERSORT(short)),
        "supersort sort deleted": lambda: with_global(
            "sort", None, lambda: expect(NameError, SUPERSORT, short)),
        "supersort cpu_count missing": lambda: with_global(
            "multiprocessing", NoCpuCount(), lambda: expect(AttributeError, SUPERSORT, long)),
        "supersort cpu_count result bad": lambda: with_global(
            "multiprocessing", type("M", (), {"cpu_count": staticmethod(lambda: "x")})(),
            lambda: expect(TypeError, SUPERSORT, long)),
        "binding errors": lambda: (
            expect(TypeError, SORT), expect(TypeError, SORT, [], []),
            expect(TypeError, SORT, lst=[]), expect(TypeError, SORT, [], input_list=[]),
            expect(TypeError, SORT, input_list=[], x=1), expect(TypeError, SUPERSORT),
            expect(TypeError, SUPERSORT, [], 1, 2), expect(TypeError, SUPERSORT, [], 1, num_threads=2),
            expect(TypeError, SUPERSORT, [], bogus=1)),
        "type errors": lambda: (
            expect(TypeError, SORT, (1, 2)), expect(TypeError, SORT, ListSub([1])),
            expect(TypeError, SORT, None), expect(TypeError, SUPERSORT, None),
            expect(TypeError, SUPERSORT, "ab", "12")),
        "num_threads errors": lambda: (
            expect(TypeError, SUPERSORT, [], "3"), expect(OverflowError, SUPERSORT, [], 2 ** 31),
            expect(OverflowError, SUPERSORT, [], 2 ** 63), expect(ValueError, SUPERSORT, [], math.nan),
            expect(TypeError, SUPERSORT, [], IndexLike(2.0))),
        "num_threads int subclass": deprecated_int,
        "conversion errors": lambda: (
            expect(TypeError, SORT, [1.0, "x"]), expect(OverflowError, SORT, [10 ** 400]),
            expect(ValueError, SORT, [Raising()]), expect(TypeError, SUPERSORT, short + [None]),
            expect(TypeError, SUPERSORT, long + ["x"], 2)),
        "conversion shortens list": emptied,
    }
    if hasattr(m, "_fault_arm"):
        def failing(countdown, kind, error, call, *args):
            m._fault_arm(countdown, kind)
            try:
                expect(error, call, *args)
            finally:
                m._fault_arm(0, 0)

        # Site counts of each call (with nothing armed), to aim at its last sites.
        def sites(call, *args):
            m._fault_arm(10 ** 12, 0)
            call(*args)
            count = m._fault_sites()
            m._fault_arm(0, 0)
            return count

        def in_reference(call, *args):
            m._reference_mode(True)
            try:
                call(*args)
            finally:
                m._reference_mode(False)

        # The last of a call's sites, counting down from `last`, whose failure
        # the sorter reports (its traceback's innermost entry).
        def sorter_site(last, call, *args):
            for countdown in range(last, 0, -1):
                m._fault_arm(countdown, 0)
                try:
                    call(*args)
                except MemoryError as e:
                    tb = e.__traceback__
                    while tb.tb_next is not None:
                        tb = tb.tb_next
                    if tb.tb_frame.f_code.co_name == "velmorasort.VelmoraSort.sort_internal":
                        return countdown
                finally:
                    m._fault_arm(0, 0)
            raise AssertionError("no sorter site")

        # Both zero signs: their group goes through the sorter, before a team
        # of three sorts the rest in pieces (whose float making has the last
        # sites, one a piece) or as sort does on one thread.
        zeros = long + [0.0, -0.0]
        n_bucket, n_zeros1, n_zeros3 = sites(SORT, bucket), sites(SUPERSORT, zeros, 1), sites(SUPERSORT, zeros, 3)
        sorter3 = sorter_site(n_zeros3, SUPERSORT, zeros, 3)
        n_reference = sites(in_reference, SUPERSORT, long, 2)
        paths.update({
            "fault in conversion": lambda: failing(5, 0, MemoryError, SORT, short),
            "fault in sorter (direct)": lambda: failing(sites(SORT, short) - 1, 0, MemoryError, SORT, short),
            "fault in bucket table": lambda: failing(len(bucket) + 2, 1, RuntimeError, SORT, bucket),
            "fault in bucket sort": lambda: failing(n_bucket - 3, 2, RuntimeError, SORT, bucket),
            "fault in result list": lambda: failing(n_bucket, 0, MemoryError, SORT, bucket),
            "sorter fault, team 1": lambda: failing(n_zeros1 - 1, 0, MemoryError, SUPERSORT, zeros, 1),
            "sorter fault before team 3": lambda: failing(sorter3, 0, MemoryError, SUPERSORT, zeros, 3),
            "float fault while team 3 sorts": lambda: failing(n_zeros3 - 1, 0, MemoryError, SUPERSORT, zeros, 3),
            "reference, fault in a bucket": lambda: failing(
                n_reference - 21, 1, RuntimeError, in_reference, SUPERSORT, long, 2),
            "fault inside delegated sort": lambda: failing(
                sites(SUPERSORT, short) - 1, 0, MemoryError, SUPERSORT, short),
        })
    return paths


def measure(action, calls, rounds):
    """Growth per round after three warm-up rounds. The readings go into a
    preallocated array, so that measuring keeps no objects of its own."""
    total = 3 + rounds
    readings = array.array("q", bytes(16 * total))
    for r in range(total):
        for _ in range(calls):
            action()
        gc.collect()
        readings[2 * r] = sys.gettotalrefcount()
        readings[2 * r + 1] = sys.getallocatedblocks()
    return [(readings[2 * r] - readings[2 * r - 2], readings[2 * r + 1] - readings[2 * r - 1])
            for r in range(3, total)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--calls", type=int, default=20)
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("needs a debug interpreter (python3.11-dbg)")
    print("module:", m.__file__)
    leaks = []
    paths = scenarios()
    for name, action in paths.items():
        deltas = measure(action, args.calls, args.rounds)
        refs = [d[0] for d in deltas]
        blocks = [d[1] for d in deltas]
        leaked = all(d > 0 for d in refs) or all(d > 0 for d in blocks)
        print("%-32s refs %-24s blocks %-24s %s" % (name, refs, blocks, "LEAK" if leaked else "ok"))
        if leaked:
            leaks.append(name)
    print("%d paths, %d calls each per round, %d measured rounds; leaks: %s"
          % (len(paths), args.calls, args.rounds, ", ".join(leaks) or "none"))
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
