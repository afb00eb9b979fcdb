"""A short demonstration: python -m velmorasort [--size N]."""
import argparse
import random
import sys
import time

from velmorasort import sort, supersort

DESCRIPTION = """\
Sorts SIZE random floats (uniform over [-1e6, 1e6], the same ones on every run)
with sorted(), velmorasort.sort and velmorasort.supersort (all cores), prints
the time each one took, and checks that the three results are equal. For the
full benchmark over sizes and distributions, run python -m velmorasort.bench."""


def positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, got %d" % value)
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m velmorasort", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=positive_int, default=1_000_000,
                        help="how many values to sort (default 1000000)")
    args = parser.parse_args(argv)

    rng = random.Random(2024)
    values = [rng.uniform(-1e6, 1e6) for _ in range(args.size)]
    print("sorting %d random floats" % args.size)
    results = []
    for name, fn in (("sorted", sorted), ("sort", sort), ("supersort", supersort)):
        start = time.perf_counter()
        result = fn(values)
        elapsed = time.perf_counter() - start
        results.append(result)
        print(f"{name:>9}: {len(result)} values in {elapsed * 1000:.1f} ms, "
              f"first {result[0]:.3f}, last {result[-1]:.3f}")
    if not results[0] == results[1] == results[2]:
        print("MISMATCH: the three results differ", file=sys.stderr)
        return 1
    print("all three agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
