"""The layering, read from the includes: the engine never reaches the Python
headers, and every file that does includes <Python.h> before anything else
(it may define feature macros that the system headers must see first)."""
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


def system_headers(path, seen=None):
    """The <...> headers a file reaches, in the order the compiler meets them
    (our own headers expanded where they are included, each once)."""
    seen = set() if seen is None else seen
    found = []
    with open(os.path.join(PACKAGE, path)) as f:
        for kind, name in INCLUDE.findall(f.read()):
            if kind == "<":
                found.append(name)
            elif name not in seen:
                seen.add(name)
                found += system_headers(name, seen)
    return found


@pytest.mark.parametrize("path", sorted(sources()))
def test_includes(path):
    headers = system_headers(path)
    if path.startswith("engine" + os.sep):
        assert "Python.h" not in headers
    elif "Python.h" in headers:
        assert headers[0] == "Python.h", headers[:3]
