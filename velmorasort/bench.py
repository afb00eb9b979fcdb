"""Benchmark: python -m velmorasort.bench [--quick] [--sizes ...] ...

Times sort, supersort, sorted() and (when numpy is importable) numpy.sort,
the latter including the list -> array -> list conversions, over a range of
sizes and value distributions. Every result is checked against sorted().
Two measuring sticks run beside them on lists of floats: the floor (read every
value, make a new float of each, no sorting: what any sort returning new
floats must do) and the fused pipeline (read each value into its order key,
sort the keys, make each float from its key). Prints a table of median times,
their ratios to sorted(), sort's ratio to numpy's pipeline, supersort's ratio
to sort and each sort's ratios to the sticks; optionally writes a CSV file
and, when matplotlib is importable, a plot of each method's speed-up over
sorted(). --busy keeps one other core spinning during the run, to show how the
threaded supersort fares on a loaded machine.

Sizes grow per distribution only while sorted() is predicted to stay under
the time cap. A method is dropped for the larger sizes of a distribution once
one of its calls has taken longer than the cap, or before a call predicted to
take several times the cap, so a quadratic case cannot stall the run.
"""
import argparse
import csv
import gc
import importlib.util
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from contextlib import contextmanager, nullcontext

from velmorasort import _kernel, kernel_info, sort, supersort

try:
    import numpy
except ImportError:  # optional
    numpy = None  # type: ignore[assignment]

DEFAULT_SIZES = [10 ** k for k in range(3, 8)]
QUICK_SIZES = [10 ** k for k in range(3, 6)]
MIN_RUN_SECONDS = 0.02   # short calls are looped until one timed run lasts this long
GROWTH_FLOOR = 1.05      # smallest growth exponent assumed when predicting the next size
PREDICTION_SLACK = 5     # predictions from noisy small sizes overshoot; a real run still gets the cap


def _uniform(rng, n):
    return [rng.random() for _ in range(n)]


def _outlier(rng, n):
    values = _uniform(rng, n)
    if n:
        values[rng.randrange(n)] = 1e12
    return values


def _ascending(rng, n):
    # Strictly increasing with jitter; made directly, since sorting 10**7
    # random values just to build the input would dominate the run.
    return [(i + rng.random()) / n for i in range(n)]


def _sawtooth(rng, n):
    period = max(1, n // 10)
    return [((i % period) + rng.random()) / period for i in range(n)]


def _nearly_sorted(rng, n):
    # Ascending, with about 1% of the values swapped to random positions.
    values = _ascending(rng, n)
    if n > 1:
        for _ in range(max(1, n // 200)):
            i, j = rng.randrange(n), rng.randrange(n)
            values[i], values[j] = values[j], values[i]
    return values


def _two_clusters(rng, n):
    centres = (0.0, 1e6)
    return [rng.gauss(centres[rng.random() < 0.5], 1.0) for _ in range(n)]


def _organ_pipe(rng, n):
    # Rises to the maximum in the middle, then falls: every other value of an
    # ascending list going up, the rest coming down.
    values = _ascending(rng, n)
    return values[0::2] + values[1::2][::-1]


def _zero_signs(rng, n):
    # Half the values are 0.0 or -0.0 (a negative uniform times False), the rest uniform in (-1, 1).
    return [rng.uniform(-1.0, 1.0) * (rng.random() < 0.5) for _ in range(n)]


DISTRIBUTIONS = {
    "uniform": _uniform,
    "normal": lambda rng, n: [rng.gauss(0.0, 1.0) for _ in range(n)],
    "lognormal": lambda rng, n: [rng.lognormvariate(0.0, 2.0) for _ in range(n)],
    "exponential": lambda rng, n: [rng.expovariate(1.0) for _ in range(n)],
    "outlier": _outlier,
    "few-distinct": lambda rng, n: [rng.randrange(100) for _ in range(n)],
    "sorted": _ascending,
    "reversed": lambda rng, n: _ascending(rng, n)[::-1],
    "sawtooth": _sawtooth,
    "nearly-sorted": _nearly_sorted,
    "two-clusters": _two_clusters,
    "wide-ints": lambda rng, n: [rng.getrandbits(40) for _ in range(n)],
    "pareto": lambda rng, n: [rng.paretovariate(1.2) for _ in range(n)],
    "lognormal-3": lambda rng, n: [rng.lognormvariate(0.0, 3.0) for _ in range(n)],
    "organ-pipe": _organ_pipe,
    "zero-signs": _zero_signs,
}

# A spinning child for --busy. It also stops by itself once the benchmark,
# whose pid it is given, is no longer its parent, so even a killed run leaves
# no spinner behind.
BUSY_LOOP = """
import os, sys
parent = int(sys.argv[1])
while os.getppid() == parent:
    for _ in range(200000):
        pass
"""


@contextmanager
def busy_loop():
    """Runs one busy-loop process for the duration of the block; yields its Popen."""
    proc = subprocess.Popen([sys.executable, "-c", BUSY_LOOP, str(os.getpid())],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    try:
        yield proc
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def _numpy_sort(values):
    return numpy.sort(numpy.array(values, dtype=numpy.float64)).tolist()


def describe_kernel():
    """One line: the kernel for groups with a unique order, and its instruction set."""
    info = kernel_info()
    if info["kernel"] == "radix":
        return "radix (portable; built without Highway)"
    return "vqsort (Highway %s), instruction set %s" % (info["highway"], info["instruction_set"])


# The measuring sticks, timed on lists of exact floats only; the floor's
# result is not sorted and is not checked.
STICKS = {"floor": "_floor", "fused": "_fused"}


def methods(threads):
    table = [("sorted", sorted), ("sort", sort),
             ("supersort", lambda values: supersort(values, threads))]
    if numpy is not None:
        table.append(("numpy", _numpy_sort))
    table += [(name, getattr(_kernel, function)) for name, function in STICKS.items()]
    return table


class Mismatch(Exception):
    pass


def check(name, dist, n, result, expected):
    if result == expected:
        return
    if len(result) != len(expected):
        raise Mismatch("%s on %s n=%d: %d values back, expected %d"
                       % (name, dist, n, len(result), len(expected)))
    i = next(i for i, (a, b) in enumerate(zip(result, expected)) if a != b)
    raise Mismatch("%s on %s n=%d: first difference at index %d: got %r, expected %r"
                   % (name, dist, n, i, result[i], expected[i]))


def time_calls(fn, values, loops):
    """Seconds per call, averaged over `loops` calls, with the collector off."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(loops):
            fn(values)
        return (time.perf_counter() - start) / loops
    finally:
        if enabled:
            gc.enable()


def first_call(fn, values):
    """The result of fn(values) and the seconds it took."""
    gc.collect()
    start = time.perf_counter()
    result = fn(values)
    return result, time.perf_counter() - start


def timed_runs(fn, values, first, repeat):
    """`repeat` per-call times, each from enough calls to last MIN_RUN_SECONDS,
    judged by the duration `first` of the first call."""
    loops = max(1, int(MIN_RUN_SECONDS / max(first, 1e-9)))
    return [time_calls(fn, values, loops) for _ in range(repeat)]


def predict(history, n):
    """Predicted single-run seconds at size n from the (size, median) history,
    growing by the exponent of the last two points, never below GROWTH_FLOOR."""
    if not history:
        return 0.0
    (n1, t1) = history[-1]
    exponent = GROWTH_FLOOR
    if len(history) >= 2:
        (n0, t0) = history[-2]
        if t0 > 0 and t1 > 0 and n1 > n0:
            exponent = max(exponent, math.log(t1 / t0) / math.log(n1 / n0))
    return t1 * (n / n1) ** exponent


class Progress:
    def __init__(self, total):
        self.total = total
        self.done = 0
        self.tty = sys.stderr.isatty()

    def show(self, text):
        line = "[%d/%d] %s" % (self.done, self.total, text)
        if self.tty:
            sys.stderr.write("\r\033[K" + line)
        else:
            sys.stderr.write(line + "\n")
        sys.stderr.flush()

    def finish(self):
        if self.tty:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def run(dists, sizes, repeat, threads, cap):
    """Returns rows (dist, n, method, median or None, samples, note)."""
    table = methods(threads)
    rows = []
    progress = Progress(len(dists) * len(sizes))
    for dist in dists:
        history = {name: [] for name, _ in table}
        dropped = {}
        for n in sizes:
            progress.done += 1
            if predict(history["sorted"], n) > cap:
                progress.show("%s n=%d: skipped, sorted() would pass the %.1fs cap" % (dist, n, cap))
                for name, _ in table:
                    rows.append((dist, n, name, None, [], "size cap"))
                continue
            progress.show("%s n=%d: making data" % (dist, n))
            values = DISTRIBUTIONS[dist](random.Random("%s-%d" % (dist, n)), n)
            original = list(values)
            expected = None
            floats_only = all(type(v) is float for v in values)
            for name, fn in table:
                if name in STICKS and not floats_only:
                    rows.append((dist, n, name, None, [], ""))
                    continue
                predicted = predict(history[name], n)
                if name not in dropped and predicted > PREDICTION_SLACK * cap:
                    dropped[name] = "dropped from n=%d: predicted %.1fs" % (n, predicted)
                if name in dropped:
                    rows.append((dist, n, name, None, [], dropped[name]))
                    continue
                progress.show("%s n=%d: %s" % (dist, n, name))
                result, first = first_call(fn, values)
                # Checked before any further call, which could undo a change to the input.
                if values != original:
                    raise Mismatch("%s on %s n=%d changed its input list" % (name, dist, n))
                if expected is None:
                    expected = result   # sorted() runs first: it is the oracle
                elif name != "floor":
                    check(name, dist, n, result, expected)
                del result
                note = ""
                if first > cap:
                    samples = [first]
                    note = "one run, over the cap"
                    dropped[name] = "dropped after n=%d: %.1fs" % (n, first)
                else:
                    samples = timed_runs(fn, values, first, repeat)
                median = statistics.median(samples)
                history[name].append((n, median))
                rows.append((dist, n, name, median, samples, note))
            del values, original, expected
    progress.finish()
    return rows


def format_seconds(t):
    if t < 1e-3:
        return "%.1f us" % (t * 1e6)
    if t < 1:
        return "%.2f ms" % (t * 1e3)
    return "%.2f s" % t


# Extra ratio columns: (label, numerator, denominator), shown when both methods ran.
PAIR_RATIOS = [("sort/numpy", "sort", "numpy"), ("supersort/sort", "supersort", "sort"),
               ("sort/floor", "sort", "floor"), ("supersort/floor", "supersort", "floor"),
               ("sort/fused", "sort", "fused")]


def pair_ratios(names):
    return [r for r in PAIR_RATIOS if r[1] in names and r[2] in names]


def print_table(rows, names, out=None):
    out = out or sys.stdout   # looked up per call, so a redirected stdout gets the table
    by_key = {(d, n, m): t for d, n, m, t, _, _ in rows}
    keys = []
    for d, n, _, _, _, _ in rows:
        if (d, n) not in keys:
            keys.append((d, n))
    pairs = pair_ratios(names)
    header = ["distribution", "size"] + [
        name if name == "sorted" else name + " (/sorted)" for name in names] + [
        label for label, _, _ in pairs]
    lines = []
    for d, n in keys:
        base = by_key.get((d, n, "sorted"))
        if base is None:
            continue
        cells = [d, "%d" % n]
        for name in names:
            t = by_key.get((d, n, name))
            if t is None:
                cells.append("-")
            elif name == "sorted":
                cells.append(format_seconds(t))
            else:
                cells.append("%s %5.2fx" % (format_seconds(t), t / base))
        for _, top, bottom in pairs:
            t, u = by_key.get((d, n, top)), by_key.get((d, n, bottom))
            cells.append("%.2fx" % (t / u) if t is not None and u else "-")
        lines.append(cells)
    widths = [max(len(r[i]) for r in [header] + lines) for i in range(len(header))]
    fmt = "  ".join("%%-%ds" if i == 0 else "%%%ds" for i in range(len(header))) % tuple(widths)
    print(fmt % tuple(header), file=out)
    print("  ".join("-" * w for w in widths), file=out)
    previous = None
    for cells in lines:
        if previous is not None and cells[0] != previous:
            print(file=out)
        previous = cells[0]
        print(fmt % tuple(cells), file=out)


def write_csv(path, rows):
    by_key = {(d, n, m): t for d, n, m, t, _, _ in rows}
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["distribution", "size", "method", "median_s", "min_s",
                         "samples", "ratio_to_sorted", "ratio_to_sort", "ratio_to_numpy", "ratio_to_floor",
                         "ratio_to_fused", "note"])

        def ratio(t, d, n, base):
            u = by_key.get((d, n, base))
            return "%.4f" % (t / u) if t is not None and u else ""

        for d, n, m, t, samples, note in rows:
            writer.writerow([d, n, m, "" if t is None else "%.6g" % t,
                             "%.6g" % min(samples) if samples else "", len(samples),
                             ratio(t, d, n, "sorted"), ratio(t, d, n, "sort"),
                             ratio(t, d, n, "numpy"), ratio(t, d, n, "floor"), ratio(t, d, n, "fused"), note])


def write_plot(path, rows, dists, names):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cols = min(3, len(dists))
    nrows = (len(dists) + cols - 1) // cols
    fig, axes = plt.subplots(nrows, cols, figsize=(4.2 * cols, 3.4 * nrows), squeeze=False)
    by_key = {(d, n, m): t for d, n, m, t, _, _ in rows}
    for ax, dist in zip(axes.flat, dists):
        for name in names:
            if name == "sorted":
                continue
            points = [(n, by_key.get((d, n, "sorted")) / t) for d, n, m, t, _, _ in rows
                      if d == dist and m == name and t and by_key.get((d, n, "sorted"))]
            if points:
                ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=name)
        ax.axhline(1.0, color="black", linewidth=1)
        ax.set_xscale("log")
        ax.set_ylim(bottom=0)
        ax.set_title(dist)
        ax.set_xlabel("values")
        ax.set_ylabel("speed-up over sorted()")
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(dists):]:
        ax.set_visible(False)
    axes.flat[0].legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def parse_sizes(text):
    sizes = []
    for part in text.split(","):
        value = float(part)
        if value < 1 or value != int(value):
            raise argparse.ArgumentTypeError("size must be a positive integer: %r" % part)
        sizes.append(int(value))
    return sorted(set(sizes))


def parse_distributions(text):
    names = [p.strip() for p in text.split(",") if p.strip()]
    unknown = [p for p in names if p not in DISTRIBUTIONS]
    if unknown:
        raise argparse.ArgumentTypeError("unknown distribution(s) %s; choose from %s"
                                         % (", ".join(unknown), ", ".join(DISTRIBUTIONS)))
    return names


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m velmorasort.bench", description=__doc__.split("\n\n")[1])
    parser.add_argument("--sizes", type=parse_sizes, default=None,
                        help="comma-separated list sizes, e.g. 1e3,1e5 "
                             "(default 1e3..1e7, 1e3..1e5 with --quick)")
    parser.add_argument("--distributions", type=parse_distributions, default=list(DISTRIBUTIONS),
                        help="comma-separated subset of: %s (default all)" % ", ".join(DISTRIBUTIONS))
    parser.add_argument("--repeat", type=int, default=None,
                        help="timed runs per method (default 3, 1 with --quick)")
    parser.add_argument("--threads", type=int, default=-1, help="num_threads for supersort (default -1)")
    parser.add_argument("--cap", type=float, default=None,
                        help="seconds per call: sizes stop where sorted() would pass it, a method "
                             "that passes it is dropped (default 1.0, 0.25 with --quick)")
    parser.add_argument("--csv", metavar="FILE", help="also write the measurements as CSV")
    parser.add_argument("--plot", metavar="FILE", default="bench-velmorasort.png",
                        help="plot of the speed-ups over sorted(), written when matplotlib is "
                             "importable; '' for none (default %(default)s)")
    parser.add_argument("--busy", action="store_true",
                        help="keep one busy-loop process spinning during the run (a loaded machine)")
    parser.add_argument("--quick", action="store_true", help="small sizes, one run each")
    parser.add_argument("--instruction-set", metavar="NAME", default="",
                        help="keep the vectorised kernel to NAME (AVX2, SSE4, ...) and older sets, to show "
                             "what CPUs without the newest get")
    args = parser.parse_args(argv)
    if args.instruction_set:
        try:
            _kernel.restrict_instruction_set(args.instruction_set)
        except (RuntimeError, ValueError) as e:
            parser.error(str(e))
    sizes = args.sizes or (QUICK_SIZES if args.quick else DEFAULT_SIZES)
    repeat = args.repeat or (1 if args.quick else 3)
    cap = args.cap or (0.25 if args.quick else 1.0)
    if repeat < 1 or cap <= 0:
        parser.error("--repeat and --cap must be positive")

    names = [name for name, _ in methods(args.threads)]
    print("python %s on %s, %d CPUs; supersort num_threads=%d; numpy %s"
          % (platform.python_version(), platform.machine(), os.cpu_count() or 0, args.threads,
             numpy.__version__ if numpy is not None else "not installed (skipped)"))
    print("kernel: " + describe_kernel())
    print("sticks (lists of floats only): floor reads every value and makes a new float of each, no sort; "
          "fused reads each value into its order key, sorts the keys and makes each float from its key")
    start = time.perf_counter()
    with busy_loop() if args.busy else nullcontext() as spinner:
        if spinner is not None:
            print("busy: one busy-loop process (pid %d) spins for the whole run" % spinner.pid)
        print("median of %d run(s), cap %.2fs per call; times per call, ratios to sorted() (below 1 is "
              "faster);\n%s\n" % (repeat, cap, ", ".join(
                  "%s: %s time over %s time" % (label, top, bottom)
                  for label, top, bottom in pair_ratios(names)) or "no pairwise ratios"))
        try:
            rows = run(args.distributions, sizes, repeat, args.threads, cap)
        except Mismatch as e:
            print("\nMISMATCH: %s" % e, file=sys.stderr)
            return 1
    print_table(rows, names)
    notes = []
    for d, n, m, _, _, note in rows:
        if note and note != "size cap" and (d, m, note) not in notes:
            notes.append((d, m, note))
            print("note: %s on %s: %s" % (m, d, note if "dropped" in note else "n=%d: %s" % (n, note)))
    print("\nall results equal sorted(); %.1fs in all" % (time.perf_counter() - start))
    if args.csv:
        write_csv(args.csv, rows)
        print("wrote " + args.csv)
    if args.plot:
        if importlib.util.find_spec("matplotlib") is None:
            print("matplotlib not installed: no plot", file=sys.stderr)
        else:
            write_plot(args.plot, rows, args.distributions, names)
            print("wrote " + args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
