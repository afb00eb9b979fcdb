"""The benchmark's inputs, its pairwise ratio columns and its --busy spinner."""
import contextlib
import csv
import io
import math
import os
import random
import time

import pytest

from support import run_python
from velmorasort import bench

ARGS = ["--repeat", "1", "--plot", "", "--sizes", "1000"]
INT_SHAPES = {"few-distinct", "wide-ints"}


@pytest.mark.parametrize("name", sorted(bench.DISTRIBUTIONS))
@pytest.mark.parametrize("n", [0, 1, 2, 7, 1000])
def test_every_shape_gives_n_finite_values_of_its_kind(name, n):
    values = bench.DISTRIBUTIONS[name](random.Random(n), n)
    assert len(values) == n
    kind = int if name in INT_SHAPES else float
    assert all(type(v) is kind for v in values)
    assert all(math.isfinite(v) for v in values)
    assert values == bench.DISTRIBUTIONS[name](random.Random(n), n)


def test_shapes_have_the_structure_they_are_named_for():
    def make(name, n=20000):
        return bench.DISTRIBUTIONS[name](random.Random(name), n)

    nearly = make("nearly-sorted")
    out_of_place = sum(a != b for a, b in zip(nearly, sorted(nearly)))
    assert 0 < out_of_place <= 0.02 * len(nearly)

    pipe = make("organ-pipe", 20001)
    peak = pipe.index(max(pipe))
    assert abs(peak - len(pipe) // 2) <= 1
    assert pipe[:peak + 1] == sorted(pipe[:peak + 1])
    assert pipe[peak:] == sorted(pipe[peak:], reverse=True)

    clusters = make("two-clusters")
    low = [v for v in clusters if abs(v) < 10]
    high = [v for v in clusters if abs(v - 1e6) < 10]
    assert len(low) + len(high) == len(clusters) and min(len(low), len(high)) > 0.4 * len(clusters)

    wide = make("wide-ints")
    assert min(wide) >= 0 and max(wide) < 2 ** 40 and max(wide) > 2 ** 39

    zeros = [v for v in make("zero-signs") if v == 0]
    negative = sum(math.copysign(1.0, v) < 0 for v in zeros)
    assert 0.4 < len(zeros) / 20000 < 0.6
    assert 0 < negative < len(zeros)

    assert max(make("lognormal-3")) > max(make("lognormal"))
    assert max(make("pareto")) > 1e3


def test_ratio_columns_in_table_and_csv(tmp_path):
    rows = [("uniform", 1000, "sorted", 4.0, [4.0], ""),
            ("uniform", 1000, "sort", 2.0, [2.0], ""),
            ("uniform", 1000, "supersort", 3.0, [3.0], ""),
            ("uniform", 1000, "numpy", 1.0, [1.0], ""),
            ("uniform", 2000, "sorted", 8.0, [8.0], ""),
            ("uniform", 2000, "sort", None, [], "dropped after n=1000: 9.0s"),
            ("uniform", 2000, "supersort", 4.0, [4.0], ""),
            ("uniform", 2000, "numpy", 2.0, [2.0], "")]
    names = ["sorted", "sort", "supersort", "numpy"]

    out = io.StringIO()
    bench.print_table(rows, names, out=out)
    header, _, first, second = out.getvalue().splitlines()
    assert header.split()[-2:] == ["sort/numpy", "supersort/sort"]
    assert first.split()[-2:] == ["2.00x", "1.50x"]
    assert second.split()[-2:] == ["-", "-"]

    # Without numpy only the supersort/sort column remains.
    out = io.StringIO()
    bench.print_table([r for r in rows if r[2] != "numpy"], names[:3], out=out)
    assert "sort/numpy" not in out.getvalue() and "supersort/sort" in out.getvalue()

    path = tmp_path / "out.csv"
    bench.write_csv(str(path), rows)
    with open(str(path)) as f:
        by_key = {(int(r["size"]), r["method"]): r for r in csv.DictReader(f)}
    assert by_key[1000, "sort"]["ratio_to_numpy"] == "2.0000"
    assert by_key[1000, "supersort"]["ratio_to_sort"] == "1.5000"
    assert by_key[1000, "supersort"]["ratio_to_sorted"] == "0.7500"
    assert by_key[2000, "supersort"]["ratio_to_sort"] == ""


class ListBackedNumpy:
    """What the benchmark asks of numpy, done with lists: the ratio columns
    are tested wherever numpy is missing too."""
    __version__ = "stand-in"
    float64 = float

    class Array(list):
        def tolist(self):
            return list(self)

    @classmethod
    def array(cls, values, dtype):
        return cls.Array(map(dtype, values))

    @classmethod
    def sort(cls, array):
        return cls.Array(sorted(array))


def test_run_with_new_shapes_shows_ratio_columns(capsys, monkeypatch):
    if bench.numpy is None:
        monkeypatch.setattr(bench, "numpy", ListBackedNumpy)
    assert bench.main(ARGS + ["--distributions", "zero-signs,wide-ints"]) == 0
    out = capsys.readouterr().out
    assert "sort/numpy" in out and "supersort/sort" in out
    assert "zero-signs" in out and "wide-ints" in out
    # The sticks run beside the sorts on floats only: no ratio to them for ints.
    header = next(line for line in out.splitlines() if line.startswith("distribution")).split()
    assert header[-3:] == ["sort/floor", "supersort/floor", "sort/fused"]
    rows = {line.split()[0]: line.split() for line in out.splitlines() if line.startswith(("zero-", "wide-"))}
    assert rows["wide-ints"][-3:] == ["-", "-", "-"]
    assert all(cell.endswith("x") for cell in rows["zero-signs"][-3:])
    monkeypatch.setattr(bench, "numpy", None)
    assert bench.main(ARGS + ["--distributions", "organ-pipe"]) == 0
    out = capsys.readouterr().out
    assert "sort/numpy" not in out and "supersort/sort" in out


def gone(pid):
    """True once pid has exited (a zombie awaiting its reaper counts as gone)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


def wait_gone(pid, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not gone(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    return gone(pid)


def test_busy_process_runs_during_the_run_and_stops_after(monkeypatch, capsys):
    seen = []
    real_run = bench.run

    def watched_run(*args):
        pids = [int(line.split("pid ")[1].split(")")[0])
                for line in capsys.readouterr().out.splitlines() if line.startswith("busy:")]
        seen.extend(pids)
        assert len(pids) == 1 and not gone(pids[0])
        return real_run(*args)

    monkeypatch.setattr(bench, "run", watched_run)
    assert bench.main(ARGS + ["--distributions", "uniform", "--busy"]) == 0
    assert len(seen) == 1 and gone(seen[0])


@pytest.mark.parametrize("error", [KeyboardInterrupt, bench.Mismatch])
def test_busy_process_stops_on_interrupt_and_mismatch(monkeypatch, error):
    procs = []
    real_busy_loop = bench.busy_loop

    @contextlib.contextmanager
    def recording_busy_loop():
        with real_busy_loop() as proc:
            procs.append(proc)
            yield proc

    def failing_run(*args):
        assert procs[0].poll() is None
        raise error("stop")

    monkeypatch.setattr(bench, "busy_loop", recording_busy_loop)
    monkeypatch.setattr(bench, "run", failing_run)
    if error is KeyboardInterrupt:
        with pytest.raises(KeyboardInterrupt):
            bench.main(ARGS + ["--busy"])
    else:
        assert bench.main(ARGS + ["--busy"]) == 1
    assert procs[0].poll() is not None


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc")
def test_busy_process_stops_when_the_benchmark_is_killed():
    # A benchmark killed outright runs no cleanup: the spinner must notice by itself.
    script = ("import os, sys\n"
              "from velmorasort import bench\n"
              "with bench.busy_loop() as proc:\n"
              "    print(proc.pid, flush=True)\n"
              "    os._exit(0)\n")
    parent = run_python(script, timeout=60)   # away from the tree: the installed build
    assert parent.returncode == 0, parent.stderr
    pid = int(parent.stdout)
    if not wait_gone(pid):
        os.kill(pid, 9)
        pytest.fail("busy-loop process %d outlived the benchmark" % pid)
