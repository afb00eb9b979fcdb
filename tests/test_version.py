"""velmorasort.__version__: one value, written once, that the installed
metadata repeats."""
import ast
import os
import re

import pytest

import velmorasort

# PEP 440 public versions as we release them: 1.2.3, 1.2.3rc1, 1.2.3.post1, 1.2.3.dev4.
VERSION = re.compile(r"^\d+\.\d+\.\d+((a|b|rc)\d+)?(\.post\d+)?(\.dev\d+)?$")


def test_version_is_a_release_string():
    assert isinstance(velmorasort.__version__, str)
    assert VERSION.match(velmorasort.__version__), velmorasort.__version__


def test_installed_metadata_matches():
    try:
        from importlib import metadata
    except ImportError:  # 3.7
        metadata = pytest.importorskip("importlib_metadata")
    try:
        installed = metadata.version("velmorasort")
    except metadata.PackageNotFoundError:
        pytest.skip("velmorasort is imported from a tree that was never installed")
    assert installed == velmorasort.__version__


def test_version_is_a_literal_setuptools_can_read_without_importing():
    # The build reads the value from the source before the extension exists;
    # anything but a plain string assignment would make it import the package.
    path = os.path.join(os.path.dirname(velmorasort.__file__), "__init__.py")
    with open(path) as f:
        tree = ast.parse(f.read())
    values = [node.value for node in tree.body if isinstance(node, ast.Assign)
              and any(getattr(t, "id", None) == "__version__" for t in node.targets)]
    assert len(values) == 1
    assert ast.literal_eval(values[0]) == velmorasort.__version__
