#!/usr/bin/python3
"""Checks the built plug-in file as a host's loader sees it: the only symbol it
defines for dynamic linking is getComponentFactory, its soname is
libZelmMDNS.so.0, and it needs the host's two libraries.

Usage: check_plugin_exports.py PLUGIN_FILE
"""

import re
import subprocess
import sys


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


def defined_dynamic_symbols(path):
    # "ADDRESS TYPE NAME[@VERSION]"; lines without a name (none expected) are skipped.
    symbols = []
    for line in run("nm", "-D", "--defined-only", path).splitlines():
        fields = line.split()
        if len(fields) >= 3:
            symbols.append((fields[1], fields[2].split("@")[0]))
    return symbols


def dynamic_section(path):
    entries = {}
    for line in run("readelf", "-d", "-W", path).splitlines():
        match = re.search(r"\((\w+)\)\s+.*\[(.*)\]", line)
        if match:
            entries.setdefault(match.group(1), []).append(match.group(2))
    return entries


def main():
    path = sys.argv[1]
    failures = []

    symbols = defined_dynamic_symbols(path)
    # A version script that names no version node adds no version symbols, so
    # nothing but the entry point may appear.
    if symbols != [("T", "getComponentFactory")]:
        failures.append("defined dynamic symbols are %r, want only getComponentFactory (T)" % symbols)

    dynamic = dynamic_section(path)
    if dynamic.get("SONAME") != ["libZelmMDNS.so.0"]:
        failures.append("SONAME is %r" % dynamic.get("SONAME"))
    needed = dynamic.get("NEEDED", [])
    for library in ("libZelmCore.so.0", "libZelmMdnsInterface.so.0"):
        if library not in needed:
            failures.append("%s is not NEEDED (NEEDED: %r)" % (library, needed))

    for failure in failures:
        print("FAILED: " + failure, file=sys.stderr)
    if not failures:
        print("exports: %r; NEEDED: %s" % (symbols, ", ".join(needed)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
