"""Fast sorting of Python lists of numbers: a single-threaded bucket sort
(sort) and one that sorts its buckets on an OpenMP thread team (supersort)."""
# The one place the version is written: the package metadata reads it from
# here at build time, so it must stay a plain string literal.
__version__ = "0.1.0"

from velmorasort.VelmoraSort import sort, supersort  # noqa: E402

__all__ = ["sort", "supersort"]
