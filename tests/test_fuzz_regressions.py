"""Replays the inputs saved under tests/fuzz_regressions/ (tools/fuzz.py adds
each failing input it finds there), and checks that the harness catches a
wrong sort on each of them."""
import importlib.util
import os

import pytest

import velmorasort.VelmoraSort as vs

HERE = os.path.dirname(os.path.abspath(__file__))
FOLDER = os.path.join(HERE, "fuzz_regressions")
NAMES = sorted(n for n in os.listdir(FOLDER) if not n.startswith("."))


def load_harness():
    spec = importlib.util.spec_from_file_location(
        "velmorasort_fuzz_harness", os.path.join(os.path.dirname(HERE), "tools", "fuzz.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


harness = load_harness()


def read(name):
    with open(os.path.join(FOLDER, name), "rb") as f:
        return f.read()


def test_inputs_are_saved():
    assert len(NAMES) >= 5


@pytest.mark.parametrize("name", NAMES)
def test_saved_input(name, monkeypatch):
    harness.check(read(name))

    def unsorted_copy(*args, **kwargs):
        return list(args[0] if args else kwargs["input_list"])
    for function in ("sort", "supersort"):
        monkeypatch.setattr(vs, function, unsorted_copy)
    with pytest.raises(AssertionError):
        harness.check(read(name))
