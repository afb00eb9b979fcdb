"""Fuzzes sort and supersort against sorted(): byte strings become lists of
doubles (unpacked, so NaN payloads, infinities and subnormals occur), sizes
around the thresholds, element types and argument shapes.

Usage (from the repository root):

    python tools/fuzz.py SECONDS [--seed N]

With atheris installed (pip install atheris) it runs coverage-guided for
SECONDS; otherwise a random-bytes loop runs for as long. A failing input is
saved under tests/fuzz_regressions/, which tests/test_fuzz_regressions.py
replays. The tested module is the velmorasort this interpreter imports (set
PYTHONPATH to test a build folder)."""
import argparse
import hashlib
import math
import os
import random
import struct
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REGRESSIONS = os.path.join(ROOT, "tests", "fuzz_regressions")
sys.path.insert(0, os.path.join(ROOT, "tests"))
from interpolation_model import sort_model, supersort_model  # noqa: E402

# Second byte: the list's length (None keeps the decoded values as they are).
SIZES = (None,) * 12 + (4999, 5000, 5001, 19999, 20000, 20001, 20999, 31000)
# First byte, bits 1-3: num_threads (None: not passed).
TEAMS = (None, 1, 2, 3, -1, 0, 5, 64)


def decode(data):
    """(function name, list, num_threads, by keyword) for a byte string.

    byte 0: bit 0 supersort, bits 1-3 num_threads, bit 4 keywords,
            bits 5-6 element types (floats, ints, bools, both);
    byte 1: size (SIZES), bits 4-7 arrangement when resized
            (tiled, reversed, sorted descending, with random doubles);
    rest:   little-endian doubles."""
    head = data[0] if data else 0
    shape = data[1] if len(data) > 1 else 0
    body = data[2:]
    count = len(body) // 8
    values = list(struct.unpack("<%dd" % count, body[:count * 8]))
    size = SIZES[shape % len(SIZES)]
    if size is not None and values:
        arrangement = (shape >> 4) % 4
        tiled = (values * (size // len(values) + 1))[:size]
        if arrangement == 1:
            tiled.reverse()
        elif arrangement == 2:
            plain = sorted((v for v in tiled if not math.isnan(v)), reverse=True)
            tiled = plain + [v for v in tiled if math.isnan(v)]
        elif arrangement == 3:
            rng = random.Random(body)
            scale = abs(values[0]) if math.isfinite(values[0]) and values[0] else 1.0
            tiled = [v if i % 3 else rng.uniform(-scale, scale) for i, v in enumerate(tiled)]
        values = tiled
    kinds = (head >> 5) & 3
    for i, v in enumerate(values):
        if kinds & 1 and i % 3 == 1 and math.isfinite(v):
            values[i] = int(v)
        elif kinds & 2 and i % 5 == 2 and v in (0.0, 1.0):
            values[i] = bool(v)
    function = "supersort" if head & 1 else "sort"
    team = TEAMS[(head >> 1) & 7]
    return function, values, team, bool(head & 0x10)


def bits(values):
    return struct.pack("<%dd" % len(values), *values)


def check(data):
    """Runs one decoded call and raises AssertionError on any departure from
    sorted(); returns the call's description."""
    import velmorasort.VelmoraSort as m
    function, xs, team, by_keyword = decode(data)
    fn = getattr(m, function)
    kwargs = {}
    if by_keyword:
        kwargs["input_list"] = xs
    args = () if by_keyword else (xs,)
    if team is not None and function == "supersort":
        if by_keyword:
            kwargs["num_threads"] = team
        else:
            args += (team,)
    what = "%s(<%d values>%s)" % (function, len(xs), "".join(", %s=%r" % kv for kv in kwargs.items()
                                                              if kv[0] != "input_list") or
                                  (", %r" % args[1] if len(args) > 1 else ""))
    before = list(xs)
    result = fn(*args, **kwargs)
    assert len(xs) == len(before) and all(a is b for a, b in zip(xs, before)), what + ": input modified"
    floats = [float(v) for v in xs]
    plain = sorted(v for v in floats if not math.isnan(v))
    nans = [v for v in floats if math.isnan(v)]
    # Only the values other than NaN decide the shortcut: all equal, or none.
    shortcut = len(xs) >= 5000 and (not plain or plain[0] == plain[-1])
    if shortcut:
        assert result is xs, what + ": expected the caller's list back"
        return what
    assert type(result) is list and result is not xs, what + ": not a new list"
    assert all(type(v) is float for v in result), what + ": not all floats"
    assert len(result) == len(floats), what + ": %d values back" % len(result)
    k = len(plain)
    if len({math.copysign(1.0, v) for v in plain if v == 0.0}) == 2:
        # Both zero signs: where each lands is the insertion algorithm's to
        # decide, which the model follows.
        plain = (sort_model if function == "sort" else supersort_model)(floats)[:k]
    assert bits(result[:k]) == bits(plain), what + ": " + first_difference(result[:k], plain)
    assert bits(result[k:]) == bits(nans), what + ": NaNs not last in input order"
    return what


def first_difference(result, expected):
    for i, (a, b) in enumerate(zip(result, expected)):
        if bits([a]) != bits([b]):
            return "index %d: got %r, expected %r" % (i, a, b)
    return "lengths differ"


def save(data):
    os.makedirs(REGRESSIONS, exist_ok=True)
    path = os.path.join(REGRESSIONS, hashlib.sha1(data).hexdigest()[:16] + ".bin")
    with open(path, "wb") as f:
        f.write(data)
    return path


def one_input(data):
    """The random loop's test of one input; atheris saves its own artifacts."""
    try:
        check(data)
    except BaseException:
        print("failing input saved as", save(data), file=sys.stderr)
        raise


def seeds():
    """Starting inputs: each size class with awkward doubles."""
    awkward = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, sys.float_info.max,
               -sys.float_info.max, sys.float_info.min, 1.0, math.nextafter(1.0, 2.0), 1e-300, 1e300]
    body = struct.pack("<%dd" % len(awkward), *awkward)
    out = []
    for shape in range(len(SIZES)):
        for head in (0, 1, 3, 0x25, 0x49, 0x77):
            out.append(bytes([head, shape]) + body)
    out.append(bytes([1, 8]) + struct.pack("<3d", 0.0, -0.0, 1.0))
    out.append(bytes([0, 4]) + struct.pack("<2d", 2.0, math.nan))
    return out


def random_input(rng):
    length = rng.choice((2, 10, 40, 120, 600))
    data = bytearray(rng.getrandbits(8) for _ in range(length))
    # Mix in whole awkward doubles now and then: random bytes rarely make them.
    for _ in range(rng.randrange(4)):
        at = 2 + 8 * rng.randrange(max(1, (length - 2) // 8))
        special = rng.choice((0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 1.0))
        data[at:at + 8] = struct.pack("<d", special)[:max(0, length - at)]
    return bytes(data[:length])


def fuzz_random(seconds, seed):
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    runs = 0
    for data in seeds():
        one_input(data)
        runs += 1
    while time.monotonic() < deadline:
        one_input(random_input(rng))
        runs += 1
    return runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("seconds", type=int)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--no-atheris", action="store_true", help="use the random-bytes loop")
    args = parser.parse_args()
    import velmorasort.VelmoraSort as m
    print("module:", m.__file__)
    try:
        if args.no_atheris:
            raise ImportError
        import atheris
    except ImportError:
        start = time.monotonic()
        runs = fuzz_random(args.seconds, args.seed)
        print("random-bytes loop: %d inputs in %.0f s, no failure" % (runs, time.monotonic() - start))
        return 0
    corpus = os.path.join(os.environ.get("TMPDIR", "/tmp"), "velmorasort-fuzz-corpus")
    os.makedirs(corpus, exist_ok=True)
    for data in seeds():
        with open(os.path.join(corpus, hashlib.sha1(data).hexdigest()[:16]), "wb") as f:
            f.write(data)
    os.makedirs(REGRESSIONS, exist_ok=True)
    atheris.instrument_func(decode)
    atheris.Setup([sys.argv[0], "-max_total_time=%d" % args.seconds, "-max_len=2048", "-timeout=60",
                   "-seed=%d" % args.seed, "-print_final_stats=1",
                   "-artifact_prefix=" + REGRESSIONS + os.sep, corpus], check)
    atheris.Fuzz()
    return 0


if __name__ == "__main__":
    sys.exit(main())
