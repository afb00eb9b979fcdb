"""Where sort's time goes, per value, at the sizes given (default 1e6 and
1e7): the whole call; making the result's floats, timed through
array('d').tolist(), which does the same work (the floor of any sort that
returns a new list of floats); and the rest: reading the list, the scan and
the kernel. Median of --repeat runs; uniform random values.

    python tools/phase_breakdown.py [--sizes 1e6,1e7] [--repeat 5]
"""
import argparse
import random
import statistics
import time
from array import array

import velmorasort


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1e6,1e7")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    info = velmorasort.kernel_info()
    print("kernel: %s %s" % (info["kernel"], info["instruction_set"] or ""))
    print("%10s %10s %10s %14s %10s   (ns per value)" % ("n", "sort", "make", "read+sort", "sorted()"))
    for n in (int(float(s)) for s in args.sizes.split(",")):
        rng = random.Random(n)
        values = [rng.random() for _ in range(n)]
        doubles = array("d", values)
        whole = timed(lambda: velmorasort.sort(values), args.repeat)
        make = timed(doubles.tolist, args.repeat)
        reference = timed(lambda: sorted(values), max(1, args.repeat // 2))
        per = 1e9 / n
        print("%10d %10.1f %10.1f %14.1f %10.1f" % (n, whole * per, make * per, (whole - make) * per,
                                                    reference * per))


if __name__ == "__main__":
    main()
