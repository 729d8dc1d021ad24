#!/usr/bin/python3
# End-to-end tests of the zelm-mdns program, run on the sandbox's host A
# against avahi-daemon there and the independent peer on host B.
# Usage: zelm_mdns_e2e.py --tool PATH [unittest arguments]. Exits 77 (skipped)
# outside the sandbox. ZelmMdns leaves the daemon alone; ZelmMdnsFaults stops
# the daemon and the bus and breaks host A's interface, and runs on its own;
# ZelmMdnsWideArea runs in the sandbox of up --dns.

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

import jsonschema

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
NO_SUCH_HOST = "the daemon answered at once that it has no address for it"
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "zelm-mdns.schema.json")) as f:
    SCHEMA = json.load(f)

# What the tool says when it finds nothing, on stderr exactly, with exit
# status 1: (state of host A, arguments, the reason after "zelm-mdns: <what>: ").
# A reason that claims no time-out comes at once. "wide-area": the sandbox of
# up --dns, whose daemon sends names outside .local to the zone's DNS server.
MESSAGES = [
    ("up", ["discover", NONE_TYPE, "--timeout", "1000"], "no services found: nothing answered within 1000 ms"),
    ("up", ["browse", NONE_TYPE, "--timeout", "1"], "no instances of %s found: nothing answered within 1 ms" % NONE_TYPE),
    ("up", ["browse", NONE_TYPE, "--timeout", "5"], "no instances of %s found: nothing answered within 5 ms" % NONE_TYPE),
    ("up", ["browse", NONE_TYPE, "--timeout", "3000"],
     "no instances of %s found: nothing answered within 3000 ms" % NONE_TYPE),
    ("up", ["browse", "_nope", "--timeout", "500"],
     "no instances of _nope found: the request could not start: code -65540 (bad parameter)"),
    ("up", ["lookup", NOHOST], "no address found for %s: nothing answered within 4000 ms" % NOHOST),
    ("up", ["lookup", "198.18.0.2"], "no address found for 198.18.0.2: it is an IP address, not a host name"),
    ("up", ["resolve", "Nobody " + RUN_ID, TYPE],
     "cannot resolve \"Nobody %s\" %s in local.: nothing answered within 4000 ms" % (RUN_ID, TYPE)),
    ("daemon stopped", ["browse", NONE_TYPE, "--timeout", "3000"], "no instances of %s found: %s" % (NONE_TYPE, DAEMON_GONE)),
    ("daemon stopped", ["discover", NONE_TYPE, "--timeout", "3000"], "no services found: " + DAEMON_GONE),
    ("daemon stopped", ["lookup", NOHOST], "no address found for %s: %s" % (NOHOST, DAEMON_GONE)),
    ("bus gone", ["types", "--timeout", "3000"], "no service types found: " + DAEMON_GONE),
    ("bus gone", ["register", "Gone " + RUN_ID, TYPE, "7102"], "cannot register \"Gone %s\" %s: %s" % (RUN_ID, TYPE, DAEMON_GONE)),
    ("wide-area", ["lookup", "nohost-%s.zelm.test." % RUN_ID], "no address found for nohost-%s.zelm.test.: %s" % (RUN_ID, NO_SUCH_HOST)),
    ("wide-area", ["lookup", "bare" + RUN_ID], "no address found for bare%s: %s; a multicast-DNS host name ends in .local, "
     "as bare%s.local." % (RUN_ID, NO_SUCH_HOST, RUN_ID)),
    ("wide-area", ["register", "Wide " + RUN_ID, TYPE, "7103", "--domain", "zelm.test."],
     "cannot register \"Wide %s\" %s: the request could not start: code -65544 (not supported by the daemon); "
     "the daemon registers services on the local link only (local.), not in zelm.test." % (RUN_ID, TYPE)),
]


def run(args):
    return subprocess.run(args, capture_output=True, text=True, errors="replace", timeout=60)


def valid(line, args):
    """The event on this line; the tool's checked against its subcommand's part of the documented schema."""
    event = json.loads(line)  # fails on a line that is not JSON
    if args[0] == TOOL:
        jsonschema.validate(event, {"$defs": SCHEMA["$defs"], "$ref": "#/$defs/" + args[1]})
    return event


def events(done):
    return [valid(line, done.args) for line in done.stdout.splitlines()]


def next_event(process, event):
    for line in process.stdout:
        if line.startswith("{") and valid(line, process.args)["event"] == event:
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


def timed(args):
    began = time.monotonic()
    return run(args), time.monotonic() - began


def check_messages(case, state):
    rows = [row for row in MESSAGES if row[0] == state]
    with ThreadPoolExecutor(len(rows)) as pool:
        for (_, args, reason), (done, took) in zip(rows, pool.map(lambda row: timed([TOOL] + row[1] + ["--json"]), rows)):
            case.assertEqual((done.returncode, done.stderr), (1, "zelm-mdns: %s\n" % reason), args)
            case.assertTrue("within" in reason or took < 1.5, (args, took))
            (failure,) = events(done)  # nothing but the tool's own JSON on stdout
            case.assertEqual(failure["event"], "failure", args)
            # A browse cut off before it processed anything (1 ms) has no code at all.
            case.assertTrue(failure["reason"] in reason and
                            (failure["code"] != 0 or failure["ending"] == "nothing answered"), failure)


class ZelmMdns(unittest.TestCase):
    NAME = "Zelm Küche " + RUN_ID
    TXT = [b"path=/x y", b"flag", b"bin=\x00\xff", "room=Küche".encode()]
    TXT_HEX = b"".join(bytes([len(e)]) + e for e in TXT).hex()
    TXT_JSON = [{"key": "path", "value": "/x y", "value_hex": "2f782079"}, {"key": "flag"},
                {"key": "bin", "value_hex": "00ff"}, {"key": "room", "value": "Küche", "value_hex": "4bc3bc636865"}]
    TXT_TEXT = '"path=/x y" flag bin=\\x00\\xff room=Küche'

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
        self.assertEqual(rows[self.NAME]["txt"], self.TXT_JSON)
        # As text: UTF-8 as it is, columns lined up by display width, TXT entries told apart.
        header, *lines = self.tool(0, "discover", TYPE, "--timeout", "2500").stdout.splitlines()
        (row,) = [line for line in lines if line.startswith(self.NAME)]
        self.assertEqual((row.index(TYPE), row.endswith(self.TXT_TEXT)), (header.index("TYPE"), True), [header, row])

    def test_resolve_and_lookup_reach_host_port_txt_and_both_addresses(self):
        (event,) = events(self.tool(0, "resolve", self.NAME, TYPE, "--json"))
        self.assertEqual((event["event"], event["port"], event["txt_hex"]), ("resolved", 7101, self.TXT_HEX))
        self.assertEqual(event["txt"], self.TXT_JSON)
        self.assertTrue(self.tool(0, "resolve", self.NAME, TYPE).stdout.endswith(self.TXT_TEXT + "\n"))
        host = env("ZELM_SANDBOX_HOSTNAME_B") + ".local."
        self.assertEqual(event["host"].rstrip("."), host.rstrip("."))
        # IPv4 unless asked for IPv6; a link-local address with its zone.
        for flags, family, address in (([], "IPv4", env("ZELM_SANDBOX_ADDR_B")),
                                       (["-6"], "IPv6", env("ZELM_SANDBOX_ADDR6_B") + "%" + env("ZELM_SANDBOX_IF_A"))):
            self.assertEqual(events(self.tool(0, "lookup", host, "--json", *flags)),
                             [{"event": "address", "schema": 1, "host": host, "address": address, "family": family}])

    def test_nothing_found_says_why_on_stderr_only(self):
        check_messages(self, "up")

    def test_types_finds_exactly_the_peers_types_and_a_subtype_browse_its_instance(self):
        found = events(self.tool(0, "types", "--timeout", "3000", "--json"))
        mine = {(e["type"], e["domain"]) for e in found if e["event"] == "type" and RUN_ID in e["type"]}
        self.assertEqual(mine, {(t, "local.") for t in self.TYPES}, found)
        self.assertFalse([e for e in found if "_sub" in e.get("type", "")], found)
        self.assertIn(" _tcp.local. ", self.tool(0, "browse", "_services._dns-sd._udp", "--timeout", "1500").stdout)
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

    def test_sigint_ends_a_browse_at_once_with_what_was_found_and_the_summary(self):
        for args, first in ((["browse", TYPE], "found"), (["types"], "type"), (["discover", TYPE], None)):
            process = start([TOOL] + args + ["--timeout", "20000", "--json"])
            next_event(process, first) if first else time.sleep(2)
            process.send_signal(signal.SIGINT)
            rest = [valid(line, process.args) for line in process.communicate(timeout=1.5)[0].splitlines()]
            self.assertEqual((process.returncode, rest[-1]["interrupted"]), (0, "SIGINT"), rest)
            self.assertTrue(first or any(e.get("name") == self.NAME and "port" in e for e in rest), rest)

    def test_domains_lists_local_and_the_daemons_browse_domains(self):
        with tempfile.NamedTemporaryFile("w", suffix=".conf") as config:
            config.write("[server]\ndomain-name=local\n#browse-domains=x.test\nbrowse-domains=a.test, b.test.\n")
            config.flush()
            for path, domains in ((config.name, ["local.", "a.test.", "b.test."]), ("/nonexistent", ["local."])):
                self.assertEqual([e["domain"] for e in events(self.tool(0, "domains", "--config", path, "--json"))],
                                 domains)

    def test_usage_errors_exit_two_help_zero_and_a_missing_plugin_one(self):
        for args, code in ((["browse"], 2), (["bogus"], 2), (["register", "n", "_x._tcp", "99999"], 2),
                           (["lookup", "-4", "-6", "h"], 2), (["--help"], 0), (["register", "--help"], 0)):
            done = run([TOOL] + args)
            self.assertEqual((done.returncode, "Usage:" in done.stdout), (code, code == 0), (args, done.stderr))
        self.assertIn("unknown subcommand 'bogus'; the subcommands are browse, ", run([TOOL, "bogus"]).stderr)
        done = run([TOOL, "lookup", "x.local.", "--plugin", "/nonexistent/libZelmMDNS.so.0"])
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertIn("cannot load the plug-in", done.stderr)


class ZelmMdnsFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        next_event(publish(cls, "Doctor Peer " + RUN_ID, TYPE, 7301), "published")

    def test_without_daemon_or_bus_the_tool_says_the_daemon_cannot_be_reached(self):
        try:
            browsing = start([TOOL, "browse", TYPE, "--timeout", "20000", "--json", "--quiet"])
            next_event(browsing, "found")
            sandbox("daemon", "stop")
            failure = valid(browsing.communicate(timeout=3)[0].splitlines()[-1], browsing.args)
            self.assertEqual((browsing.returncode, failure["ending"], failure["code"]), (1, "daemon lost", -65563))
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


class ZelmMdnsWideArea(unittest.TestCase):
    def test_names_outside_local_are_told_apart_and_wide_area_reports_show_no_interface(self):
        check_messages(self, "wide-area")
        found = self.tool_text("browse", "_zelmweb._tcp", "--domain", "zelm.test.", "--timeout", "1500")
        self.assertTrue(found[0].startswith('found  "Zelm') and not [line for line in found if " on " in line], found)

    def tool_text(self, *args):
        done = run([TOOL] + list(args))
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout.splitlines()


if __name__ == "__main__":
    if not os.environ.get("ZELM_SANDBOX_DIR"):
        print("not inside the sandbox (ZELM_SANDBOX_DIR unset): skipped", file=sys.stderr)
        sys.exit(77)
    TOOL = sys.argv[sys.argv.index("--tool") + 1]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[sys.argv.index("--tool") + 2:])
