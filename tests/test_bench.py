"""The benchmark's guards: a wrong or input-changing method aborts the run, and
a method too slow for the cap is dropped instead of being run at larger sizes."""
import csv

import pytest

from velmorasort import bench

ARGS = ["--distributions", "uniform", "--repeat", "1", "--plot", ""]


def drops_last(values):
    result = sorted(values)
    return result[:-1] if len(values) > 5000 else result


def reverses_input(values):
    values.reverse()
    return sorted(values)


@pytest.mark.parametrize("broken, message", [
    (drops_last, "sort on uniform n=6000: 5999 values back, expected 6000"),
    (reverses_input, "sort on uniform n=1000 changed its input list"),
])
def test_faulty_method_aborts_the_run(monkeypatch, capsys, broken, message):
    monkeypatch.setattr(bench, "sort", broken)
    assert bench.main(ARGS + ["--sizes", "1000,6000"]) == 1
    out, err = capsys.readouterr()
    assert "MISMATCH: " + message in err
    assert "all results equal" not in out


class FakeClock:
    """The benchmark's clock, advanced only by the seconds the fake methods
    say they took: neither sleeping nor the machine's load can blur the cap."""

    def __init__(self):
        self.now = 0.0

    def perf_counter(self):
        return self.now


@pytest.mark.parametrize("seconds, sizes, called, note", [
    (lambda n: 0.05, "1000,2000,4000", {1000}, "dropped after n=1000: "),
    (lambda n: 0.002 * (n / 1000) ** 2, "1000,2000,16000", {1000, 2000}, "dropped from n=16000: predicted"),
])
def test_slow_method_is_dropped(monkeypatch, tmp_path, seconds, sizes, called, note):
    calls = set()
    clock = FakeClock()

    def steady_sorted(values):
        clock.now += 1e-6 * len(values)   # linear: never near the cap here
        return sorted(values)

    def slow_sort(values):
        calls.add(len(values))
        clock.now += seconds(len(values))
        return sorted(values)

    monkeypatch.setattr(bench, "time", clock)
    monkeypatch.setattr(bench, "methods", lambda threads: [("sorted", steady_sorted), ("sort", slow_sort)])
    path = tmp_path / "out.csv"
    assert bench.main(ARGS + ["--sizes", sizes, "--cap", "0.03", "--csv", str(path)]) == 0
    assert calls == called
    with open(str(path)) as f:
        rows = [r for r in csv.DictReader(f) if r["size"] == sizes.split(",")[-1]]
    by_method = {r["method"]: r for r in rows}
    assert by_method["sort"]["note"].startswith(note)
