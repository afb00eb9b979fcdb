"""Pure-Python model of the engine, the oracle for exact results: where +0.0
and -0.0 land among each other, and where NaNs go."""
import math
import random
import struct

SEED = 9
TWO_63 = 2.0 ** 63
BUDGET_PER_VALUE_LOG = 48   # work allowed per value placed, times ceil(log2 of the values placed)
PROBE_WEIGHT = 32           # a probe counts as this many element moves


def nan_with_payload(k):
    return struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000 | k))[0]


def next_up(x):
    """The next double above a positive finite x."""
    return struct.unpack("<d", struct.pack("<q", struct.unpack("<q", struct.pack("<d", x))[0] + 1))[0]


def _insertion_index(vec, value, probes):
    """The insertion index of value; adds the probes made to probes[0]."""
    start, end = 0, len(vec) - 1
    start_val, end_val = vec[start], vec[end]
    while True:
        probes[0] += 1
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


def zeros_apart(values):
    """Ascending, every -0.0 before every +0.0: the order a group takes once
    the insertion algorithm has exceeded its work budget."""
    return sorted(values, key=lambda v: (v, math.copysign(1.0, v)))


def insertion_sort(values):
    """The interpolation insertion sorter under its work budget. The seed goes
    through a stable sort, as the standard sort does for so few elements; NaNs
    follow the sorted values in input order. Work counts the element moves of
    a buffer that shifts the shorter side of each insertion, plus
    PROBE_WEIGHT per probe; once the work for i values placed exceeds
    BUDGET_PER_VALUE_LOG * i * ceil(log2 i), the group is finished by
    zeros_apart instead."""
    values = [float(v) for v in values]
    nans = [v for v in values if math.isnan(v)]
    values = [v for v in values if not math.isnan(v)]
    vec = sorted(values[:SEED])
    probes, moves = [0], 0
    for value in values[SEED:]:
        at = _insertion_index(vec, value, probes)
        moves += min(at, len(vec) - at)
        vec.insert(at, value)
        placed = len(vec)
        if moves + probes[0] * PROBE_WEIGHT > BUDGET_PER_VALUE_LOG * placed * (placed - 1).bit_length():
            return zeros_apart(values) + nans
    return vec + nans


def bucket_sort(values, bucket_count):
    """The bucket pass on values with a finite one among them: those
    distributed in input order by the linear scale, each bucket through
    insertion_sort, joined; -inf before them, +inf after, then the NaNs in
    input order."""
    values = [float(v) for v in values]
    finite = [v for v in values if math.isfinite(v)]
    min_val, max_val = min(finite), max(finite)
    last = bucket_count - 1
    span = max_val - min_val     # inf where the extremes are too far apart
    factor = last / span if span else math.inf
    buckets = [[] for _ in range(bucket_count)]
    for v in finite:
        # A NaN or negative product goes to the first bucket, one at or past
        # the last bucket to the last.
        product = (v - min_val) * factor
        buckets[0 if not product >= 0.0 else last if product >= last else int(product)].append(v)
    return ([v for v in values if v == -math.inf] + [v for bucket in buckets for v in insertion_sort(bucket)]
            + [v for v in values if v == math.inf] + [v for v in values if math.isnan(v)])


def sort_model(values):
    """sort's exact result where it makes a new list: the insertion sorter
    alone up to 4999 values, the bucket pass with 750 values a bucket above."""
    n = len(values)
    return insertion_sort(values) if n <= 4999 else bucket_sort(values, n // 750 + 1)


def supersort_model(values):
    """supersort's: sort's below 20000 values, its own pass with 1000 values
    a bucket from there on."""
    n = len(values)
    return sort_model(values) if n < 20000 else bucket_sort(values, n // 1000 + 1)


def zero_rich(n, seed, zeros=300):
    """Values where the placement of +0.0 against -0.0 tells buckets and
    paths apart: about `zeros` signed zeros among evenly spread values. The
    zeros share one bucket, which stays small enough for the insertion
    algorithm to finish within its work budget."""
    rng = random.Random(seed)
    share = min(1.0, zeros / max(n, 1))
    return [rng.choice([0.0, -0.0]) if rng.random() < share else rng.uniform(-1, 1) for _ in range(n)]
