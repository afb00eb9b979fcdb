"""How long other Python threads wait for the interpreter lock while
supersort runs: a thread that ticks every millisecond records the longest
gap between its ticks during supersort of a list of random floats.

    python tools/lock_gaps.py [--size N] [--threads T] [--repeat R]

Prints the median of the repeats' longest gaps and the median call time.
"""
import argparse
import random
import statistics
import threading
import time


def longest_gap(call):
    """Runs `call` while a thread ticks every millisecond; returns the longest
    gap between ticks that overlapped the call, and the call's time, in ms."""
    stop = threading.Event()
    ticks = []

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.05)
    start = time.perf_counter()
    result = call()
    end = time.perf_counter()
    stop.set()
    thread.join()
    del result   # freed after the measurement: its floats' release is not the call's
    during = [t for t in ticks if t >= start] + [end]
    gaps = [b - a for a, b in zip([start] + during, during)]
    return max(gaps) * 1e3, (end - start) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=10 ** 7)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    import velmorasort.VelmoraSort as vs
    xs = [random.random() for _ in range(args.size)]
    results = [longest_gap(lambda: vs.supersort(xs, args.threads)) for _ in range(args.repeat)]
    print("supersort(%d) of %d values: longest tick gap %.1f ms (median of %d), call %.1f ms"
          % (args.threads, args.size, statistics.median(r[0] for r in results), args.repeat,
             statistics.median(r[1] for r in results)))


if __name__ == "__main__":
    main()
