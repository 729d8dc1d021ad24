#!/usr/bin/python3
"""Prints, as JSON, the machine and the versions that a benchmark run used."""

import argparse
import json
import os
import platform
import subprocess
import sys
import time

from fingerprint import fingerprint


def output_of(argv, cwd=None):
    try:
        return subprocess.run(argv, capture_output=True, text=True, check=False, cwd=cwd).stdout.strip()
    except OSError:
        return ""


def package_version(name):
    return output_of(["dpkg-query", "-W", "-f=${Version}", name]) or "not installed"


def cpu_model():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.machine()


def os_name():
    with open("/etc/os-release") as release:
        for line in release:
            if line.startswith("PRETTY_NAME="):
                return line.split("=", 1)[1].strip().strip('"')
    return "unknown"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repo", required=True)
    args = parser.parse_args()
    load = os.getloadavg()
    version = output_of(["grep", "-m1", "-oE", r"project\(ZelmMDNS VERSION [0-9.]+",
                         os.path.join(args.repo, "CMakeLists.txt")])
    machine = {
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "cores": os.cpu_count(),
        "cpu": cpu_model(),
        "kernel": platform.release(),
        "os": os_name(),
        "load_average": [round(x, 2) for x in load],
        "load_note": "Load average at the end of the run: %.2f / %.2f / %.2f (1/5/15 min); on a shared, loaded "
                     "machine absolute figures are noisy, ratios of interleaved variants less so." % load,
        "avahi": package_version("avahi-daemon"),
        "avahi_utils": package_version("avahi-utils"),
        "zeroconf": package_version("python3-zeroconf"),
        "python": platform.python_version(),
        "project_version": version.split()[-1] if version else "unknown",
        "commit": output_of(["git", "rev-parse", "--short", "HEAD"], cwd=args.repo) or "unknown",
        "measured_code": fingerprint(args.repo),
    }
    json.dump(machine, sys.stdout, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
