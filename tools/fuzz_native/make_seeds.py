"""Writes the adversarial seed shapes of the native fuzzer into
tests/fuzz_native_corpus/, encoded as value_decoder.hpp reads them. Inputs
found by the fuzzer are kept there beside them under their own names.

Usage (from the repository root):  python3 tools/fuzz_native/make_seeds.py"""
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CORPUS = os.path.join(ROOT, "tests", "fuzz_native_corpus")

# Length classes (the first byte).
SHORT, NEAR_SEED, NEAR_DIRECT, NEAR_DELEGATION, TEAM, HUGE = 0, 208, 216, 232, 244, 252
# Fill modes (the shape byte's top bits).
CYCLE, ASCENDING, DESCENDING, UNIFORM, DRAWN, CONSTANT, SPRINKLED, SAWTOOTH = range(8)
# Indexes into the decoder's table of special values.
(PZERO, NZERO, QNAN, NEG_QNAN, SNAN, NAN_PAYLOAD, NAN_ONES, PINF, NINF, DMAX, NEG_DMAX, DMIN,
 NEG_DMIN, DENORM, NEG_DENORM, MAX_SUBNORMAL, ONE, NEG_ONE, HALF, TWO53, TWO53_2, TWO63, NEG_TWO63,
 E300, NEG_E300, E_300, THIRD, PI, ONE_UP, ONE_DOWN, SNAN2, THREE_DENORM) = range(32)


def header(length_class, fill=UNIFORM, offset=None):
    """The length class; for fixed lengths the shape byte: offset 0..8 into
    the class, fill mode."""
    out = bytes([length_class])
    return out if offset is None else out + bytes([(fill << 5) | offset])


def special(i):
    return bytes([i]) if i < 16 else bytes([0x10 | (i - 16)])


def raw(v):
    return b"\x20" + struct.pack("<d", v)


def small(k):             # -8..7
    return bytes([0x30 | (k + 8)])


def repeat(times):        # the previous value, 1..4096 times more
    arg, b = divmod(times - 1, 256)
    return bytes([0x60 | arg, b])


def run(length, up=True, units=True):
    arg = 1 if units else 0
    return bytes([(0x70 if up else 0x80) | arg, length - 2])


def edge(j, m, ulps=0):   # near j/m of the range so far
    return bytes([0x90 | (ulps + 2), j, m - 1])


def nudge(ulps):          # the previous value moved by -8..7 ulps
    return bytes([0xC0 | (ulps + 8)])


def negate():
    return b"\xa0"


def nan(payload, negative=False, quiet=True):
    return bytes([0xB0 | int(negative) | int(quiet) << 1]) + struct.pack("<H", payload)


def zeros(count, pattern=0):   # 0 alternating, 1 halves, 2 random, 3+ every (pattern+1)th negative
    return bytes([0xE0 | pattern, count - 1])


TAIL = b"\xf0"


def length_before(mark):   # 1 +1, 2 -1, 3 +2, 4 -2, 5 2n+1, 6 n/2, 7 20000
    return bytes([0xF0 | mark])


SEEDS = {
    # Short lists, direct path: every special value, zeros of both signs.
    "specials-all": header(SHORT) + b"".join(special(i) for i in range(32)),
    "specials-nan-free": header(SHORT) + b"".join(
        special(i) for i in range(32) if i not in (QNAN, NEG_QNAN, SNAN, NAN_PAYLOAD, NAN_ONES, SNAN2)),
    "zeros-signs-short": header(SHORT) + zeros(40, 2) + small(1) + small(-1) + zeros(30, 0),
    "nan-payloads-short": header(SHORT) + nan(1) + small(3) + nan(7, True) + special(NZERO) + nan(9, quiet=False)
    + special(PZERO) + small(-2) + nan(0xFFFF, True, False),
    "seed-size-9": header(NEAR_SEED, UNIFORM, 4) + special(PZERO) + special(NZERO) + small(1),
    "seed-size-10": header(NEAR_SEED, UNIFORM, 5) + special(NZERO) + special(PZERO) + special(NZERO),
    "subnormals": header(SHORT) + b"".join(special(i) for i in (DENORM, NEG_DENORM, MAX_SUBNORMAL, THREE_DENORM,
                                                                 DMIN, NEG_DMIN, PZERO, NZERO))
    + struct.pack("<B", 0x50) + struct.pack("<f", 1e-40) + run(40, units=False),
    # The interpolation cast at 2^63: huge quotients from tiny differences.
    "quotient-cast-edge": header(SHORT) + b"".join(special(i) for i in (DENORM, THREE_DENORM, PZERO, NZERO, DMAX,
                                                                         TWO63, NEG_TWO63, E300, DENORM, NZERO))
    + run(30, units=False) + special(DMAX) + special(NEG_DMAX),
    # Around sort's direct path: insertion within budget, spread radix sort.
    "direct-4999-zeros": header(NEAR_DIRECT, UNIFORM, 4) + zeros(200, 2),
    "direct-4999-unique": header(NEAR_DIRECT, UNIFORM, 4) + special(ONE),
    "direct-5000-zeros": header(NEAR_DIRECT, UNIFORM, 5) + zeros(200, 2),
    "direct-5001-unique-nans": header(NEAR_DIRECT, UNIFORM, 6) + small(0) + nan(3) + nan(5, True),
    # Past the budget with both zero signs: an infinity turns every probe
    # into a one-step walk.
    "budget-infinity-walk": header(NEAR_DIRECT, UNIFORM, 4) + special(PZERO) + special(NZERO) + special(PINF),
    "budget-duplicates": header(NEAR_DIRECT, DRAWN, 4) + small(1) + small(2) + special(PZERO)
    + special(NZERO) + small(3) + repeat(40),
    # Presorted runs.
    "runs-ascending": header(NEAR_DIRECT, ASCENDING, 5) + small(0),
    "runs-descending": header(NEAR_DELEGATION, DESCENDING, 5) + small(0),
    "runs-sawtooth": header(NEAR_DELEGATION, SAWTOOTH, 5),
    # Too many runs to merge, few values out of place.
    "nearly-sorted": header(NEAR_DELEGATION, SPRINKLED, 5) + small(0) + run(200, up=False),
    "nearly-sorted-zeros": header(NEAR_DIRECT, SPRINKLED, 5) + special(NZERO) + small(5) + special(PZERO)
    + raw(2500.5),
    # A NaN at either end: sorted like one inside; the shortcut looks at the
    # other values alone.
    "nan-first": header(NEAR_DIRECT, UNIFORM, 5) + special(QNAN),
    "nan-last": header(NEAR_DELEGATION, UNIFORM, 5) + TAIL + nan(42, True),
    "shortcut-constant": header(NEAR_DIRECT, CONSTANT, 5) + special(THIRD),
    "shortcut-zero-signs": header(NEAR_DELEGATION, CYCLE, 5) + special(PZERO) + special(NZERO),
    # Bucket scales that degenerate: finite range 0 beside infinities (an
    # infinite factor), and a range that overflows (factor 0).
    "buckets-range-zero": header(NEAR_DIRECT, CYCLE, 5) + special(NINF) + special(PZERO) + special(NZERO)
    + special(PINF),
    "buckets-range-overflow": header(NEAR_DELEGATION, UNIFORM, 5) + special(DMAX) + special(PZERO) + special(NZERO)
    + special(NEG_DMAX),
    "buckets-edges": header(NEAR_DIRECT, SPRINKLED, 5) + small(-1) + small(1) + special(PZERO) + special(NZERO)
    + b"".join(edge(j, 6, u) for j in range(7) for u in (-1, 0, 1)),
    # Supersort's plan: buckets on teams, zeros in one bucket, NaNs inside.
    "delegation-19999": header(NEAR_DELEGATION, UNIFORM, 4) + special(PZERO) + special(NZERO),
    "delegation-20000-unique": header(NEAR_DELEGATION, UNIFORM, 5) + special(HALF),
    "delegation-20000-zeros": header(NEAR_DELEGATION, UNIFORM, 5) + zeros(250, 2) + nan(11) + special(NINF)
    + TAIL + special(PINF) + small(2),
    "delegation-20001-nans": header(NEAR_DELEGATION, SPRINKLED, 6) + nan(1) + nan(2, True) + special(SNAN)
    + special(NAN_ONES) + special(NZERO) + special(PZERO) + small(0) + small(1),
    # One outlier puts every other value into one bucket that the team sorts.
    "team-sort-outlier": header(TEAM, UNIFORM, 1) + small(0) + TAIL + special(E300),
    "team-sort-outlier-nans": header(TEAM, UNIFORM, 3) + special(NEG_E300) + nan(4) + TAIL + special(E300),
    # Past the radix sort's in-cache size: the split by high bits.
    "radix-split-high-bits": header(HUGE, UNIFORM, 0) + small(0),
    "radix-split-outlier": header(HUGE, UNIFORM, 1) + small(0) + TAIL + special(DMAX),
    # Nearly all keys share their high bits: the split recurses into a part
    # still too large for the cache.
    "radix-split-nested": header(HUGE, DRAWN, 8) + special(ONE) + repeat(499)
    + (nudge(1) + repeat(499)) * 7 + TAIL + special(DMAX),
    # Clusters within clusters: the spread's slots stay crowded down to its
    # last level, where the digit sort takes over.
    "radix-spread-nested-clusters": header(SHORT) + special(ONE) + run(100, units=False) + raw(1 + 2.0 ** -36)
    + raw(1 + 2.0 ** -20) + special(E300) + special(NEG_E300),
    # The list changed length while its elements were converted: the length
    # read before decides the path and the bucket count.
    "length-before-emptied": header(SHORT) + length_before(7),
    "length-before-shrunk": header(NEAR_DIRECT, UNIFORM, 4) + zeros(100, 2) + length_before(1),
    "length-before-grown": header(NEAR_DELEGATION, UNIFORM, 5) + zeros(100, 2) + length_before(2),
    "length-before-doubled": header(NEAR_DELEGATION, UNIFORM, 5) + zeros(100, 2) + nan(1) + length_before(5),
    "length-before-none": header(SHORT) + zeros(30, 2) + small(3) + length_before(6),
}


def main():
    os.makedirs(CORPUS, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(CORPUS, name + ".bin"), "wb") as f:
            f.write(data)
    print("%d seeds in %s" % (len(SEEDS), CORPUS))


if __name__ == "__main__":
    main()
