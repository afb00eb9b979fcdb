"""Replays the native fuzzer's corpus (tests/fuzz_native_corpus/) through its
target, built with the compiler that builds the module and a plain main
instead of libFuzzer, checks that the corpus catches a broken kernel, that the
seeds sit at the thresholds they are named for, and that the target's model
agrees with the Python model."""
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import sysconfig

import pytest

from interpolation_model import insertion_sort
from support import EMULATOR, bits, ordered

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HARNESS = os.path.join(ROOT, "tools", "fuzz_native")
CORPUS = os.path.join(ROOT, "tests", "fuzz_native_corpus")
FLAGS = ["-std=c++17", "-O1", "-fopenmp", "-ffp-contract=off", "-fno-fast-math", "-D_GLIBCXX_ASSERTIONS"]
ENV = dict(os.environ, OMP_WAIT_POLICY="passive")


def compiler_with_openmp():
    """The C++ compiler that builds the module, as setuptools picks it ($CXX,
    else the interpreter's own), when it can build OpenMP code."""
    cxx = shlex.split(os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "g++")
    if not cxx or shutil.which(cxx[0]) is None:
        return None
    probe = subprocess.run(cxx + ["-fopenmp", "-x", "c++", "-", "-o", os.devnull],
                           input=b"#include <omp.h>\nint main() { return omp_get_max_threads() < 1; }\n",
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cxx if probe.returncode == 0 else None


# Under emulation only the interpreter runs emulated: replay drivers built
# for the emulated machine would not start as programs of their own.
CXX = None if EMULATOR else compiler_with_openmp()
pytestmark = [
    pytest.mark.skipif(EMULATOR is not None,
                       reason="the replay drivers run outside the interpreter, where %s does not" % EMULATOR),
    pytest.mark.skipif(CXX is None and EMULATOR is None, reason="needs the build's C++ compiler with OpenMP"),
]


def start_build(engine_folder, output):
    """Starts compiling the replay driver with the engine sources of
    engine_folder (a folder holding engine/ and boundary/)."""
    sources = sorted(os.path.join(HARNESS, n) for n in os.listdir(HARNESS) if n.endswith(".cpp"))
    engine = os.path.join(engine_folder, "engine")
    sources += sorted(os.path.join(engine, n) for n in os.listdir(engine) if n.endswith(".cpp"))
    return subprocess.Popen(CXX + FLAGS + ["-I" + engine_folder, "-I" + HARNESS] + sources + ["-o", output],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def finish(build):
    output = build.communicate()[0]
    assert build.returncode == 0, output.decode(errors="replace")


@pytest.fixture(scope="module")
def replays(tmp_path_factory):
    """The replay driver over the engine, and one over an engine whose radix
    sort finishes small slots in descending order, built side by side."""
    folder = tmp_path_factory.mktemp("fuzz_native")
    broken = folder / "broken"
    shutil.copytree(os.path.join(ROOT, "velmorasort", "engine"), broken / "engine")
    shutil.copytree(os.path.join(ROOT, "velmorasort", "boundary"), broken / "boundary")
    radix = broken / "engine" / "radix_sort.cpp"
    text, swapped = re.subn(r"load\(data \+ j - 1\) > key", "load(data + j - 1) < key", radix.read_text())
    assert swapped == 1, "the comparison to break in radix_sort.cpp has moved"
    radix.write_text(text)
    builds = [start_build(os.path.join(ROOT, "velmorasort"), str(folder / "replay")),
              start_build(str(broken), str(folder / "replay-broken"))]
    for build in builds:
        finish(build)
    return str(folder / "replay"), str(folder / "replay-broken")


def corpus_files():
    return sorted(os.path.join(CORPUS, n) for n in os.listdir(CORPUS) if not n.startswith("."))


def test_corpus_passes(replays):
    files = corpus_files()
    result = subprocess.run([replays[0], CORPUS], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-4000:]
    assert result.stdout.decode().strip() == "replayed %d inputs" % len(files)


def test_corpus_catches_a_broken_kernel(replays):
    result = subprocess.run([replays[1], CORPUS], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert result.returncode != 0
    assert b"differs from std::sort" in result.stderr or b"results differ" in result.stderr


def test_missing_input_is_an_error(replays, tmp_path):
    result = subprocess.run([replays[0], str(tmp_path / "absent")], env=ENV,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert result.returncode == 2


def test_seed_shapes_are_saved():
    sys.path.insert(0, HARNESS)
    try:
        import make_seeds
    finally:
        sys.path.remove(HARNESS)
    for name, data in make_seeds.SEEDS.items():
        with open(os.path.join(CORPUS, name + ".bin"), "rb") as f:
            assert f.read() == data, name


def decoded(replay, name):
    """(values, length before the conversion, model's result for sort or
    None for the shortcut) of a seed, as the target decodes it."""
    result = subprocess.run([replay, "--print", os.path.join(CORPUS, name + ".bin")],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    head, values, sort = result.stdout.decode().splitlines()
    fields = head.split()
    as_floats = lambda line: [struct.unpack("<d", struct.pack("<Q", int(w, 16)))[0] for w in line.split()[1:]]
    count, before = int(fields[1]), int(fields[3])
    values = as_floats(values)
    assert len(values) == count
    return values, before, None if sort == "sort shortcut" else as_floats(sort)


# Seeds named for a threshold: (values, length before) they must decode to.
THRESHOLDS = {
    "seed-size-9": (9, 9), "seed-size-10": (10, 10),
    "direct-4999-zeros": (4999, 4999), "direct-4999-unique": (4999, 4999), "direct-5000-zeros": (5000, 5000),
    "direct-5001-unique-nans": (5001, 5001), "delegation-19999": (19999, 19999),
    "delegation-20000-unique": (20000, 20000), "delegation-20001-nans": (20001, 20001),
    "length-before-emptied": (0, 20000), "length-before-shrunk": (4999, 5000),
    "length-before-grown": (20000, 19999), "length-before-doubled": (20000, 40001),
}


@pytest.mark.parametrize("name", sorted(THRESHOLDS))
def test_seed_sits_at_its_threshold(replays, name):
    values, before, _ = decoded(replays[0], name)
    assert (len(values), before) == THRESHOLDS[name]


@pytest.mark.parametrize("name, least", [("team-sort-outlier", 1 << 15), ("radix-split-high-bits", (1 << 17) + 1),
                                         ("radix-split-nested", (1 << 17) + 1)])
def test_long_seeds_are_long_enough(replays, name, least):
    assert len(decoded(replays[0], name)[0]) >= least


def test_shortcut_seeds_take_the_shortcut(replays):
    for name in ("shortcut-constant", "shortcut-zero-signs", "length-before-emptied"):
        assert decoded(replays[0], name)[2] is None, name
    # A NaN first or last is sorted like one inside.
    for name in ("nan-first", "nan-last"):
        values, _, model = decoded(replays[0], name)
        assert model is not None and bits(model) == bits(ordered(values)), name


def test_model_matches_the_python_model(replays):
    """Lists on sort's direct path are one group: the target's model of it
    (insertion order, budget, zeros apart past it, NaNs last) is the Python
    model's, bit for bit, on every such seed."""
    checked = 0
    for name in (n[:-4] for n in sorted(os.listdir(CORPUS)) if n.endswith(".bin")):
        values, before, model = decoded(replays[0], name)
        if before > 4999:
            continue
        assert bits(model) == bits(insertion_sort(values)), name
        checked += 1
    assert checked >= 12
