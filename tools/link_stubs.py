"""Writes what a cross link needs to stand in for a library that this machine
cannot have for the target: a module-definition file (.def, for dlltool's
Windows import library), a text stub (.tbd, which a macOS link reads like a
dylib), or the bare list of names. The names come from C headers (every
PyAPI_FUNC and PyAPI_DATA declaration below a folder) or from a file with one
name a line.

    python tools/link_stubs.py def python313.dll --headers Include > python313.def
    python tools/link_stubs.py tbd libomp.dylib --names omp.txt > libomp.tbd
    python tools/link_stubs.py list - --headers Include > python-names.txt
"""
import argparse
import os
import re
import sys

DECLARATION = re.compile(r"\bPyAPI_(FUNC|DATA)\s*\(")
NAME = re.compile(r"[A-Za-z_]\w*")
# The interpreter's own names; the headers also declare stand-ins of other
# libraries for some platforms (pthread_* for WASI), which no DLL of it exports.
API_NAME = re.compile(r"_?Py")


def closing_paren(text, start):
    """Index just past the parenthesis that closes the one before `start`."""
    depth = 1
    for i in range(start, len(text)):
        depth += {"(": 1, ")": -1}.get(text[i], 0)
        if depth == 0:
            return i + 1
    return len(text)


def header_names(folder):
    """{name: is_data} for every declaration the headers export."""
    names = {}
    for directory, _, files in os.walk(folder):
        for file in files:
            if not file.endswith(".h"):
                continue
            with open(os.path.join(directory, file), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for match in DECLARATION.finditer(text):
                rest = text[closing_paren(text, match.end()):]
                # The declared name is the last identifier before the
                # argument list, the array bounds or the semicolon.
                head = re.split(r"[(;\[]", rest, maxsplit=1)[0]
                found = NAME.findall(head)
                if found and API_NAME.match(found[-1]) and not found[-1].startswith("PyAPI_"):
                    names[found[-1]] = match.group(1) == "DATA"
    return names


def file_names(path):
    with open(path) as f:
        return {line.strip(): False for line in f if line.strip()}


def write_def(library, names, out):
    out.write("LIBRARY %s\nEXPORTS\n" % library)
    for name in sorted(names):
        out.write("    %s%s\n" % (name, " DATA" if names[name] else ""))


def write_tbd(library, names, out):
    targets = "[ x86_64-macos, arm64-macos ]"
    out.write("--- !tapi-tbd\ntbd-version: 4\ntargets: %s\ninstall-name: '@rpath/%s'\n" % (targets, library))
    out.write("exports:\n  - targets: %s\n    symbols: [ %s ]\n...\n"
              % (targets, ", ".join("_" + n for n in sorted(names))))


def write_list(library, names, out):
    out.write("".join(name + "\n" for name in sorted(names)))


WRITERS = {"def": write_def, "tbd": write_tbd, "list": write_list}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("format", choices=sorted(WRITERS))
    parser.add_argument("library", help="the library's file name, as the module would load it")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--headers", help="a folder of C headers with PyAPI declarations")
    source.add_argument("--names", help="a file of names, one a line")
    args = parser.parse_args()
    names = header_names(args.headers) if args.headers else file_names(args.names)
    if not names:
        sys.exit("link_stubs: no names found")
    WRITERS[args.format](args.library, names, sys.stdout)


if __name__ == "__main__":
    main()
