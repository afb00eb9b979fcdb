"""The lists on which every fast method must give the reference switch's bits
(test_exactness.py's harness, in a child that imports the fault-injection
build): each a (name, values, unique) triple, `unique` where the list has one
ascending order, so sorted() gives its bits too."""
import random
import struct

INF = float("inf")
BIG = 1.7976931348623157e308


def from_bits(u):
    return struct.unpack("<d", struct.pack("<Q", u))[0]


def mixed(rng):
    """Random lists, zero-sign mixes, subnormals, infinities and NaNs around
    every size threshold; one run, its reverse, nearly sorted lists."""
    pool = [0.0, -0.0, 5e-324, -5e-324, INF, -INF, 1.0, -2.5, from_bits(0x7FF8000000000001)]
    for n in (0, 1, 8, 9, 10, 300, 4999, 5000, 20000, 30000):
        yield "uniform %d" % n, [rng.random() for _ in range(n)], True
        yield "pool among uniform %d" % n, [rng.choice(pool) if rng.random() < 0.05 else rng.uniform(-1, 1)
                                            for _ in range(n)], False
        yield "pool %d" % n, [rng.choice(pool) for _ in range(n)], False
        yield "lognormal %d" % n, [rng.lognormvariate(0, 3) for _ in range(n)], True
        if n >= 2:   # NaN first and last, both zero signs
            yield "nan ends, zeros %d" % n, pool[-1:] + [rng.choice(pool[:2] + [rng.uniform(-1, 1)])
                                                       for _ in range(n - 2)] + pool[-1:], False
    yield "one run", [float(i) for i in range(25000)], True
    yield "reversed", [float(-i) for i in range(25000)], True
    for share in (0.005, 0.05, 0.2):   # nearly sorted, some past its limit
        near = [float(i) for i in range(25000)]
        for _ in range(int(share * len(near) / 2)):
            i, j = rng.randrange(len(near)), rng.randrange(len(near))
            near[i], near[j] = near[j], near[i]
        yield "nearly sorted %g" % share, near, True
        yield "nearly sorted %g, zeros" % share, near[:12000] + [0.0, -0.0] + near[12000:], False


def kernel_shapes(rng, n):
    """Shapes that the floating-point kernels of some vqsort releases misorder
    (runs of zeros among tiny values, +inf, the largest doubles), and the usual
    hard cases for any sort: all with one ascending order."""
    yield "uniform", [rng.uniform(-1, 1) for _ in range(n)]
    yield "zeros among tiny", [0.0 if rng.random() < 0.1 else rng.uniform(-1, 1) * 1e-300 for _ in range(n)]
    yield "extremes", [rng.choice([INF, -INF, BIG, -BIG, 0.0, 5e-324, -5e-324, 1.0]) for _ in range(n)]
    yield "-0.0 among lognormal", [-0.0 if rng.random() < 0.2 else rng.lognormvariate(0, 3) for _ in range(n)]
    yield "few distinct", [float(rng.randrange(50)) for _ in range(n)]
    yield "descending", [float(i) for i in range(n)][::-1]


def kernels(rng):
    for n in (63, 64, 65, 200, 800, 4999, 5000, 30000):
        for name, values in kernel_shapes(rng, n):
            yield "%s %d" % (name, n), values, True


def zero_groups(rng):
    """Both zero signs first, in the middle, last and spread, on every path
    (runs, nearly sorted, whole list, buckets), and a zeros' group too large
    for the insertion sorter's budget."""
    n = 25000
    bases = {
        "random": [rng.uniform(-1, 1) for _ in range(n)],
        "ascending": [float(i - n // 2) for i in range(n)],
        "descending": [float(n // 2 - i) for i in range(n)],
        "nearly sorted": sorted(rng.uniform(-1, 1) for _ in range(n)),
        "tiny around zero": [rng.uniform(-1, 1) * 1e-300 for _ in range(n)],
        "infinities and nans": [rng.choice([INF, -INF, float("nan")]) if rng.random() < 0.01 else rng.uniform(-5, 5)
                                for _ in range(n)],
        "half zeros": [rng.uniform(-1, 1) * (rng.random() < 0.5) for _ in range(n)],
        # the group at the start and at the end of the order: in the first
        # and the last piece of a split list
        "positive": [rng.random() for _ in range(n)],
        "negative": [-rng.random() for _ in range(n)],
    }
    near = bases["nearly sorted"]
    for _ in range(200):
        i, j = rng.randrange(n), rng.randrange(n)
        near[i], near[j] = near[j], near[i]
    for name, base in bases.items():
        for where in ("first", "middle", "last", "spread"):
            values = list(base)
            if where == "spread":
                for _ in range(300):
                    values[rng.randrange(n)] = rng.choice([0.0, -0.0])
            else:
                at = {"first": 0, "middle": n // 2, "last": n}[where]
                values[at:at] = [-0.0, 0.0, -0.0] if where != "last" else [0.0, -0.0]
            if values[0] != values[0] or values[-1] != values[-1]:
                values[0] = values[-1] = 1.5
            yield "zeros %s, %s" % (where, name), values, False


def splitters(rng):
    """What a split by sampled splitters finds hard: long runs of one value (a
    splitter equal to many values), one value apart from all the rest (empty
    pieces), NaNs and both zero signs."""
    nan, n = float("nan"), 30000
    extra = [
        ("one apart", [1.0] * (n - 1) + [0.5], True),
        ("three values", [float(rng.randrange(3)) for _ in range(n)], True),
        ("nans and zeros", [rng.random() for _ in range(n - 200)] + [nan] * 100 + [0.0, -0.0] * 50, False),
        ("a third nans", [nan if rng.random() < 0.3 else rng.gauss(0, 1) for _ in range(n)], False),
        ("steep", [rng.expovariate(1) ** 8 for _ in range(n)], True),
    ]
    for name, values, unique in extra:
        rng.shuffle(values)
        yield "split: " + name, values, unique


class Sub(float):
    pass


class Half:
    def __float__(self):
        return 0.5


def key_reads(rng):
    """Long lists of exact floats are read straight into order keys where
    their order is unique; anything else hands the read back: another element
    first, in the middle or last, equal values (the shortcut), NaNs, both zero
    signs. And the paths the keys take: runs, nearly sorted, the whole list."""
    for n in (6000, 25000):
        for where, at in (("first", 0), ("middle", n // 2), ("last", n - 1)):
            for kind, element, unique in (("int", 7, True), ("float subclass", Sub(0.25), True),
                                          ("__float__", Half(), False)):
                values = [rng.uniform(-1, 1) for _ in range(n)]
                values[at] = element
                yield "key read, %s %s, %d" % (kind, where, n), values, unique
    n = 6000
    yield "key read, all equal", [2.5] * n, True
    yield "key read, all equal but a nan", [2.5] * (n // 2) + [float("nan")] + [2.5] * (n // 2), False
    yield "key read, infinities", [rng.choice((INF, -INF, 1.0)) for _ in range(n)], True
    ascending = [-INF] + [float(i) for i in range(n)] + [INF]
    yield "key read, one run with infinities", ascending, True
    near = list(ascending)
    for _ in range(40):
        i, j = rng.randrange(len(near)), rng.randrange(len(near))
        near[i], near[j] = near[j], near[i]
    yield "key read, nearly sorted with infinities", near, True
    yield "key read, -0.0 only", [-0.0 if rng.random() < 0.1 else rng.uniform(-1, 1) for _ in range(n)], True
    yield "key read, zeros far apart", [0.0] + [rng.uniform(-1, 1) for _ in range(n)] + [-0.0], False


def all_cases():
    yield from mixed(random.Random(5))
    yield from kernels(random.Random(11))
    yield from zero_groups(random.Random(3))
    yield from splitters(random.Random(12))
    yield from key_reads(random.Random(13))
