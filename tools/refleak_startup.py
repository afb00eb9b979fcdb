"""Reference leak check of a failing start-up, for a debug interpreter
(sys.gettotalrefcount).

Usage: run through tools/refleaks.sh, which builds the extension for the
debug interpreter and runs

    PYTHONPATH=<build> python3.11-dbg tools/refleak_startup.py

For k = 1, 2, ... the k-th allocation of the interpreter's allocators during
the module's import fails (_testcapi.set_nomemory), the same way several
times over: a failed import leaves no module behind, so it can be repeated.
Each process first fails imports until one fails late in start-up, so that
the one-time steps are behind it and each attempt allocates alike.
The k whose imports grow the reference count in every measured round leak.
(Allocated blocks are not judged: the interpreter's own import path keeps a
few blocks on some early failures, for its own test extensions too.) A
successful import (a failure the interpreter absorbed) ends its process,
since start-up runs once per process; the sweep goes on in a fresh one, up
to twice the last allocation that failed an import (and at least END).
Exits 1 on a leak."""
import array
import gc
import glob
import os
import subprocess
import sys

WARM, ROUNDS = 3, 4
END = 300   # allocations swept at least; a whole import makes about half as many


def import_error(path, k):
    """Imports the extension with the k-th allocation failing; the exception
    it raised, or None when it succeeded."""
    import importlib.machinery
    import importlib.util
    import _testcapi
    for name in [n for n in sys.modules if n.startswith("velmorasort")]:
        del sys.modules[name]
    loader = importlib.machinery.ExtensionFileLoader("velmorasort.VelmoraSort", path)
    spec = importlib.util.spec_from_file_location("velmorasort.VelmoraSort", path, loader=loader)
    _testcapi.set_nomemory(k, k + 1)
    try:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    except MemoryError as e:
        return e
    finally:
        _testcapi.remove_mem_hooks()
    return None


def interning_line():
    """The line of start-up's step that makes the interned names, which later
    attempts keep: priming goes on past it."""
    source = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "velmorasort",
                          "VelmoraSort.cpp")
    with open(source) as f:
        return next(n for n, line in enumerate(f, 1) if "intern_names(st.names) < 0" in line)


INTERNING_LINE = interning_line()


def prime(path, absorbed):
    """Fails imports at allocations 1, 2, ... (skipping those in `absorbed`,
    whose failure leaves the import successful) until one fails in start-up's
    own steps, then fails that allocation again until the failure lies past
    the step that makes the interned names: the one-time steps (the function
    type, every interned name) have then run, and later imports allocate
    alike from one attempt to the next.
    Returns 0, or the allocation whose failure left the import successful."""
    for k in range(1, 100000):
        if k in absorbed:
            continue
        error = import_error(path, k)
        # Once start-up's own steps fail, the same allocation fails again
        # until every interned name is made (each attempt keeps those it made).
        while error is not None and start_up_line(error) is not None:
            if start_up_line(error) > INTERNING_LINE:
                return 0
            error = import_error(path, k)
        if error is None:
            return k


def start_up_line(error):
    """The line of start-up's traceback entry, or None where it has none."""
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_name == "init velmorasort.VelmoraSort":
            return tb.tb_lineno
        tb = tb.tb_next
    return None


def sweep_from(path, first, absorbed):
    """Child: primes start-up (skipping the allocations in `absorbed`), then measures
    k = first, first + 1, ... up to the first import that succeeds; one line
    per k: "k ok", "k clean" or "k LEAK refs [...]"; "primed-ok k" when
    priming ended in a successful import at allocation k."""
    import multiprocessing  # noqa: F401 - start-up imports it; its own import is not measured
    success = prime(path, absorbed)
    if success:
        print("primed-ok", success)
        return
    # Preallocated, so that measuring keeps no objects of its own.
    readings = array.array("q", bytes(8 * (WARM + ROUNDS)))
    for k in range(first, first + 100000):
        for r in range(WARM + ROUNDS):
            if import_error(path, k) is None:
                print(k, "ok")
                return
            gc.collect()
            readings[r] = sys.gettotalrefcount()
        deltas = [readings[r] - readings[r - 1] for r in range(WARM, WARM + ROUNDS)]
        print(k, "LEAK refs %s" % deltas if all(d > 0 for d in deltas) else "clean", flush=True)


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("needs a debug interpreter (python3.11-dbg)")
    folder = next(p for p in sys.path if glob.glob(os.path.join(p or ".", "velmorasort", "VelmoraSort*.so")))
    path = os.path.abspath(glob.glob(os.path.join(folder or ".", "velmorasort", "VelmoraSort*.so"))[0])
    if len(sys.argv) >= 3 and sys.argv[1] == "--from":
        return sweep_from(path, int(sys.argv[2]), set(map(int, sys.argv[3:])))
    print("module:", path)
    first, absorbed, last_failure, checked, leaks = 1, [], 0, 0, []
    while first <= max(END, 2 * last_failure):
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--from", str(first)]
                              + [str(k) for k in absorbed],
                              stdout=subprocess.PIPE, universal_newlines=True, timeout=600)
        lines = proc.stdout.splitlines()
        if len(lines) == 1 and lines[0].startswith("primed-ok"):
            absorbed.append(int(lines[0].split()[1]))   # priming skips that allocation from now on
            if len(absorbed) > 1000:
                print("priming never reaches start-up's own steps")
                return 1
            continue
        if proc.returncode != 0 or not lines:
            print("child from allocation %d exited %d" % (first, proc.returncode))
            return 1
        for line in lines:
            k, outcome = line.split(" ", 1)
            if outcome == "ok":
                continue
            last_failure, checked = int(k), checked + 1
            if outcome.startswith("LEAK"):
                leaks.append(k)
                print("allocation %s: %s" % (k, outcome))
        first = int(lines[-1].split()[0]) + 1
    print("%d failing imports measured, %d rounds each; leaks: %s"
          % (checked, ROUNDS, ", ".join(leaks) or "none"))
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
