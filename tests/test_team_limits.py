"""A supersort team is no larger than the CPUs the process may use, and a
team the system will not start shrinks instead of ending the process (the
OpenMP runtime exits when it cannot create a thread). Each case runs in a
child process under limits set before it starts, and under a timeout."""
import ctypes
import json
import os
import resource
import textwrap

import pytest

from support import EMULATOR, SPLIT_FROM, run_python, unavailable

SORTS = """
    import random, sys
    import velmorasort.VelmoraSort as m
    xs = [random.random() for _ in range(300000)]   # work for more than one thread
    try:
        ok = m.supersort(xs, 64) == sorted(xs) and m.supersort(xs) == sorted(xs)
        print("sorted" if ok else "wrong result")
    finally:
        print("finally ran")
"""


UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
# User-mode emulation runs a thread of its own in every process: one more
# than the program started, in /proc and against the process limit.
EXTRA_THREAD = pytest.mark.skipif(EMULATOR is not None,
                                  reason="%s runs a thread of its own in every process" % EMULATOR)
# It also drops a program's own RLIMIT_AS: the limit would bind the emulator.
NO_ADDRESS_LIMIT = pytest.mark.skipif(EMULATOR is not None, reason="%s ignores RLIMIT_AS" % EMULATOR)


def address_space(limit):
    def preexec():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return preexec


def test_team_capped_at_the_usable_cpus():
    """The teams a call starts, as the build records them: on one CPU none, on
    every CPU the process may use one thread each, and past them only with the
    test switch that lifts the cap."""
    if len(os.sched_getaffinity(0)) < 2:
        unavailable("the cap shows only with two CPUs or more")
    out = run_python("""
        import json, os, random
        import velmorasort.VelmoraSort as m
        from velmorasort import _kernel
        _kernel._test_teams(1000, False)   # enough values for any team; the CPUs decide
        xs = [random.random() for _ in range(300000)]
        for cpus in [{min(os.sched_getaffinity(0))}, os.sched_getaffinity(0)]:
            os.sched_setaffinity(0, cpus)
            assert m.supersort(xs, 64) == sorted(xs)
            print(json.dumps([len(cpus), _kernel._teams()]))
        _kernel._test_teams(1000, True)
        assert m.supersort(xs, len(cpus) + 2) == sorted(xs)
        print(json.dumps([len(cpus) + 2, _kernel._teams()]))
    """, check=True).stdout
    (_, started_one), (cpus, started), (more, started_more) = map(json.loads, out.splitlines())
    assert started_one == {}
    # Fewer threads than a split needs read and sort the list as sort does.
    assert started == ({"reading": cpus, "split": cpus} if cpus >= SPLIT_FROM else {})
    assert started_more == {"split": more, "reading": more}


@EXTRA_THREAD
def test_cpu_count_caps_the_reading_team_too():
    """num_threads left to cpu_count: its answer of 1 keeps every call, the
    reading of the list included, on the calling thread, although the
    reading comes before cpu_count is asked."""
    proc = run_python("""
        import os, random, types
        import velmorasort.VelmoraSort as m
        asked = []
        m.multiprocessing = types.SimpleNamespace(cpu_count=lambda: asked.append(1) or 1)
        xs = [random.random() for _ in range(300000)]   # long enough for a reading team
        for num_threads in (-1, 0, -1):
            assert m.supersort(xs, num_threads) == sorted(xs)
        print(len(asked), len(os.listdir("/proc/self/task")))
    """)
    assert (proc.returncode, proc.stdout.split()) == (0, ["3", "1"]), proc.stderr


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs to pin a thread to fewer")
def test_usable_cpus_are_the_process_s(faulty):
    """The CPUs the process may use, whichever thread asks: a thread pinned to
    one CPU (as another library's OpenMP places pin theirs) still sizes a
    full team; with the main thread pinned to one, which is what taskset
    sets, any thread sees one."""
    out = faulty.run("""
        import os, threading
        import velmorasort.VelmoraSort as m
        cpus = os.sched_getaffinity(0)
        def in_thread(mask):
            seen = []
            def run():
                os.sched_setaffinity(0, mask)   # this thread's own mask
                seen.append(m._usable_cpus(0))
            thread = threading.Thread(target=run)
            thread.start()
            thread.join()
            return seen[0]
        pinned_thread = in_thread({min(cpus)})
        os.sched_setaffinity(0, {min(cpus)})   # the main thread's
        print(len(cpus), pinned_thread, in_thread(cpus), m._usable_cpus(0))
    """)
    cpus, pinned_thread, wide_thread, pinned_main = map(int, out.split())
    assert (pinned_thread, wide_thread, pinned_main) == (cpus, 1, 1), out


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's shadow memory needs more address space than that")
@NO_ADDRESS_LIMIT
@pytest.mark.parametrize("stack", [None, "OMP_STACKSIZE=600M", "GOMP_STACKSIZE=600M", "KMP_STACKSIZE=600M"])
def test_address_space_limit(stack):
    """ulimit -v 524288 with 64 threads asked for; with a 600 MB thread stack
    not even one more thread fits, and the calling thread sorts alone. GCC's
    runtime ignores KMP_STACKSIZE; LLVM's reads it first."""
    env = dict([stack.split("=")]) if stack else {}
    proc = run_python(SORTS, preexec=address_space(512 * 2 ** 20), env=env)
    assert (proc.returncode, proc.stdout.split("\n")[:2]) == (0, ["sorted", "finally ran"]), proc.stderr


# The address-space limit is set inside the child, above what it has mapped
# once its list is made, so that only the sort's own allocations and the
# team's start compete for the rest.
SCRATCH_THEN_TEAM = """
    import random, resource, sys, velmorasort
    from velmorasort import _kernel
    _kernel._test_teams(0, True)   # a team of three splits the list on any machine
    values = [random.random() for _ in range(10 ** 6)]
    with open("/proc/self/status") as f:
        mapped = int([x for x in f if x.startswith("VmSize")][0].split()[1]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (mapped + int(sys.argv[1]) * 2 ** 20, resource.RLIM_INFINITY))
    try:
        result = velmorasort.supersort(values, num_threads=3)
        print("sorted" if result == sorted(values) else "WRONG")
    except MemoryError:
        print("MemoryError")
    finally:
        print("finally ran")
"""


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's shadow memory needs more address space than that")
@NO_ADDRESS_LIMIT
def test_team_start_after_the_scratch_is_allocated(faulty):
    """With 256 MB thread stacks and the address space nearly used up, the
    scratch of the sort may take what a team member's stack needed after the
    team was sized. The team is sized again just before it starts, so every
    limit gives a sorted result or a MemoryError, with `finally` run; none
    ends the process (the runtime's "Thread creation failed" exit)."""
    outcomes = set()
    for extra in range(548, 668, 4):   # from teams of two to three, MemoryErrors between
        proc = run_python(SCRATCH_THEN_TEAM, path=faulty.path, args=[extra], env={"OMP_STACKSIZE": "256M"})
        assert proc.returncode == 0 and proc.stdout.endswith("finally ran\n"), (extra, proc.stderr)
        outcomes.add(proc.stdout.split()[0])
    assert outcomes <= {"sorted", "MemoryError"} and "sorted" in outcomes, outcomes


PR_CAPBSET_DROP, CAP_SYS_ADMIN, CAP_SYS_RESOURCE = 24, 21, 24


def user_threads(uid):
    """Threads the user `uid` runs now, all processes together."""
    count = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/status" % pid) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        if int(fields["Uid"].split()[0]) == uid:
            count += int(fields["Threads"])
    return count


@EXTRA_THREAD
def test_process_limit():
    """ulimit -u: room for exactly one more thread, which a waiting Python
    thread takes before the sort. The root user is exempt from the limit, so
    a root run counts its threads under another real user id and gives up the
    capabilities that would exempt it too."""
    root = os.geteuid() == 0
    if root and UNDER_ASAN:
        pytest.skip("a child with another real user id runs in secure mode, without the sanitizer preload")
    uid = 65534 if root else os.geteuid()
    libc = ctypes.CDLL(None, use_errno=True)

    def preexec():
        # This child counts already; one more thread fits under the limit.
        limit = user_threads(uid) + (2 if root else 1)
        resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))
        if root:
            for capability in (CAP_SYS_ADMIN, CAP_SYS_RESOURCE):
                libc.prctl(PR_CAPBSET_DROP, capability, 0, 0, 0)
            os.setresuid(uid, 0, 0)

    proc = run_python(textwrap.dedent("""
        import threading
        gate = threading.Event()
        threading.Thread(target=gate.wait, daemon=True).start()
        try:
            threading.Thread(target=gate.wait, daemon=True).start()
            print("limit not in force")
        except RuntimeError:
            pass
    """) + textwrap.dedent(SORTS), preexec=preexec)
    if proc.stdout.startswith("limit not in force"):
        pytest.skip("the process limit does not bind here")
    assert (proc.returncode, proc.stdout.split("\n")[:2]) == (0, ["sorted", "finally ran"]), proc.stderr
