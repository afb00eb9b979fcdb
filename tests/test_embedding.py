"""The module in hosts that run more than one interpreter: one runtime after
another in a host program that finalises and initialises the interpreter
again, and a second interpreter beside the first, which is refused."""
import json
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig

import pytest

import velmorasort

from support import EMULATOR, run_python
REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# A host that runs the script in argv[2] in argv[1] runtimes, one after
# another. It stops at the first round whose script fails.
HOST = r"""
#include <Python.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 3) return 64;
    const int rounds = atoi(argv[1]);
    for (int round = 0; round < rounds; ++round) {
        Py_Initialize();
        const int failed = PyRun_SimpleString(argv[2]);
        if (Py_FinalizeEx() < 0) return 3;
        if (failed) {
            fprintf(stderr, "round %d failed\n", round);
            return 2;
        }
    }
    return 0;
}
"""

# Each round uses the module, its function type and its code objects, and
# runs a team; the collection at the end frees what the round made.
ROUND = r"""
import gc, json, pickle, types
import velmorasort, velmorasort.VelmoraSort as m
f = m.supersort
print(json.dumps([
    velmorasort.sort([3.0, 1, 2.5]),
    velmorasort.supersort([float(i % 1000) for i in range(40000)], 2)[::10000],
    repr(type(f)), type(f).__module__, f.__name__, f.__code__.co_varnames[:3],
    str(__import__("inspect").signature(f)), pickle.loads(pickle.dumps(f)) is f,
    types.FunctionType(m.sort.__code__, m.__dict__)([2.0, 1.0]),
    sorted(k for k in vars(m) if not k.startswith("_")), velmorasort.kernel_info()["kernel"],
]))
gc.collect()
"""
EXPECTED = [
    [1.0, 2.5, 3.0], [0.0, 250.0, 500.0, 750.0],
    "<class 'velmorasort.function'>", "velmorasort", "supersort", ["input_list", "num_threads", "n"],
    "(input_list, num_threads=-1)", True, [1.0, 2.0], ["multiprocessing", "sort", "supersort"],
    velmorasort.kernel_info()["kernel"],
]


def host_build_command(source, output):
    """The command that builds an embedding program for this interpreter,
    from its own build configuration; None where there is none to use."""
    config = sysconfig.get_config_var
    compiler = shlex.split(config("CC") or "cc")
    if sys.platform == "win32" or not compiler or shutil.which(compiler[0]) is None:
        return None
    libraries = [d for d in {config("LIBDIR"), config("LIBPL")} if d]
    return (compiler + [source, "-o", output, "-I" + sysconfig.get_paths()["include"]]
            + ["-L" + d for d in libraries] + ["-Wl,-rpath," + d for d in libraries]
            + ["-lpython" + (config("LDVERSION") or config("VERSION"))]
            + shlex.split(" ".join(config(v) or "" for v in ("LIBS", "SYSLIBS", "LINKFORSHARED"))))


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    if EMULATOR is not None:
        pytest.skip("the host program runs outside the interpreter, where %s does not" % EMULATOR)
    folder = tmp_path_factory.mktemp("embedding")
    (folder / "host.c").write_text(HOST)
    command = host_build_command(str(folder / "host.c"), str(folder / "host"))
    if command is None:
        pytest.skip("no C compiler of this interpreter's build to make a host program with")
    build = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if build.returncode != 0:
        pytest.skip("this interpreter offers no library to embed:\n" + build.stdout)
    return str(folder / "host")


def run_host(host, rounds, script, **env):
    environment = dict(os.environ, PYTHONFAULTHANDLER="1", **env)
    # The package as this process imports it, and the interpreter's own
    # library: a host program finds neither by itself.
    environment["PYTHONPATH"] = os.path.dirname(os.path.dirname(os.path.abspath(velmorasort.__file__)))
    environment["PYTHONHOME"] = sys.base_prefix if sys.base_prefix == sys.base_exec_prefix else \
        sys.base_prefix + os.pathsep + sys.base_exec_prefix
    return subprocess.run([host, str(rounds), script], env=environment, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=300)


@pytest.mark.parametrize("allocator", ["", "debug"])
def test_a_new_runtime_imports_and_sorts_afresh(host, allocator):
    proc = run_host(host, 3, ROUND, PYTHONMALLOC=allocator)
    assert proc.returncode == 0, proc.stderr
    assert [json.loads(line) for line in proc.stdout.splitlines()] == [EXPECTED] * 3


@pytest.mark.parametrize("allocator", ["", "debug"])
def test_a_failed_start_up_leaves_the_next_runtime_clean(host, tmp_path, allocator):
    """A runtime whose import fails, then one whose import succeeds, then
    one that never imports the module: each ends cleanly."""
    (tmp_path / "multiprocessing.py").write_text("raise ImportError('no processes here')\n")
    script = """
import os, sys
rounds = int(os.environ.get("ROUNDS_SEEN", "0"))
os.environ["ROUNDS_SEEN"] = str(rounds + 1)
if rounds == 0:
    sys.path.insert(0, %r)
    try:
        import velmorasort
    except ImportError as e:
        print("refused:", e)
elif rounds == 1:
    import velmorasort
    print(velmorasort.supersort([3.0, 1.0, 2.0]))
else:
    print("untouched")
""" % str(tmp_path)
    proc = run_host(host, 3, script, PYTHONMALLOC=allocator)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["refused: no processes here", "[1.0, 2.0, 3.0]", "untouched"]


# An interpreter with a lock of its own (3.12 on) refuses the module itself,
# before its create: the module does not claim to run under one.
NO_OWN_LOCK = "module velmorasort.VelmoraSort does not support loading in subinterpreters"
OWN_LOCK = sys.version_info >= (3, 12)

# Ways of running code in a second interpreter of the process: a name, the
# module that offers it, the child's code that runs SOURCE there, and
# whether that interpreter has a lock of its own. (_testcapi's legacy
# interpreter: test_module.py.)
SECOND_INTERPRETERS = [
    ("xxsubinterpreters", "_xxsubinterpreters",
     "import _xxsubinterpreters as i\nn = i.create()\ni.run_string(n, SOURCE)\ni.destroy(n)", OWN_LOCK),
    ("interpreters-isolated", "_interpreters",
     "import _interpreters as i\nn = i.create()\nassert i.exec(n, SOURCE) is None\ni.destroy(n)", True),
    ("interpreters-legacy", "_interpreters",
     "import _interpreters as i\nn = i.create('legacy')\nassert i.exec(n, SOURCE) is None\ni.destroy(n)", False),
    ("concurrent.interpreters", "concurrent.interpreters",
     "from concurrent import interpreters as i\nn = i.create()\nn.exec(SOURCE)\nn.close()", True),
]


@pytest.mark.parametrize("name, module, runner, own_lock", SECOND_INTERPRETERS,
                         ids=[s[0] for s in SECOND_INTERPRETERS])
def test_a_second_interpreter_is_refused(name, module, runner, own_lock):
    """Team threads would attach to the main interpreter: a second one, alive
    beside it, gets a clear ImportError and the first keeps working."""
    try:
        __import__(module)
    except ImportError:
        pytest.skip("this interpreter has no %s" % module)
    proc = run_python("""
import os
import velmorasort.VelmoraSort as m
read_end, write_end = os.pipe()
SOURCE = '''
import os
try:
    import velmorasort.VelmoraSort
    outcome = "imported"
except ImportError as e:
    outcome = str(e)
os.write(%%d, outcome.encode())
''' %% write_end
%s
os.close(write_end)
print(os.read(read_end, 1000).decode())
print(m.supersort([float(-i) for i in range(30000)], 2)[:2])
""" % runner)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [NO_OWN_LOCK if own_lock else REFUSAL, "[-29999.0, -29998.0]"]
