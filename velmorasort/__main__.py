"""A short demonstration: python -m velmorasort."""
import random
import time

from velmorasort import sort, supersort


def main():
    rng = random.Random(2024)
    values = [rng.uniform(-1e6, 1e6) for _ in range(1_000_000)]
    for name, fn in (("sorted", sorted), ("sort", sort), ("supersort", supersort)):
        start = time.perf_counter()
        result = fn(values)
        elapsed = time.perf_counter() - start
        print(f"{name:>9}: {len(result)} values in {elapsed * 1000:.1f} ms, "
              f"first {result[0]:.3f}, last {result[-1]:.3f}")
    assert sort(values) == supersort(values) == sorted(values)
    print("all three agree")


if __name__ == "__main__":
    main()
