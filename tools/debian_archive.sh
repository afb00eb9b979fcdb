#!/usr/bin/env bash
# Prints the Debian archive the machine's own apt sources name (the first
# http(s) entry that is Debian's and not the security archive), so that no
# script carries an address of its own. VELMORASORT_DEBIAN_ARCHIVE overrides
# it. Exits 1, with a line on stderr, when there is none.
set -euo pipefail

if [ -n "${VELMORASORT_DEBIAN_ARCHIVE:-}" ]; then
    echo "$VELMORASORT_DEBIAN_ARCHIVE"
    exit 0
fi
# deb822 sources first, then the one-line format.
entries() {
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | sed -n 's/^URIs:[[:space:]]*//p' | tr ' ' '\n'
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
        | sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p'
}
mirror=$( { entries || true; } | grep -E '^https?://' | grep -v -- '-security' | grep -i debian \
    | head -n 1)
if [ -z "$mirror" ]; then
    echo "no Debian archive in the apt sources; set VELMORASORT_DEBIAN_ARCHIVE" >&2
    exit 1
fi
echo "${mirror%/}"
