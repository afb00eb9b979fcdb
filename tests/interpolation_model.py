"""Pure-Python model of the engine, the oracle for exact results: where +0.0
and -0.0 land among each other, and where NaNs go."""
import math
import random
import struct

SEED = 9
TWO_63 = 2.0 ** 63


def nan_with_payload(k):
    return struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000 | k))[0]


def next_up(x):
    """The next double above a positive finite x."""
    return struct.unpack("<d", struct.pack("<q", struct.unpack("<q", struct.pack("<d", x))[0] + 1))[0]


def _insertion_index(vec, value):
    start, end = 0, len(vec) - 1
    start_val, end_val = vec[start], vec[end]
    while True:
        estimated = start
        denom_diff = end_val - start_val
        if denom_diff != 0.0 and not math.isnan(denom_diff):
            denom_index = float(end - start)
            diff = value - start_val
            product = diff * denom_index
            q = product / denom_diff
            if q >= 1.0 and q < TWO_63:
                estimated = min(start + int(q), end)
        probed = vec[estimated]
        if value == probed:
            return estimated
        if value > probed:
            if estimated == end:
                return end + 1
            start = estimated + 1
            start_val = vec[start]
            if value <= start_val:
                return start
        else:
            if estimated == start:
                return start
            end = estimated - 1
            end_val = vec[end]
            if value >= end_val:
                return estimated


def insertion_sort(values):
    """The interpolation insertion sorter. The seed goes through a stable sort,
    as the standard sort does for so few elements; NaNs follow the sorted
    values in input order."""
    values = [float(v) for v in values]
    nans = [v for v in values if math.isnan(v)]
    values = [v for v in values if not math.isnan(v)]
    vec = sorted(values[:SEED])
    for value in values[SEED:]:
        vec.insert(_insertion_index(vec, value), value)
    return vec + nans


def bucket_sort(values, bucket_count):
    """The bucket pass on finite, not all equal values: distribution in input
    order by the linear scale, each bucket through insertion_sort, joined."""
    values = [float(v) for v in values]
    min_val, max_val = min(values), max(values)
    factor = (bucket_count - 1) / (max_val - min_val)
    buckets = [[] for _ in range(bucket_count)]
    for v in values:
        buckets[int((v - min_val) * factor)].append(v)
    return [v for bucket in buckets for v in insertion_sort(bucket)]


def zero_rich(n, seed):
    """Values where the placement of +0.0 against -0.0 tells buckets and
    paths apart: many signed zeros among a few other values."""
    rng = random.Random(seed)
    return [rng.choice([0.0, -0.0, 0.0, -0.0, rng.uniform(-1, 1), rng.uniform(-1, 1), 3.0])
            for _ in range(n)]
