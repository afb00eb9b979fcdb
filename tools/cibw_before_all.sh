#!/usr/bin/env bash
# cibuildwheel's before-all step, once per build container or machine: what
# the build takes from the platform's own packages. Highway gives the wheels
# their vectorised sort kernel; on macOS LLVM's OpenMP runtime comes with it
# (Apple's clang has none). GCC brings its OpenMP runtime on Linux, and MSVC
# on Windows.
set -euo pipefail

case "$(uname -s)" in
    Linux)
        if command -v yum >/dev/null; then        # manylinux2014 (CentOS 7): Highway from EPEL
            yum install -y epel-release
            yum install -y highway-devel
        elif command -v apk >/dev/null; then      # musllinux (Alpine)
            apk add --no-cache highway-dev
        fi
        ;;
    Darwin)
        brew install libomp highway
        ;;
esac
