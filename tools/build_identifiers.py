"""Checks the wheels that pyproject.toml asks cibuildwheel for: on Linux,
macOS and Windows, every CPython from 3.9 to 3.15 and the free-threaded 3.14t
and 3.15t, for each architecture and C library configured, and nothing else.
cibuildwheel only lists them (--print-build-identifiers): nothing is built.

    python tools/build_identifiers.py

cibuildwheel is installed, at the release given below, into a venv under
VELMORASORT_CACHE (default ~/.cache/velmorasort)/cibuildwheel; the set of
interpreters it knows grows with its releases. Exits 1 on a difference.
"""
import os
import subprocess
import sys
import venv

CIBUILDWHEEL = "cibuildwheel==4.3.5"
VERSIONS = ["cp3%d" % minor for minor in range(9, 16)] + ["cp314t", "cp315t"]
PLATFORMS = {
    "linux": ["manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64", "musllinux_aarch64"],
    "macos": ["macosx_x86_64", "macosx_arm64"],
    "windows": ["win_amd64"],
}
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cibuildwheel():
    """The path of a cibuildwheel at the pinned release."""
    cache = os.environ.get("VELMORASORT_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "velmorasort")
    folder = os.path.join(cache, "cibuildwheel")
    stamp = os.path.join(folder, "ready")
    program = os.path.join(folder, "Scripts" if os.name == "nt" else "bin", "cibuildwheel")
    if not os.path.exists(stamp) or open(stamp).read() != CIBUILDWHEEL:
        venv.create(folder, clear=True, with_pip=True)
        python = os.path.join(folder, "Scripts" if os.name == "nt" else "bin", "python")
        subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", CIBUILDWHEEL],
                       check=True)
        with open(stamp, "w") as f:
            f.write(CIBUILDWHEEL)
    return program


def main():
    program = cibuildwheel()
    failed = False
    for platform, tags in PLATFORMS.items():
        listed = subprocess.run([program, "--print-build-identifiers", "--platform", platform, REPO],
                                cwd=REPO, check=True, stdout=subprocess.PIPE, universal_newlines=True)
        found = set(listed.stdout.split())
        wanted = {"%s-%s" % (version, tag) for version in VERSIONS for tag in tags}
        missing, extra = sorted(wanted - found), sorted(found - wanted)
        print("%s: %d wheels configured%s" % (platform, len(found), "" if missing or extra else ", as expected"))
        for label, names in (("missing", missing), ("not expected", extra)):
            if names:
                failed = True
                print("  %s: %s" % (label, " ".join(names)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
