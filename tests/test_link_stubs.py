"""tools/link_stubs.py: the names that stand in for the interpreter's DLL and
dylib when the modules are linked for Windows and macOS."""
import importlib.util
import io
import os
import sysconfig
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parent.parent / "tools" / "link_stubs.py"
spec = importlib.util.spec_from_file_location("link_stubs", str(TOOL))
link_stubs = importlib.util.module_from_spec(spec)
spec.loader.exec_module(link_stubs)

HEADER = """
#define PyAPI_FUNC(RTYPE) __declspec(dllimport) RTYPE
PyAPI_FUNC(PyObject *) PyList_New(Py_ssize_t size);
PyAPI_FUNC(void) _Py_NO_RETURN Py_FatalError(const char *message);
Py_DEPRECATED(3.13) PyAPI_FUNC(int)
    PyOld_Call(PyObject *callable,
               PyObject *(*hook)(PyObject *));
PyAPI_DATA(PyTypeObject) PyList_Type;
PyAPI_DATA(const unsigned char) _Py_ctype_table[256];
PyAPI_FUNC(int) pthread_mutex_lock(pthread_mutex_t *mutex);
"""


def test_header_names(tmp_path):
    """Every declared API name, data marked as such, across line breaks and
    markers; the macro's own definition and non-interpreter stand-ins left out."""
    (tmp_path / "cpython").mkdir()
    (tmp_path / "cpython" / "listobject.h").write_text(HEADER)
    (tmp_path / "notes.txt").write_text("PyAPI_FUNC(int) PyNot_AHeader(void);")
    assert link_stubs.header_names(str(tmp_path)) == {
        "PyList_New": False, "Py_FatalError": False, "PyOld_Call": False,
        "PyList_Type": True, "_Py_ctype_table": True,
    }


@pytest.mark.parametrize("fmt, expected", [
    ("def", "LIBRARY python313.dll\nEXPORTS\n    PyList_New\n    PyList_Type DATA\n"),
    ("list", "PyList_New\nPyList_Type\n"),
])
def test_writers(fmt, expected):
    out = io.StringIO()
    link_stubs.WRITERS[fmt]("python313.dll", {"PyList_Type": True, "PyList_New": False}, out)
    assert out.getvalue() == expected


def test_tbd_names_carry_the_c_prefix():
    out = io.StringIO()
    link_stubs.write_tbd("libomp.dylib", {"omp_get_max_threads": False, "__kmpc_fork_call": False}, out)
    text = out.getvalue()
    assert "install-name: '@rpath/libomp.dylib'" in text
    assert "symbols: [ ___kmpc_fork_call, _omp_get_max_threads ]" in text


def test_this_interpreters_headers():
    """The running interpreter's own headers give the names the modules call."""
    include = sysconfig.get_paths()["include"]
    if not os.path.isfile(os.path.join(include, "Python.h")):
        pytest.skip("no Python headers here")
    names = link_stubs.header_names(include)
    assert {"PyList_New", "PyErr_Format", "PyFloat_FromDouble"} <= set(names)
    assert names["PyFloat_Type"] is True and names["PyList_New"] is False
    assert not [n for n in names if not n.startswith(("Py", "_Py"))]
