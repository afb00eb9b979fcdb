# Debian source packages, fetched with a private apt configuration (the
# machine's own sources and lists are never touched) from the archive that
# the machine's apt sources name, and kept in a cache folder. Sourced by
# free_threaded_python.sh and cross_compile.sh.

# The address of the machine's main Debian archive: the first URI ending in
# /debian of a stanza (deb822 .sources) or a line (one-line .list) whose suite
# has no suffix such as -security or -updates.
debian_archive() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush() { if (uris != "" && plain) print uris; uris = ""; plain = 0 }
            /^[[:space:]]*$/ { flush(); next }
            /^URIs:/   { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) uris = $i }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i !~ /-/) plain = 1 }
            END { flush() }
        ' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '$1 == "deb" {
                 i = 2
                 if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                 if ($i ~ /\/debian\/?$/ && $(i + 1) !~ /-/) print $i
             }' "$f"
    done
}

# Prints the path of source package $1's upstream tarball from suite $2,
# downloading it into folder $3 unless an earlier call left it there. Apt's
# progress goes to stderr.
debian_source_tarball() {
    local package=$1 suite=$2 folder=$3 orig archive apt_dir
    orig=$(ls "$folder/${package}"_*.orig.tar.* 2>/dev/null | head -n 1 || true)
    if [ -z "$orig" ]; then
        archive=$(debian_archive | head -n 1)
        if [ -z "$archive" ]; then
            echo "no Debian archive found in the machine's apt sources" >&2
            return 1
        fi
        apt_dir="$folder/apt"
        mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $suite main" \
            >"$apt_dir/sources.list"
        local opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
                    -o "Dir::Etc::SourceParts=$apt_dir/parts"
                    -o "Dir::State::Lists=$apt_dir/lists"
                    -o "Dir::Cache=$apt_dir/cache"
                    -o "Debug::NoLocking=1"
                    -o "APT::Sandbox::User=root")
        echo "fetching the $package source package ($suite)" >&2
        apt-get "${opts[@]}" -qq update >&2 &&
            (cd "$folder" && apt-get "${opts[@]}" -qq source --download-only "$package" >&2) || return 1
        rm -rf "$apt_dir"
        orig=$(ls "$folder/${package}"_*.orig.tar.* | head -n 1)
    fi
    echo "$orig"
}
