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


path = sys.argv[1]
# "ADDRESS TYPE NAME[@VERSION]". A version script that names no version node
# adds no version symbols, so nothing but the entry point may appear.
symbols = [(f[1], f[2].split("@")[0]) for f in map(str.split, run("nm", "-D", "--defined-only", path).splitlines())
           if len(f) >= 3]
dynamic = {}
for tag, value in re.findall(r"\((\w+)\)\s+.*\[(.*)\]", run("readelf", "-d", "-W", path)):
    dynamic.setdefault(tag, []).append(value)
needed = dynamic.get("NEEDED", [])
failures = [message for ok, message in (
    (symbols == [("T", "getComponentFactory")], "defined dynamic symbols are %r, want only getComponentFactory" % symbols),
    (dynamic.get("SONAME") == ["libZelmMDNS.so.0"], "SONAME is %r" % dynamic.get("SONAME")),
    ({"libZelmCore.so.0", "libZelmMdnsInterface.so.0"} <= set(needed), "NEEDED is %r" % needed)) if not ok]
for failure in failures:
    print("FAILED: " + failure, file=sys.stderr)
print("exports: %r; NEEDED: %s" % (symbols, ", ".join(needed)))
sys.exit(1 if failures else 0)
