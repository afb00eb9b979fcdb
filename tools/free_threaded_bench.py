"""Times supersort beside its peers and the single-thread conversion floor,
on whatever interpreter runs it (meant for the free-threaded build, where
supersort's calling thread makes the result's floats while its team sorts).

    PYTHONPATH=<tree>:<numpy folder> python3.13t tools/free_threaded_bench.py [--sizes 1e6 1e7] [--repeats 7]

Every variant runs once per round, in a shuffled order, on the same list of
random floats; the table gives each one's median and its ratio to the floor
measured in the same rounds. The floors:
  build floor       array('d', sorted values).tolist(): only the floats of
                    the result and their list, made by one thread;
  read+build floor  array('d', values).tolist(): reading the list as well.
numpy is skipped when it cannot be imported."""
import argparse
import array
import gc
import random
import statistics
import sys
import time

import velmorasort


def variants(xs):
    ordered = array.array("d", sorted(xs))
    found = {
        "build floor": lambda: ordered.tolist(),
        "read+build floor": lambda: array.array("d", xs).tolist(),
        "sorted()": lambda: sorted(xs),
        "sort": lambda: velmorasort.sort(xs),
        "supersort, 1 thread": lambda: velmorasort.supersort(xs, 1),
        "supersort, 2 threads": lambda: velmorasort.supersort(xs, 2),
    }
    try:
        import numpy as np
    except ImportError:
        pass
    else:
        found["numpy"] = lambda: np.sort(np.array(xs)).tolist()
    return found


def measure(n, repeats, seed):
    rng = random.Random(seed)
    xs = [rng.uniform(-1e6, 1e6) for _ in range(n)]
    runs = variants(xs)
    times = {name: [] for name in runs}
    for _ in range(repeats):
        order = list(runs)
        rng.shuffle(order)
        for name in order:
            gc.collect()
            start = time.perf_counter()
            result = runs[name]()
            times[name].append(time.perf_counter() - start)
            del result
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", type=float, default=[1e6, 1e7])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--seed", type=int, default=13)
    args = parser.parse_args()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print("%s, GIL %s" % (sys.version.split()[0], "on" if gil else "off"))
    for size in args.sizes:
        n = int(size)
        times = measure(n, args.repeats, args.seed)
        medians = {name: statistics.median(t) for name, t in times.items()}
        floor = medians["build floor"]
        print("n = %d, median of %d (ms, and / build floor)" % (n, args.repeats))
        for name, t in medians.items():
            print("  %-22s %9.1f  %5.2f" % (name, t * 1e3, t / floor))
        # Each round's ratio, the same round's sort as the measure: other
        # processes on a shared machine slow whole rounds.
        ratios = sorted(s / t for s, t in zip(times["supersort, 2 threads"], times["sort"]))
        print("  supersort(2) / sort by round: median %.2f, min %.2f, max %.2f"
              % (statistics.median(ratios), ratios[0], ratios[-1]))


if __name__ == "__main__":
    main()
