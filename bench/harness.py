#!/usr/bin/python3
"""Runs every measurement of scripts/bench on host A of the sandbox and writes
the raw samples as one JSON file. Variants that are compared run in the same
rounds, in an order that rotates from round to round.

  scripts/sandbox exec A /usr/bin/python3 bench/harness.py --host-tool PATH --zelm-mdns PATH --out FILE

The peer (bench/peer_fleet.py) must already publish on host B.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bus_timeline import BusMonitor, breakdown  # noqa: E402

RESOLVE_NAME = "Bench Resolve Target"
RESOLVE_TYPE = "_zbench._tcp"
BULK_TYPE = "_zbulk._tcp"
REGISTER_TYPE = "_zbenchreg._tcp"
REGISTER_PORT = 7000
# Longest any single external command may take before it counts as failed.
COMMAND_TIMEOUT_S = 15
# How long the backend keeps an unused daemon link (kGraceMs in
# dnssd/src/DaemonLink.cpp), with a margin: a call after this pause opens a
# new link, as the first call of an idle process does.
LINK_GRACE_OVER_S = 1.3


def log(text):
    print("bench: " + text, file=sys.stderr, flush=True)


def millis_since(start):
    return (time.perf_counter() - start) * 1e3


class LineServer:
    """A child that answers one JSON line per tab-separated command line."""

    def __init__(self, argv):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        ready = json.loads(self.process.stdout.readline() or "{}")
        if not ready.get("ready"):
            raise RuntimeError("%s did not start" % argv[0])

    def ask(self, *fields):
        self.process.stdin.write("\t".join(str(f) for f in fields) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("%s ended" % self.process.args[0])
        answer = json.loads(line)
        if "error" in answer:
            raise RuntimeError("%s: %s" % (" ".join(map(str, fields)), answer["error"]))
        return answer

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def timed_run(argv):
    """Wall time of a whole process, start to exit, in ms; None when it failed."""
    start = time.perf_counter()
    try:
        result = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                timeout=COMMAND_TIMEOUT_S, check=False)
    except subprocess.TimeoutExpired:
        return None
    ms = millis_since(start)
    return ms if result.returncode == 0 else None


def avahi_publish(name):
    """avahi-publish -s from its start to its "Established" line; then stopped."""
    start = time.perf_counter()
    process = subprocess.Popen(["stdbuf", "-oL", "-eL", "avahi-publish", "-s", name, REGISTER_TYPE,
                                str(REGISTER_PORT), "path=/bench"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    ms = None
    try:
        deadline = time.monotonic() + COMMAND_TIMEOUT_S
        for line in process.stdout:
            if line.startswith("Established"):
                ms = millis_since(start)
                break
            if time.monotonic() > deadline:
                break
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return ms


def avahi_collect(service_type):
    """avahi-browse -t -p: distinct instances and when the last one arrived."""
    start = time.perf_counter()
    process = subprocess.Popen(["stdbuf", "-oL", "avahi-browse", "-t", "-p", service_type],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    names, last = set(), 0.0
    for line in process.stdout:
        fields = line.split(";")
        if fields[0] == "+" and len(fields) > 3 and fields[3] not in names:
            names.add(fields[3])
            last = millis_since(start)
    process.wait(timeout=COMMAND_TIMEOUT_S)
    return {"found": len(names), "last_ms": last, "ms": millis_since(start)}


class Samples:
    def __init__(self):
        self.data = {}
        self.failures = {}
        self.extra = {}

    def add(self, key, value):
        if value is None:
            self.failures[key] = self.failures.get(key, 0) + 1
        else:
            self.data.setdefault(key, []).append(value)


def interleaved(rounds, variants, samples):
    """Runs each variant once per round; the starting variant rotates."""
    for r in range(rounds):
        for i in range(len(variants)):
            key, run = variants[(i + r) % len(variants)]
            try:
                samples.add(key, run(r))
            except RuntimeError as error:
                log("%s failed: %s" % (key, error))
                samples.add(key, None)


def ok_ms(answer, field="ms"):
    return answer[field] if answer.get("ok", True) else None


def measure_resolve(host, probe, tool, samples, rounds):
    log("1. resolve")
    interleaved(rounds, [
        ("resolve.plugin", lambda r: ok_ms(host.ask("resolve", "plugin", RESOLVE_NAME, RESOLVE_TYPE))),
        ("resolve.backend", lambda r: ok_ms(host.ask("resolve", "backend", RESOLVE_NAME, RESOLVE_TYPE))),
        ("resolve.zeroconf", lambda r: ok_ms(probe.ask("resolve", RESOLVE_TYPE, RESOLVE_NAME))),
        ("resolve.floor", lambda r: ok_ms(host.ask("floor", "resolve", RESOLVE_NAME, RESOLVE_TYPE))),
    ], samples)
    # Whole processes in rounds of their own, so that starting and ending
    # them does not disturb the in-process calls.
    interleaved(rounds, [
        ("resolve.process.zelm_mdns", lambda r: timed_run([tool, "resolve", RESOLVE_NAME, RESOLVE_TYPE, "--quiet"])),
        ("resolve.process.avahi_browse", lambda r: timed_run(["avahi-browse", "-r", "-t", "-p", RESOLVE_TYPE])),
    ], samples)


def measure_link_open(host, samples, rounds):
    """Resolve and lookup while another request keeps the daemon connection
    open: the difference to the plain calls is what setting it up costs."""
    log("where the time goes: resolve and lookup with the daemon connection open")
    host.ask("hold", "plugin", "on")
    host.ask("hold", "backend", "on")
    interleaved(rounds, [
        ("resolve.plugin.link_open", lambda r: ok_ms(host.ask("resolve", "plugin", RESOLVE_NAME, RESOLVE_TYPE))),
        ("resolve.backend.link_open", lambda r: ok_ms(host.ask("resolve", "backend", RESOLVE_NAME, RESOLVE_TYPE))),
        ("lookup.plugin.link_open", lambda r: ok_ms(host.ask("lookup", "plugin", "zelm-b.local."))),
        ("lookup.backend.link_open", lambda r: ok_ms(host.ask("lookup", "backend", "zelm-b.local."))),
        ("browse.overshoot.plugin.200.link_open",
         lambda r: host.ask("browse", "plugin", RESOLVE_TYPE, 200)["overshoot_ms"]),
    ], samples)
    host.ask("hold", "plugin", "off")
    host.ask("hold", "backend", "off")


def measure_new_link(host, samples, rounds):
    """Resolve and a short browse as the first call after the daemon link
    ended: what a host pays that calls less often than the link lingers."""
    log("where the time goes: resolve and browse on a new daemon link")

    def after_grace(ask):
        def run(r):
            time.sleep(LINK_GRACE_OVER_S)
            return ask()
        return run

    interleaved(rounds, [
        ("resolve.plugin.new_link",
         after_grace(lambda: ok_ms(host.ask("resolve", "plugin", RESOLVE_NAME, RESOLVE_TYPE)))),
        ("resolve.backend.new_link",
         after_grace(lambda: ok_ms(host.ask("resolve", "backend", RESOLVE_NAME, RESOLVE_TYPE)))),
        ("browse.overshoot.plugin.200.new_link",
         after_grace(lambda: host.ask("browse", "plugin", RESOLVE_TYPE, 200)["overshoot_ms"])),
    ], samples)


def measure_bus_breakdown(host, samples, rounds):
    """Each operation once more, alone and on a new daemon link, with the bus watched."""
    log("where the time goes: D-Bus messages of resolve and lookup")
    result = {}
    operations = [("resolve", ("resolve", "%s", RESOLVE_NAME, RESOLVE_TYPE)),
                  ("lookup", ("lookup", "%s", "zelm-b.local."))]
    for r in range(rounds):
        for name, command in operations:
            for side in ("plugin", "backend") if r % 2 == 0 else ("backend", "plugin"):
                fields = [f % side if f == "%s" else f for f in command]
                time.sleep(LINK_GRACE_OVER_S)  # a call that sets its connection up
                with BusMonitor() as monitor:
                    answer = host.ask(*fields)
                figures = breakdown(monitor.lines)
                if figures is None or not answer.get("ok"):
                    samples.add("bus.%s.%s" % (name, side), None)
                    continue
                figures["call_ms"] = answer["ms"]
                result.setdefault("%s.%s" % (name, side), []).append(figures)
    samples.extra["bus"] = result


def measure_lookup(host, probe, tool, samples, rounds):
    log("2. address lookup")
    interleaved(rounds, [
        ("lookup.plugin", lambda r: ok_ms(host.ask("lookup", "plugin", "zelm-b.local."))),
        ("lookup.backend", lambda r: ok_ms(host.ask("lookup", "backend", "zelm-b.local."))),
        ("lookup.zeroconf", lambda r: ok_ms(probe.ask("lookup", "zelm-b.local."))),
        ("lookup.floor", lambda r: ok_ms(host.ask("floor", "lookup", "zelm-b.local."))),
    ], samples)
    interleaved(rounds, [
        ("lookup.process.zelm_mdns", lambda r: timed_run([tool, "lookup", "zelm-b.local", "--quiet"])),
        ("lookup.process.avahi_resolve", lambda r: timed_run(["avahi-resolve", "-n", "zelm-b.local"])),
    ], samples)
    # The daemon's one-call lookup (Server.ResolveHostName, no browser object)
    # against a call it answers at once: the difference is its own lookup.
    server_call = ["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/"]
    interleaved(rounds, [
        ("lookup.process.resolve_host_name", lambda r: timed_run(
            server_call + ["org.freedesktop.Avahi.Server.ResolveHostName", "int32:-1", "int32:-1",
                           "string:zelm-b.local", "int32:-1", "uint32:0"])),
        ("lookup.process.get_version", lambda r: timed_run(
            server_call + ["org.freedesktop.Avahi.Server.GetVersionString"])),
    ], samples)


def measure_registration(host, samples, rounds):
    log("3. registration and 5. tear-down of a registration")
    teardowns = {}

    def register(side):
        def run(r):
            answer = host.ask("register", side, "Bench Reg %s %d" % (side, r), REGISTER_TYPE, REGISTER_PORT)
            if answer.get("ok"):
                teardowns.setdefault(side, []).append(answer["teardown_ms"])
            return ok_ms(answer)
        return run

    interleaved(rounds, [
        ("register.plugin", register("plugin")),
        ("register.backend", register("backend")),
        ("register.avahi_publish", lambda r: avahi_publish("Bench Reg avahi %d" % r)),
    ], samples)
    for side, values in teardowns.items():
        for value in values:
            samples.add("teardown.register.%s" % side, value)


def measure_teardown_mid_browse(host, samples, rounds):
    log("5. tear-down mid-browse")
    interleaved(rounds, [
        ("teardown.browse.plugin", lambda r: host.ask("endmid", "plugin", RESOLVE_TYPE, 200)["ms"]),
        ("teardown.browse.backend", lambda r: host.ask("endmid", "backend", RESOLVE_TYPE, 200)["ms"]),
    ], samples)


def measure_browse(host, samples, rounds_by_timeout):
    log("4. browse overshoot and CPU")
    for timeout, rounds in rounds_by_timeout:
        variants = [
            ("browse.overshoot.plugin.%d" % timeout,
             lambda r, t=timeout: host.ask("browse", "plugin", RESOLVE_TYPE, t)),
            ("browse.overshoot.bare.%d" % timeout, lambda r, t=timeout: host.ask("browse", "bare", "-", t)),
        ]
        if timeout == 5000:
            variants.append(("browse.backend.5000", lambda r: host.ask("browse", "backend", RESOLVE_TYPE, 5000)))
        raw = Samples()
        interleaved(rounds, variants, raw)
        for key, answers in raw.data.items():
            for answer in answers:
                samples.add(key, answer["overshoot_ms"])
                if timeout == 5000 and "bare" not in key:
                    side = "plugin" if "plugin" in key else "backend"
                    samples.add("browse.cpu.%s" % side, answer["cpu_ms"])


def measure_scale(host, samples, counts, timeout):
    log("6. scale")
    scale = {}
    for count in counts:
        for side in ("plugin", "backend"):
            answer = host.ask("scale", side, RESOLVE_TYPE, count, timeout)
            scale.setdefault(side, {})[str(count)] = answer
            samples.add("scale.wall.%s.%d" % (side, count), answer["ms"])
            log("   %s x%d: %.0f ms, %s connections" % (side, count, answer["ms"], answer["daemon_connections"]))
    # The largest N once more with a longer time-out: do the browses that
    # found nothing in 1 s find the service when they wait longer?
    longest = max(counts)
    scale["plugin_long"] = {str(longest): host.ask("scale", "plugin", RESOLVE_TYPE, longest, timeout * 4)}
    samples.extra["scale"] = scale
    samples.extra["idle_bytes_per_component"] = host.ask("idle", 2000)


def measure_collection(host, probe, samples, rounds):
    log("7. collection of %s" % BULK_TYPE)

    def record(side, answer):
        samples.add("collect.found.%s" % side, answer["found"])
        return answer["last_ms"]

    interleaved(rounds, [
        ("collect.last.plugin", lambda r: record("plugin", host.ask("browse", "plugin", BULK_TYPE, 3000))),
        ("collect.last.backend", lambda r: record("backend", host.ask("browse", "backend", BULK_TYPE, 3000))),
        ("collect.last.avahi_browse", lambda r: record("avahi_browse", avahi_collect(BULK_TYPE))),
        ("collect.last.zeroconf", lambda r: record("zeroconf", probe.ask("browse", BULK_TYPE, 3000))),
    ], samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-tool", required=True)
    parser.add_argument("--zelm-mdns", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--quick", action="store_true", help="few rounds, for trying the harness out")
    args = parser.parse_args()
    if os.environ.get("ZELM_SANDBOX_HOST") != "A":
        log("run me on host A through scripts/sandbox exec A")
        return 2

    rounds = 3 if args.quick else args.rounds
    samples = Samples()
    started = time.time()
    host = LineServer([args.host_tool])
    probe = LineServer([sys.executable, os.path.join(HERE, "zeroconf_probe.py")])
    try:
        # One unmeasured pass fills the daemon's and python-zeroconf's caches.
        host.ask("resolve", "plugin", RESOLVE_NAME, RESOLVE_TYPE)
        host.ask("lookup", "plugin", "zelm-b.local.")
        probe.ask("resolve", RESOLVE_TYPE, RESOLVE_NAME)
        probe.ask("lookup", "zelm-b.local.")

        measure_resolve(host, probe, args.zelm_mdns, samples, rounds)
        measure_lookup(host, probe, args.zelm_mdns, samples, rounds)
        measure_link_open(host, samples, rounds)
        measure_new_link(host, samples, rounds if args.quick else 10)
        measure_bus_breakdown(host, samples, 3 if args.quick else 6)
        measure_registration(host, samples, 3 if args.quick else max(5, rounds * 3 // 4))
        measure_teardown_mid_browse(host, samples, rounds)
        measure_browse(host, samples, [(200, rounds), (1000, 3 if args.quick else 8),
                                       (5000, 1 if args.quick else 4)])
        measure_scale(host, samples, [1, 16] if args.quick else [1, 16, 256, 1024], 1000)
        measure_collection(host, probe, samples, 2 if args.quick else 5)
    finally:
        host.close()
        probe.close()
    with open(args.out, "w") as out:
        json.dump({"samples": samples.data, "failures": samples.failures, "extra": samples.extra,
                   "seconds": time.time() - started}, out, indent=1)
    log("raw samples in %s (%.0f s)" % (args.out, time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
