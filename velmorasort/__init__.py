"""Fast sorting of Python lists of numbers: a single-threaded bucket sort
(sort) and one that sorts its buckets on an OpenMP thread team (supersort)."""
# The one place the version is written: the package metadata reads it from
# here at build time, so it must stay a plain string literal.
__version__ = "0.1.0"

from velmorasort.VelmoraSort import sort, supersort  # noqa: E402
from velmorasort._kernel import describe as _describe_kernel  # noqa: E402

__all__ = ["sort", "supersort", "kernel_info"]


def kernel_info():
    """The kernel that sorts groups with a unique order in this build, and the
    instruction set it uses on this CPU: {"kernel": "vqsort" or "radix",
    "instruction_set": "AVX3", "AVX2", "NEON"... or None, "highway": its
    version or None}."""
    return _describe_kernel()
