#!/usr/bin/python3
# End-to-end tests of the zelm-mdns program, run on the sandbox's host A
# against avahi-daemon there and the independent peer on host B.
# Usage: zelm_mdns_e2e.py --tool PATH [unittest arguments]. Exits 77 (skipped)
# outside the sandbox. ZelmMdns leaves the daemon alone; ZelmMdnsFaults stops
# the daemon and the bus and breaks host A's interface, and runs on its own.

import json
import os
import signal
import subprocess
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

TOOL = None
RUN_ID = str(os.getpid())
TYPE = "_zelme2e._tcp"
NONE_TYPE = "_zelmnone%s._tcp" % RUN_ID
NOHOST = "nohost-%s.local." % RUN_ID
env = os.environ.__getitem__
SANDBOX = os.path.join(os.environ.get("ZELM_SANDBOX_REPO", ""), "scripts", "sandbox")
PEER = [SANDBOX, "exec", "B", "/usr/bin/python3",
        os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "integration", "peer.py")]
DAEMON_GONE = "the DNS-SD daemon cannot be reached: the request could not start (code -65563); is avahi-daemon running?"

# What the tool says when it finds nothing, on stderr exactly, with exit
# status 1: (state of host A, arguments, the reason after "zelm-mdns: <what>: ").
MESSAGES = [
    ("up", ["discover", NONE_TYPE, "--timeout", "1000"], "no services found: nothing answered within 1000 ms"),
    ("up", ["browse", NONE_TYPE, "--timeout", "1"], "no instances of %s found: nothing answered within 1 ms" % NONE_TYPE),
    ("up", ["browse", NONE_TYPE, "--timeout", "5"], "no instances of %s found: nothing answered within 5 ms" % NONE_TYPE),
    ("up", ["browse", NONE_TYPE, "--timeout", "3000"],
     "no instances of %s found: nothing answered within 3000 ms" % NONE_TYPE),
    ("up", ["browse", "_nope", "--timeout", "500"],
     "no instances of _nope found: the request could not start: code -65540 (bad parameter)"),
    ("up", ["lookup", NOHOST], "no address found for %s: nothing answered within 4000 ms" % NOHOST),
    ("up", ["resolve", "Nobody " + RUN_ID, TYPE],
     "cannot resolve \"Nobody %s\" %s in local.: nothing answered within 4000 ms" % (RUN_ID, TYPE)),
    ("daemon stopped", ["browse", NONE_TYPE, "--timeout", "1000"], "no instances of %s found: %s" % (NONE_TYPE, DAEMON_GONE)),
    ("daemon stopped", ["lookup", NOHOST], "no address found for %s: %s" % (NOHOST, DAEMON_GONE)),
    ("bus gone", ["browse", NONE_TYPE, "--timeout", "1000"], "no instances of %s found: %s" % (NONE_TYPE, DAEMON_GONE)),
    ("bus gone", ["register", "Gone " + RUN_ID, TYPE, "7102"], "cannot register \"Gone %s\" %s: %s" % (RUN_ID, TYPE, DAEMON_GONE)),
]


def run(args):
    return subprocess.run(args, capture_output=True, text=True, errors="replace", timeout=60)


def events(done):
    return [json.loads(line) for line in done.stdout.splitlines()]  # fails on a line that is not JSON


def next_event(process, event):
    for line in process.stdout:
        if line.startswith("{") and json.loads(line)["event"] == event:
            return json.loads(line)
    raise AssertionError("%s ended without a %r event" % (process.args, event))


def start(args):
    return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, errors="replace")


def publish(case, name, service_type, port, *extra):
    peer = start(PEER + ["publish", "--name", name, "--type", service_type, "--port", str(port), "--for", "300"]
                 + list(extra))
    case.addClassCleanup(peer.communicate, timeout=15)  # cleanups run last first: terminate, then this
    case.addClassCleanup(peer.terminate)
    return peer


def sandbox(*args):
    subprocess.run([SANDBOX] + list(args), check=True, capture_output=True, timeout=60)


def check_messages(case, state):
    rows = [row for row in MESSAGES if row[0] == state]
    with ThreadPoolExecutor(len(rows)) as pool:
        for (_, args, reason), done in zip(rows, pool.map(lambda row: run([TOOL] + row[1] + ["--json"]), rows)):
            case.assertEqual((done.returncode, done.stderr), (1, "zelm-mdns: %s\n" % reason), args)
            (failure,) = events(done)  # nothing but the tool's own JSON on stdout
            case.assertEqual(failure["event"], "failure", args)
            # A browse cut off before it processed anything (1 ms) has no code at all.
            case.assertTrue(failure["reason"] in reason and
                            (failure["code"] != 0 or failure["ending"] == "nothing answered"), failure)


class ZelmMdns(unittest.TestCase):
    NAME = "Zelm E2E " + RUN_ID
    TXT_HEX = "09706174683d2f78207904666c61670662696e3d00ff"  # "path=/x y", "flag", "bin=" 00 ff

    # Three types of this run only, the first also under a subtype.
    TYPES = ["_zta%s._tcp" % RUN_ID, "_ztb%s._udp" % RUN_ID, "_ztc%s._tcp" % RUN_ID]

    @classmethod
    def setUpClass(cls):
        peers = [publish(cls, cls.NAME, TYPE, 7101, "--txt-hex", cls.TXT_HEX)]
        peers += [publish(cls, "Typed %d" % i, t, 7200 + i, *(["--subtype", "_printer"] if i == 0 else []))
                  for i, t in enumerate(cls.TYPES)]
        for peer in peers:
            next_event(peer, "published")

    def tool(self, code, *args):
        done = run([TOOL] + list(args))
        self.assertEqual(done.returncode, code, "%s\n--- stdout\n%s--- stderr\n%s" % (args, done.stdout, done.stderr))
        return done

    def test_browse_and_discover_find_the_peer(self):
        found = events(self.tool(0, "browse", TYPE, "--timeout", "2500", "--json"))
        self.assertEqual(found[-1]["event"], "summary")
        mine = [e for e in found if e["event"] == "found" and e["name"] == self.NAME]
        self.assertTrue(len(mine) == 1 and mine[0]["type"].startswith(TYPE) and mine[0]["interface"] > 0, found)
        rows = {e["name"]: e for e in events(self.tool(0, "discover", TYPE, "--timeout", "2500", "--json"))
                if e["event"] == "service"}
        self.assertEqual((rows[self.NAME]["address"], rows[self.NAME]["port"]), (env("ZELM_SANDBOX_ADDR_B"), 7101))
        self.assertEqual(rows[self.NAME]["txt"], {"path": "/x y", "flag": True, "bin": "\\x00\\xff"})

    def test_resolve_and_lookup_reach_host_port_txt_and_both_addresses(self):
        (event,) = events(self.tool(0, "resolve", self.NAME, TYPE, "--json"))
        self.assertEqual((event["event"], event["port"], event["txt_hex"]), ("resolved", 7101, self.TXT_HEX))
        self.assertEqual(event["txt"], {"path": "/x y", "flag": True, "bin": "\\x00\\xff"})
        host = env("ZELM_SANDBOX_HOSTNAME_B") + ".local."
        self.assertEqual(event["host"].rstrip("."), host.rstrip("."))
        for flag, family, address in (("-4", "IPv4", env("ZELM_SANDBOX_ADDR_B")),
                                      ("-6", "IPv6", env("ZELM_SANDBOX_ADDR6_B"))):
            self.assertEqual(events(self.tool(0, "lookup", host, flag, "--json")),
                             [{"event": "address", "host": host, "address": address, "family": family}])

    def test_nothing_found_says_why_on_stderr_only(self):
        check_messages(self, "up")

    def test_types_finds_exactly_the_peers_types_and_a_subtype_browse_its_instance(self):
        found = events(self.tool(0, "types", "--timeout", "3000", "--json"))
        mine = {(e["type"], e["domain"]) for e in found if e["event"] == "type" and RUN_ID in e["type"]}
        self.assertEqual(mine, {(t, "local.") for t in self.TYPES}, found)
        self.assertFalse([e for e in found if "_sub" in e.get("type", "")], found)
        for spelling in ("_printer._sub." + self.TYPES[0], self.TYPES[0] + ",_printer"):
            names = {e["name"] for e in events(self.tool(0, "browse", spelling, "--timeout", "2500", "--json"))
                     if e["event"] == "found"}
            self.assertEqual(names, {"Typed 0"}, spelling)

    def peer_wait(self, name, *args):
        seen = run(PEER + ["wait", "--type", TYPE, "--name", name, "--timeout", "15"] + list(args))
        self.assertEqual(seen.returncode, 0, seen.stdout)
        return json.loads(seen.stdout.splitlines()[-1])

    def test_register_renames_a_taken_name_publishes_the_largest_txt_and_withdraws_on_sigterm(self):
        # The peer holds NAME. Four full strings, a key with an empty value and one of 143 bytes: 1175 bytes of
        # wire form, the most taken.
        txt = ["k%d=%s" % (i, "x" * 252) for i in range(4)] + ["empty=", "k4=" + "y" * 140]
        name = self.NAME + " #2"
        registered = start([TOOL, "register", self.NAME, TYPE, "7401"] + txt + ["--json", "--for", "300"])
        try:
            event = next_event(registered, "registered")
            self.assertEqual((event["name"], event["confirmed"], event["txt_length"]), (name, True, 1175))
            found = self.peer_wait(name, "--port", "7401")
            self.assertEqual(found["txt_hex"], b"".join(bytes([len(e)]) + e.encode() for e in txt).hex())
            self.assertEqual(found["host"].rstrip("."), env("ZELM_SANDBOX_HOSTNAME_A") + ".local")
        finally:
            registered.send_signal(signal.SIGTERM)
            rest = registered.communicate(timeout=15)[0]
        self.assertEqual((registered.returncode, json.loads(rest.splitlines()[-1])["reason"]), (0, "SIGTERM"))
        self.peer_wait(name, "--gone")

    def test_usage_errors_exit_two_help_zero_and_a_missing_plugin_one(self):
        for args, code in ((["browse"], 2), (["bogus"], 2), (["register", "n", "_x._tcp", "99999"], 2),
                           (["lookup", "-4", "-6", "h"], 2), (["--help"], 0), (["register", "--help"], 0)):
            done = run([TOOL] + args)
            self.assertEqual((done.returncode, "Usage:" in done.stdout), (code, code == 0), (args, done.stderr))
        done = run([TOOL, "lookup", "x.local.", "--plugin", "/nonexistent/libZelmMDNS.so.0"])
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertIn("cannot load the plug-in", done.stderr)


class ZelmMdnsFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        next_event(publish(cls, "Doctor Peer " + RUN_ID, TYPE, 7301), "published")

    def test_without_daemon_or_bus_the_tool_says_the_daemon_cannot_be_reached(self):
        try:
            sandbox("daemon", "stop")
            check_messages(self, "daemon stopped")
            sandbox("bus", "stop")
            check_messages(self, "bus gone")
        finally:
            sandbox("bus", "start")
            sandbox("daemon", "start")

    def doctor(self):
        done = run([TOOL, "doctor", "--json"])
        checks = {e["check"]: e for e in events(done)}
        self.assertEqual(done.returncode, 0 if all(c["status"] != "fail" for c in checks.values()) else 1, checks)
        return checks

    def test_doctor_turns_exactly_the_broken_line_to_a_failure_with_its_hint(self):
        interface = env("ZELM_SANDBOX_IF_A")
        healthy = self.doctor()
        self.assertEqual({(n, c["status"]) for n, c in healthy.items()},
                         {(n, "ok") for n in ("plug-in", "daemon", "interfaces", "self-test", "peers")}, healthy)
        self.assertIn("seen on " + interface, healthy["self-test"]["detail"])
        # The network checks cannot run without the daemon or an interface fit for mDNS: skipped, not failed.
        for breaking, mending, broken, hint in (
                (["daemon", "stop"], ["daemon", "start"], "daemon", "start avahi-daemon"),
                (["exec", "A", "ip", "link", "set", interface, "multicast", "off"],
                 ["exec", "A", "ip", "link", "set", interface, "multicast", "on"], "interfaces", "multicast on"),
                (["exec", "A", "ip", "link", "set", interface, "down"],
                 ["exec", "A", "ip", "link", "set", interface, "up"], "interfaces", interface + " up")):
            try:
                sandbox(*breaking)
                checks = self.doctor()
            finally:
                sandbox(*mending)
            expected = {n: "skip" if n in ("self-test", "peers") else "ok" for n in healthy}
            expected[broken] = "fail"
            self.assertEqual({n: c["status"] for n, c in checks.items()}, expected, breaking)
            self.assertIn(hint, checks[broken]["hint"], breaking)
            self.wait_until_healthy()

    def wait_until_healthy(self):
        for _ in range(20):  # avahi-daemon takes the interface back within a few seconds
            if run([TOOL, "browse", TYPE, "--timeout", "1000", "--quiet"]).returncode == 0:
                return
            time.sleep(0.5)
        self.fail("host A did not come back")


if __name__ == "__main__":
    if not os.environ.get("ZELM_SANDBOX_DIR"):
        print("not inside the sandbox (ZELM_SANDBOX_DIR unset): skipped", file=sys.stderr)
        sys.exit(77)
    TOOL = sys.argv[sys.argv.index("--tool") + 1]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[sys.argv.index("--tool") + 2:])
