"""Makes every allocation site of a call fail in turn, with the fault-injection
build: sort on the direct path and the bucket pass, supersort handing a short
list to sort, and supersort on teams of 1, 2 and 3; then every allocation of
the module's import, start-up included.

Usage (from the repository root):

    python tools/faults.py            # every site, every failure kind
    python tools/faults.py --quick    # the first and the last sites, fewer kinds
    python tools/faults.py --build DIR   # use a fault-injection build in DIR

Without --build it builds (or reuses) build/faulty-<python>-<digest>, as the
tests' `faulty` fixture does, and reruns itself in a child interpreter that
imports that build. For countdown 1, 2, ... the countdown-th site from the
call's start throws; the call must raise the translated exception with the
module's traceback entries, leave the caller's list as it was, and the module
must work afterwards. The sweep of a call ends at the first countdown that the
call no longer reaches. Every traceback entry the module adds must name a file
of the source tree and a line that holds a step of the failing function.

The import sweep makes the k-th allocation of the interpreter's allocators
fail (the interpreter's own test hook, _testcapi.set_nomemory) for k = 1, 2,
...: the import must fail with MemoryError, with the start-up's entry at a
step where it has one, or succeed (a failure the interpreter absorbed), and
the module must work once imported. A successful import ends its process,
since start-up runs once per process; the sweep goes on in a fresh one, up
to twice the last allocation that failed an import (and at least
STARTUP_END). Exits 1 on any finding."""
import argparse
import math
import os
import random
import shutil
import subprocess
import sys
import sysconfig
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SORT = "velmorasort.VelmoraSort.sort"
SUPERSORT = "velmorasort.VelmoraSort.supersort"
SORTER = "velmorasort.VelmoraSort.sort_internal"
TO_VECTOR = "velmorasort.VelmoraSort.list_to_vector"
TO_LIST = "velmorasort.VelmoraSort.vector_to_list"
INNER = {SORTER, TO_VECTOR, TO_LIST}
# What the line of a traceback entry holds: a step of the failing function or
# of the sorter, or the definition of the function whose binding failed.
STEP_MARKS = ("step(", "step.fail(", "step.raise(", "sorter_step(", "_entry(")

# Kind armed -> (exception type, message) a native site raises. Sites that
# report through the interpreter's own allocation failure raise MemoryError
# whatever the kind; they are the vector-to-list conversion's.
KINDS = {0: (MemoryError, "std::bad_alloc"), 1: (RuntimeError, "injected length_error"),
         2: (RuntimeError, "Unknown exception")}


# --quick sweeps the other failure kinds in these scenarios only.
QUICK_OTHER_KINDS = ("sort, bucket pass", "supersort, team 2")


def scenarios(m):
    rng = random.Random(7)

    def values(n, nans=0):
        xs = [rng.uniform(-1e3, 1e3) for _ in range(n)]
        for _ in range(nans):
            xs[rng.randrange(1, n - 1)] = math.nan
        xs[rng.randrange(n)] = math.inf
        # Both zero signs: their group goes through the insertion sorter, the
        # one sorter that allocates.
        xs[rng.randrange(n)] = 0.0
        xs[rng.randrange(n)] = -0.0
        return xs

    def nearly_sorted(rng, n):
        xs = [float(i) for i in range(n)]
        for _ in range(40):
            i, j = rng.randrange(n), rng.randrange(n)
            xs[i], xs[j] = xs[j], xs[i]
        return xs

    return [
        ("sort, direct path", SORT, m.sort, (), values(1500, nans=3)),
        ("sort, bucket pass", SORT, m.sort, (), values(5200, nans=3)),
        ("supersort, handed to sort", SUPERSORT, m.supersort, (2,), values(6000)),
        ("supersort, team 1", SUPERSORT, m.supersort, (1,), values(20500, nans=2)),
        ("supersort, team 2", SUPERSORT, m.supersort, (2,), values(20500, nans=2)),
        ("supersort, team 3", SUPERSORT, m.supersort, (3,), values(20500, nans=2)),
        # A unique order: read straight into order keys, which are sorted as they
        # are; nearly sorted, so that every check's buffer is made.
        ("sort, key pipeline", SORT, m.sort, (), nearly_sorted(rng, 5200)),
    ]


# The smallest team that splits a list with one order, the calling thread
# making the floats of the pieces the others sort (tuning::kPipelineThreadsMin);
# smaller teams read and sort it as sort does, without the lock.
SPLIT_FROM = 3


def expected_teams(label):
    """The teams a scenario's call starts: "team N" a team of N threads that
    splits the list from SPLIT_FROM on (smaller ones sort it in one piece)."""
    team = int(label.rsplit(" ", 1)[1]) if label.startswith("supersort, team") else 1
    return {"split": team} if team >= SPLIT_FROM else {}


def entries(exc):
    """Names of the traceback entries below the caller's own frame."""
    names = []
    tb = exc.__traceback__.tb_next
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def place_findings(exc):
    """Entries of the module that do not name a step of the failing function."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        path, line = tb.tb_frame.f_code.co_filename, tb.tb_lineno
        if path.startswith("velmorasort/"):
            try:
                with open(os.path.join(ROOT, path)) as f:
                    text = f.read().splitlines()[line - 1]
            except (OSError, IndexError):
                text = None
            if text is None or not any(mark in text for mark in STEP_MARKS):
                found.append("%s names %s:%d %r" % (tb.tb_frame.f_code.co_name, path, line, text))
        tb = tb.tb_next
    return found


def expected_sorted(xs):
    plain = sorted(x for x in xs if not math.isnan(x))
    return plain + [x for x in xs if math.isnan(x)]


def same(a, b):
    return len(a) == len(b) and all(x == y or (x != x and y != y) for x, y in zip(a, b))


def sweep(m, label, outer, fn, extra, xs, kind, quick):
    """Returns (sites swept, findings)."""
    from velmorasort import _kernel
    # Real teams of the size asked for on these short lists, on any machine.
    _kernel._test_teams(1000, True)
    findings = []
    want = expected_sorted(xs)
    snapshot = list(xs)
    _kernel._teams()
    m._fault_arm(10 ** 12, kind)              # counts the sites without firing
    assert same(fn(xs, *extra), want)
    total = m._fault_sites()
    started = _kernel._teams()
    if started != expected_teams(label):
        findings.append("%s: teams %s ran, not %s" % (label, started, expected_teams(label)))
    m._fault_arm(0, kind)
    if quick:
        countdowns = sorted({1, 2} | set(range(max(1, total - 50), total + 2)))
    else:
        countdowns = range(1, total + 2)
    swept = 0
    for countdown in countdowns:
        m._fault_arm(countdown, kind)
        try:
            result = fn(xs, *extra)
        except BaseException as exc:   # noqa: B902 - any escape is examined
            error = exc
        else:
            error = None
        passed = m._fault_sites()
        m._fault_arm(0, kind)
        where = "%s, kind %d, countdown %d" % (label, kind, countdown)
        if error is None:
            if passed >= countdown:
                findings.append("%s: the site failed but the call succeeded" % where)
            elif not same(result, want):
                findings.append("%s: wrong result" % where)
            if countdown <= total:
                findings.append("%s: only %d sites reached (dry run: %d)" % (where, passed, total))
            break
        swept += 1
        names = entries(error)
        exc_type, message = KINDS[kind]
        translated = type(error) is exc_type and str(error) == message
        from_interpreter = type(error) is MemoryError and names and names[-1] == TO_LIST
        if not (translated or from_interpreter):
            findings.append("%s: %s: %s" % (where, type(error).__name__, error))
        shape_ok = (names[:1] == [outer] and len(names) <= 3
                    and all(n in INNER for n in names[1:] if n != SORT)
                    and (SORT not in names[1:] or (outer == SUPERSORT and names[1] == SORT)))
        if not shape_ok:
            findings.append("%s: traceback entries %s" % (where, names))
        findings += ["%s: %s" % (where, f) for f in place_findings(error)]
        if xs != snapshot:
            findings.append("%s: caller's list changed" % where)
        # The module works afterwards: on the same input near the interesting
        # ends of the sweep, on a short list everywhere else.
        if countdown <= 3 or countdown > total - 60 or countdown % 997 == 0:
            if any(a is not b for a, b in zip(xs, snapshot)):
                findings.append("%s: caller's list holds other objects" % where)
            if not same(fn(xs, *extra), want):
                findings.append("%s: the next call went wrong" % where)
        elif m.sort([3.0, 1.0, 2.0]) != [1.0, 2.0, 3.0]:
            findings.append("%s: the next call went wrong" % where)
        if len(findings) > 20:
            break
    return swept, total, findings


STARTUP_CHILD = r"""
import glob, importlib.machinery, importlib.util, os, sys
sys.path.insert(0, %(tools)r)
import _testcapi
import faults
import multiprocessing  # imported by start-up; its own import is not swept
path = glob.glob(os.path.join("velmorasort", "VelmoraSort*.so"))[0]
for k in range(%(first)d, %(first)d + 100000):
    for name in [n for n in sys.modules if n.startswith("velmorasort")]:
        del sys.modules[name]
    loader = importlib.machinery.ExtensionFileLoader("velmorasort.VelmoraSort", path)
    spec = importlib.util.spec_from_file_location("velmorasort.VelmoraSort", path, loader=loader)
    error = None
    _testcapi.set_nomemory(k, k + 1)
    try:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    except BaseException as e:   # noqa: B902 - any escape is examined
        error = e
    finally:
        _testcapi.remove_mem_hooks()
    if error is None:
        works = module.sort([3.0, 1.0, 2.0]) == [1.0, 2.0, 3.0] and module.supersort([2, 1] * 10000, 2)[0] == 1.0
        print(k, "ok" if works else "FINDING: the imported module does not work")
        break
    names = faults.entries(error) if error.__traceback__ else []
    kind = "entry" if "init velmorasort.VelmoraSort" in names else "plain"
    problems = faults.place_findings(error)
    if type(error) is not MemoryError:
        problems.append("%%s: %%s" %% (type(error).__name__, error))
    print(k, kind, *["FINDING: " + p for p in problems], flush=True)
    if %(one_failure)r:
        break
"""

# 3.13 (3.13.0 and 3.13.5 seen) cannot import again after an import that
# failed while it readied the module's function type: its own dictionary code
# crashes on the next attempt. There each failing import gets a process.
ONE_FAILURE_A_PROCESS = sys.version_info[:2] == (3, 13)

# Allocations the import sweep covers at least; a whole import makes about
# half as many.
STARTUP_END = 300


# 3.13's free-threaded build leaves a type's dictionary corrupt when an
# allocation fails while PyType_Ready fills it (dictresize), then crashes on
# its next insertion there, inside PyType_Ready, before any code of the
# module's runs again. It meets that readying the module's function type.
INTERPRETER_FAULT_POSSIBLE = sys.version_info[:2] == (3, 13) and bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def interpreter_fault(command, build, env):
    """Whether a child that crashed at its first failing import crashed in
    the interpreter's fault above: rerun under gdb, the crash must lie in the
    dictionary code that PyType_Ready called for the module's function type,
    with no frame of the module's in between. Without gdb, nothing counts as
    such (CI installs it)."""
    gdb = shutil.which("gdb")
    if not INTERPRETER_FAULT_POSSIBLE or gdb is None:
        return False
    out = subprocess.run([gdb, "-q", "-batch", "-ex", "run", "-ex", "bt 40", "--args"] + list(command),
                         cwd=os.path.abspath(build), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, timeout=600).stdout
    frames = [line for line in out.splitlines() if line.startswith("#")]
    ready = next((i for i, f in enumerate(frames) if " PyType_Ready " in f), None)
    return ("SIGSEGV" in out and ready is not None and any(" dictresize " in f for f in frames[:ready])
            and not any("velmora::" in f.split(" (")[0] for f in frames[:ready])
            and any("ready_function_type" in f for f in frames[ready:ready + 3]))


def startup_sweep(build):
    """Returns (failing imports checked, of them with the start-up's entry,
    findings)."""
    env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
    first, last_failure, failures, with_entry, findings = 1, 0, 0, 0, []
    while first <= max(STARTUP_END, 2 * last_failure):
        proc = subprocess.run([sys.executable, "-c", STARTUP_CHILD % {"tools": os.path.dirname(
            os.path.abspath(__file__)), "first": first, "one_failure": ONE_FAILURE_A_PROCESS}],
            cwd=os.path.abspath(build), env=env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
        lines = proc.stdout.splitlines()
        if proc.returncode < 0 and not lines and interpreter_fault(proc.args, build, env):
            print("import, allocation %d: the interpreter's own fault, not swept" % first, file=sys.stderr)
            first += 1
            continue
        if proc.returncode != 0 or not lines:
            findings.append("import from allocation %d: child exited %d: %s"
                            % (first, proc.returncode, proc.stderr[-2000:]))
            break
        for line in lines:
            k, outcome = line.split(" ", 1)
            findings += ["import, allocation %s: %s" % (k, f) for f in outcome.split("FINDING: ")[1:]]
            if not (outcome.startswith("ok") or outcome.startswith("FINDING")):
                last_failure = int(k)
                failures += 1
                with_entry += outcome.startswith("entry")
        first = int(lines[-1].split()[0]) + 1
    return failures, with_entry, findings


def run_here(quick):
    import velmorasort.VelmoraSort as m
    if not hasattr(m, "_fault_arm"):
        sys.exit("velmorasort.VelmoraSort at %s is not the fault-injection build" % m.__file__)
    print("module:", m.__file__)
    all_findings = []
    start = time.monotonic()
    for kind in KINDS:
        for label, outer, fn, extra, xs in scenarios(m):
            if quick and kind != 0 and label not in QUICK_OTHER_KINDS:
                continue
            t0 = time.monotonic()
            swept, total, findings = sweep(m, label, outer, fn, extra, xs, kind, quick)
            print("kind %d  %-28s %6d sites, %6d failing calls checked, %5.1f s, %d findings"
                  % (kind, label, total, swept, time.monotonic() - t0, len(findings)))
            all_findings += findings
    t0 = time.monotonic()
    failures, with_entry, findings = startup_sweep(os.path.dirname(os.path.dirname(os.path.abspath(m.__file__))))
    print("import: %d failing imports checked, %d with the start-up's entry, %.1f s, %d findings"
          % (failures, with_entry, time.monotonic() - t0, len(findings)))
    all_findings += findings
    print("total %.1f s" % (time.monotonic() - start))
    for f in all_findings:
        print("FINDING:", f)
    return 1 if all_findings else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--build", help="folder holding a fault-injection build of velmorasort")
    parser.add_argument("--here", action="store_true",
                        help="sweep the velmorasort this interpreter imports")
    args = parser.parse_args()
    if args.here:
        return run_here(args.quick)
    build = args.build
    if build is None:
        sys.path.insert(0, ROOT)
        from tests.conftest import build_fault_injection_copy
        build = build_fault_injection_copy()
    env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
    command = [sys.executable, os.path.abspath(__file__), "--here"] + (["--quick"] if args.quick else [])
    return subprocess.call(command, cwd=os.path.abspath(build), env=env)


if __name__ == "__main__":
    sys.exit(main())
