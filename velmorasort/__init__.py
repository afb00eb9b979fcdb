"""Fast sorting of Python lists of numbers: a single-threaded bucket sort
(sort) and one that sorts its buckets on an OpenMP thread team (supersort)."""
from velmorasort.VelmoraSort import sort, supersort

__all__ = ["sort", "supersort"]
