"""What the test files check results and failures against: exact bits, the
order sorted() gives, and the traceback entries the module adds, each read
against the source tree."""
import math
import os
import struct
import traceback

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def bits(values):
    """Exact bit patterns: tells -0.0 from 0.0 and one NaN payload from another."""
    return [struct.pack("<d", float(v)) for v in values]


def ordered(values):
    """The required order, where it is unique: non-NaN values ascending, NaNs
    after them in input order."""
    values = [float(v) for v in values]
    return sorted(v for v in values if not math.isnan(v)) + [v for v in values if math.isnan(v)]


def entries(exc):
    """Names of the traceback entries below the caller's own frame."""
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)][1:]


def source_line(path, line):
    """Line `line` of the file at `path` (from the repository root), stripped."""
    with open(os.path.join(ROOT, path)) as f:
        return f.read().splitlines()[line - 1].strip()


def places(exc):
    """(name, path, source line) of each entry the module added: those that
    name a file of its source tree."""
    return [(frame.name, frame.filename, source_line(frame.filename, frame.lineno))
            for frame in traceback.extract_tb(exc.__traceback__)
            if frame.filename.startswith("velmorasort/")]
