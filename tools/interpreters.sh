# Finding the CPythons the tools build and test against, and making their
# virtual environments. Sourced by version_matrix.sh, build_wheels.sh,
# debian_python.sh and aarch64_suite.sh; find_python reads the caller's
# $versions_dir (pyenv's versions) and $logs.

interpreters_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# pyenv's newest patch release of minor version $1, or nothing.
newest_patch() {
    ls "$versions_dir" 2>/dev/null | grep -E "^${1//./\\.}\.[0-9]+$" | sort -t. -k3,3n | tail -n 1
}

# The interpreter for minor version $1: "pyenv PATH" or "debian PATH", or
# nothing when neither source has it.
find_python() {
    local version path
    version=$(newest_patch "$1")
    if [ -n "$version" ]; then
        echo "pyenv $versions_dir/$version/bin/python$1"
    elif path=$(bash "$interpreters_here/debian_python.sh" "$1" 2>>"$logs/debian-$1.log"); then
        echo "debian $path"
    fi
}

# A virtual environment with pip at $4 for interpreter $2, of kind $1 (as
# find_python names it) and minor version $3.
new_venv() {
    if [ "$1" = debian ]; then
        bash "$interpreters_here/debian_python.sh" --venv "$4" "$3" >/dev/null
    else
        "$2" -m venv "$4"
    fi
}

# A virtual environment at $2 for interpreter $1, whose Debian build ships
# ensurepip in a package of its own: the venv starts without pip and gets it
# from a wheel cached in folder $3 (downloaded once), which runs as a zip
# archive.
venv_with_cached_pip() {
    local python=$1 venv=$2 wheels=$3 wheel
    wheel=$(ls "$wheels"/pip-*.whl 2>/dev/null | tail -n 1 || true)
    if [ -z "$wheel" ]; then
        python3 -m pip download -q --no-deps --only-binary=:all: -d "$wheels" pip >&2
        wheel=$(ls "$wheels"/pip-*.whl | tail -n 1)
    fi
    "$python" -m venv --without-pip "$venv"
    "$venv/bin/python" "$wheel/pip" install -q --no-index "$wheel" >&2
}
