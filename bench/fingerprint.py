#!/usr/bin/env python3
"""Prints a fingerprint of the code that scripts/bench measures: a SHA-256 over
the path and content of every tracked file in the folders below, as the work
tree holds them. scripts/bench records it with its results, and
scripts/check-benchmarks compares it with the tree, so that docs/benchmarks.md
is regenerated whenever the code it measures changes."""

import hashlib
import os
import subprocess
import sys

MEASURED = ["advertise", "discovery", "dnssd", "engine", "factory", "framework", "host", "platform", "tools",
            "bench/harness.py", "bench/host", "bench/peer_fleet.py", "bench/zeroconf_probe.py",
            "bench/bus_timeline.py", "CMakeLists.txt"]


def fingerprint(repo):
    listed = subprocess.run(["git", "ls-files", "-z", "--"] + MEASURED, cwd=repo, check=True,
                            capture_output=True).stdout.split(b"\0")
    digest = hashlib.sha256()
    for path in sorted(p for p in listed if p):
        full = os.path.join(repo, path.decode())
        if not os.path.exists(full):
            continue
        digest.update(path + b"\0")
        with open(full, "rb") as f:
            digest.update(hashlib.sha256(f.read()).digest())
    return digest.hexdigest()[:16]


if __name__ == "__main__":
    print(fingerprint(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")))
