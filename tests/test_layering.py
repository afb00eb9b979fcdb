"""The layering, read from the includes: the engine never reaches the Python
headers nor the boundary's, and every file that does reach Python.h includes
it before anything else (it may define feature macros that the system headers
must see first)."""
import os
import re

import pytest

PACKAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "velmorasort")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def sources():
    for folder, _, files in os.walk(PACKAGE):
        for name in sorted(files):
            if name.endswith((".cpp", ".hpp")):
                yield os.path.relpath(os.path.join(folder, name), PACKAGE)


def reached(path, seen=None):
    """The headers a file reaches, as ("<", name) or ('"', name), in the order
    the compiler meets them (our own headers expanded where they are
    included, each once)."""
    seen = set() if seen is None else seen
    found = []
    with open(os.path.join(PACKAGE, path)) as f:
        for kind, name in INCLUDE.findall(f.read()):
            if kind == "<":
                found.append((kind, name))
            elif name not in seen:
                seen.add(name)
                found += [(kind, name)] + reached(name, seen)
    return found


@pytest.mark.parametrize("path", sorted(sources()))
def test_includes(path):
    headers = reached(path)
    system = [name for kind, name in headers if kind == "<"]
    if path.startswith("engine" + os.sep):
        assert "Python.h" not in system
        assert [name for kind, name in headers if kind == '"' and not name.startswith("engine/")] == []
    elif "Python.h" in system:
        assert system[0] == "Python.h", system[:3]
