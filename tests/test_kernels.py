"""The kernels for groups with a unique order: Highway's vqsort where the
build has it, the portable radix sort everywhere, and what the package tells
of them. Both must give the bits that the insertion algorithm gives
(test_exactness.py), on every instruction set the dispatch may pick."""
import os

import pytest

import velmorasort
from velmorasort import _kernel


def test_kernel_info_names_the_build():
    info = velmorasort.kernel_info()
    assert set(info) == {"kernel", "instruction_set", "highway"}
    if info["kernel"] == "vqsort":
        assert info["instruction_set"] and info["highway"].count(".") == 1
    else:
        assert info == {"kernel": "radix", "instruction_set": None, "highway": None}
    # CI states which build it made, so that a silent fallback fails the run.
    expected = os.environ.get("VELMORASORT_EXPECT_KERNEL")
    if expected:
        assert info["kernel"] == expected


def test_unknown_instruction_set_is_refused():
    if velmorasort.kernel_info()["kernel"] == "radix":
        with pytest.raises(RuntimeError, match="no vectorised kernel"):
            _kernel.restrict_instruction_set("AVX2")
    else:
        with pytest.raises(ValueError, match="unknown or unsupported instruction set: PDP11"):
            _kernel.restrict_instruction_set("PDP11")
    with pytest.raises(TypeError):
        _kernel.restrict_instruction_set(None)


# Every kernel's bits against the reference switch: test_exactness.py.


def test_older_instruction_sets_give_the_same_bits(faulty):
    out = faulty.run("""
    import random, struct, sys
    sys.path.insert(0, sys.argv[1])
    from exactness_cases import kernels
    import velmorasort, velmorasort.VelmoraSort as vs
    from velmorasort import _kernel
    def bits(values):
        return b"".join(struct.pack("<d", v) for v in values)
    cases = [values for _, values, _ in kernels(random.Random(11))]
    if velmorasort.kernel_info()["kernel"] == "radix":
        print("skip"); sys.exit()
    expected = [bits(vs.sort(v)) for v in cases]
    tried = []
    for name in ("AVX2", "SSE4", "SSSE3", "NEON", "EMU128", "SCALAR"):
        try:
            _kernel.restrict_instruction_set(name)
        except ValueError:
            continue
        tried.append(name)
        assert velmorasort.kernel_info()["instruction_set"] == name, name
        assert [bits(vs.sort(v)) for v in cases] == expected, name
    _kernel.restrict_instruction_set("")
    print(" ".join(tried) or "none")
    """, timeout=600, args=[os.path.dirname(os.path.abspath(__file__))])
    if out.strip() == "skip":
        pytest.skip("built without Highway")
    assert out.strip() != "none"


@pytest.mark.parametrize("n", [0, 1, 7, 5000])
def test_measuring_sticks_make_new_floats(n):
    """The floor gives the values back in their order, the fused stick
    ascending; both as new float objects, the argument left as it was."""
    import random
    values = [random.Random(n).uniform(-1, 1) for _ in range(n)]
    before = list(values)
    floor, fused = _kernel._floor(values), _kernel._fused(values)
    assert floor == values == before and fused == sorted(values)
    assert all(a is not b for a, b in zip(floor + fused, values + values))


@pytest.mark.parametrize("stick", ["_floor", "_fused"])
@pytest.mark.parametrize("arg, error", [((1.0, 2.0), TypeError), ([1.0, 2], TypeError), ([1.0, True], TypeError)])
def test_measuring_sticks_take_lists_of_exact_floats_only(stick, arg, error):
    with pytest.raises(error):
        getattr(_kernel, stick)(arg)
