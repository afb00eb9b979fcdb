"""python -m velmorasort: its options, its output, and its check of the results."""
import os
import subprocess
import sys

import pytest

from velmorasort import __main__ as demo

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_help_describes_the_run_and_sorts_nothing():
    proc = subprocess.run([sys.executable, "-m", "velmorasort", "--help"], cwd=os.path.dirname(ROOT),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("usage: python -m velmorasort [-h] [--size SIZE]")
    assert "--size SIZE" in proc.stdout and "velmorasort.bench" in proc.stdout
    assert "values in" not in proc.stdout


def test_size_sets_the_run(capsys):
    assert demo.main(["--size", "7000"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "sorting 7000 random floats"
    assert [line.split(":")[0].strip() for line in lines[1:4]] == ["sorted", "sort", "supersort"]
    assert all(": 7000 values in " in line for line in lines[1:4])
    assert lines[4:] == ["all three agree"]


def test_a_wrong_result_fails_the_run(monkeypatch, capsys):
    monkeypatch.setattr(demo, "supersort", lambda values: sorted(values)[::-1])
    assert demo.main(["--size", "10"]) == 1
    out, err = capsys.readouterr()
    assert "MISMATCH" in err and "all three agree" not in out


@pytest.mark.parametrize("size", ["0", "-5", "ten"])
def test_bad_size_is_refused(capsys, size):
    with pytest.raises(SystemExit) as info:
        demo.main(["--size", size])
    assert info.value.code == 2
    assert "--size" in capsys.readouterr().err
