#!/usr/bin/python3
# Checks the built plug-in file as a host's loader sees it: the only symbol it
# defines for dynamic linking is getComponentFactory, its soname is
# libZelmMDNS.so.0, and it needs the host's two libraries.
# Usage: check_plugin_exports.py PLUGIN_FILE

import re
import subprocess
import sys

path = sys.argv[1]
nm = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
readelf = subprocess.run(["readelf", "-d", "-W", path], capture_output=True, text=True, check=True).stdout
# "ADDRESS TYPE NAME[@VERSION]". A version script that names no version node
# adds no version symbols, so nothing but the entry point may appear.
symbols = [(f[1], f[2].split("@")[0]) for f in map(str.split, nm.splitlines()) if len(f) >= 3]
soname = re.findall(r"\(SONAME\)\s+.*\[(.*)\]", readelf)
needed = re.findall(r"\(NEEDED\)\s+.*\[(.*)\]", readelf)
failures = [message for ok, message in (
    (symbols == [("T", "getComponentFactory")], "defined dynamic symbols are %r, want only getComponentFactory" % symbols),
    (soname == ["libZelmMDNS.so.0"], "SONAME is %r" % soname),
    ({"libZelmCore.so.0", "libZelmMdnsInterface.so.0"} <= set(needed), "NEEDED is %r" % needed)) if not ok]
for failure in failures:
    print("FAILED: " + failure, file=sys.stderr)
print("exports: %r; NEEDED: %s" % (symbols, ", ".join(needed)))
sys.exit(1 if failures else 0)
