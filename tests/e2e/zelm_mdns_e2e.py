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
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

import jsonschema

TOOL = None
EMULATED = False
RUN_ID = str(os.getpid())
TYPE = "_zelme2e._tcp"
NONE_TYPE = "_zelmnone%s._tcp" % RUN_ID
OWN_TYPE = "_zelmown%s._tcp" % RUN_ID
NOHOST = "nohost-%s.local." % RUN_ID
env = os.environ.__getitem__
HERE = os.path.dirname(os.path.abspath(__file__))
SANDBOX = os.path.join(os.environ.get("ZELM_SANDBOX_REPO", ""), "scripts", "sandbox")
PEER = [SANDBOX, "exec", "B", "/usr/bin/python3", os.path.join(HERE, "..", "integration", "peer.py")]
DAEMON_GONE = "the DNS-SD daemon cannot be reached: the request could not start (code -65563); is avahi-daemon running?"
NO_SUCH_HOST = "the daemon answered at once that it has no address for it"
with open(os.path.join(HERE, "..", "..", "tools", "zelm-mdns.schema.json")) as f:
    SCHEMA = json.load(f)

# What the tool says when it finds nothing: exit status 1 and, on stderr
# exactly, "zelm-mdns: <what>: <reason>", <what> as each subcommand words it
# for its arguments; JSON names the ending. Rows: (state of host A, arguments,
# ending, reason), or {code: (ending, reason)} where the backend decides the code. A reason that claims no
# time-out comes at once. SIGINT: the tool is interrupted after 0.5 s. "wide-area": the sandbox of up --dns,
# whose daemon sends names outside .local to the zone's DNS server.
WHAT = {"browse": "no instances of {1} found", "discover": "no services found", "types": "no service types found",
        "lookup": "no address found for {1}", "resolve": "cannot resolve \"{1}\" {2} in {domain}",
        "register": "cannot register \"{1}\" {2}"}
NOTHING = "nothing answered"
MESSAGES = [
    ("up", ["discover", NONE_TYPE, "--timeout", "1000"], NOTHING, "nothing answered within 1000 ms"),
    *[("up", ["browse", NONE_TYPE, "--timeout", ms], NOTHING, "nothing answered within %s ms" % ms) for ms in ("1", "5", "3000")],
    ("up", ["browse", "_nope", "--timeout", "500"], "could not start", "the request could not start: code -65540 (bad parameter)"),
    ("up", ["lookup", NOHOST], NOTHING, "nothing answered within 4000 ms"),
    ("up", ["resolve", "Nobody " + RUN_ID, TYPE], NOTHING, "nothing answered within 4000 ms"),
    ("up", ["lookup", "198.18.0.2"], "not a host name", "it is an IP address, not a host name"),
    ("up", ["browse", NONE_TYPE, "--timeout", "20000", "SIGINT"], "interrupted", "interrupted by SIGINT"),
    *[("daemon stopped", args, "daemon absent", DAEMON_GONE)
      for args in (["browse", NONE_TYPE, "--timeout", "3000"], ["discover", NONE_TYPE, "--timeout", "3000"], ["lookup", NOHOST])],
    ("bus gone", ["types", "--timeout", "3000"], "daemon absent", DAEMON_GONE),
    ("bus gone", ["register", "Gone " + RUN_ID, TYPE, "7102"], "daemon absent", DAEMON_GONE),
    ("wide-area", ["lookup", "nohost-%s.zelm.test." % RUN_ID], "no such host", NO_SUCH_HOST),
    ("wide-area", ["lookup", "bare" + RUN_ID], "no such host",
     NO_SUCH_HOST + "; a multicast-DNS host name ends in .local, as bare%s.local." % RUN_ID),
    ("wide-area", ["register", "Wide " + RUN_ID, TYPE, "7103", "--domain", "zelm.test."], "could not start",
     "the request could not start: code -65555 (not authorized); the DNS server did not accept the update; the key "
     "for zelm.test. comes from /etc/zelm-mdns/dnssd-update.conf, or the file ZELM_DNSSD_UPDATE_CONFIG names"),
    ("wide-area", ["resolve", "Missing " + RUN_ID, "_zelmweb._tcp", "--domain", "zelm.test."], "no such name",
     "the DNS server answered that there is no such name (code -65538)"),
]


# The event on this line; the tool's checked against its subcommand's part of the documented schema.
def valid(line, args):
    event = json.loads(line)  # fails on a line that is not JSON
    jsonschema.validate(event, {"$defs": SCHEMA["$defs"], "$ref": "#/$defs/" + args[1]} if args[0] == TOOL else {})
    return event


# The tool run to its end (SIGINT among the arguments: interrupted after 0.5 s), its exit status checked; with
# --json, .events holds its stdout, every line an event valid for the subcommand.
def tool(case, code, *given, **options):
    began, args = time.monotonic(), [TOOL, *(a for a in given if a != "SIGINT")]
    # Under qemu-arm the tool takes longer than 0.5 s to set up its handler.
    delay = "3" if EMULATED else "0.5"
    interrupt = ["timeout", "-s", "INT", "--preserve-status", delay] if "SIGINT" in given else []
    done = subprocess.run(interrupt + args, capture_output=True, text=True, errors="replace", timeout=60, **options)
    done.took = time.monotonic() - began
    case.assertEqual(done.returncode, code, "%s\n--- stdout\n%s--- stderr\n%s" % (args, done.stdout, done.stderr))
    done.events = [valid(line, args) for line in done.stdout.splitlines()] if "--json" in args else None
    return done


# A process that `cleanup` (a test's or a class's) ends and waits for, unless it ended before.
def start(args, cleanup):
    process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, errors="replace")
    cleanup(process.communicate, timeout=15)  # cleanups run last first: terminate, then this
    cleanup(process.terminate)
    return process


def next_event(process, event):
    for line in process.stdout:
        if line.startswith("{") and valid(line, process.args)["event"] == event:
            return json.loads(line)
    raise AssertionError("%s ended without a %r event" % (process.args, event))


def publish(cls, name, service_type, port, *extra):
    args = ["publish", "--name", name, "--type", service_type, "--port", str(port), "--for", "300", *extra]
    return start(PEER + args, cls.addClassCleanup)


def sandbox(*args):  # nothing to do without arguments
    if args:
        subprocess.run([SANDBOX, *args], check=True, capture_output=True, timeout=60)


def check_messages(case, state):
    rows = [(args, expected) for at, args, *expected in MESSAGES if at == state]
    with ThreadPoolExecutor(len(rows)) as pool:
        for (args, expected), done in zip(rows, pool.map(lambda row: tool(case, 1, *row[0], "--json"), rows)):
            (failure,) = done.events  # nothing but the tool's own JSON on stdout
            ending, reason = expected
            said = "%s: %s" % (WHAT[args[0]].format(*args, domain=dict(zip(args, args[1:])).get("--domain", "local.")),
                               reason)
            case.assertEqual((done.stderr, failure["ending"]), ("zelm-mdns: %s\n" % said, ending), args)
            # The same words as on stderr, which may add a hint. Code 0 only for a browse cut off before it processed
            # anything (1 ms), which the schema leaves open, and an interrupted one.
            case.assertTrue(failure["event"] == "failure" and said.startswith(failure["what"] + ": " + failure["reason"])
                            and (failure["code"] != 0 or ending in (NOTHING, "interrupted"))
                            and ("within" in said or ending == "interrupted" or done.took < (4 if EMULATED else 1.5)),
                            (args, failure, done.took))


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
        peers = [publish(cls, cls.NAME, TYPE, 7101, "--txt-hex", cls.TXT_HEX),
                 publish(cls, "Typed 0", cls.TYPES[0], 7200, "--subtype", "_printer"),
                 publish(cls, "Typed 1", cls.TYPES[1], 7201), publish(cls, "Typed 2", cls.TYPES[2], 7202)]
        for peer in peers:
            next_event(peer, "published")

    def test_browse_and_discover_find_the_peer(self):
        found = tool(self, 0, "browse", TYPE, "--timeout", "2500", "--json").events
        (mine,) = [e for e in found if e["event"] == "found" and e["name"] == self.NAME]
        self.assertEqual((found[-1]["event"], mine["type"][:len(TYPE)], mine["interface"] > 0), ("summary", TYPE, True))
        # As text: UTF-8 as it is, columns lined up by display width, TXT entries told apart.
        header, *lines = tool(self, 0, "discover", TYPE, "--timeout", "2500").stdout.splitlines()
        (row,) = [line for line in lines if line.startswith(self.NAME)]
        self.assertEqual((row.index(TYPE), row.endswith(self.TXT_TEXT)), (header.index("TYPE"), True), [header, row])

    def test_resolve_and_lookup_reach_host_port_txt_and_both_addresses(self):
        (event,) = tool(self, 0, "resolve", self.NAME, TYPE, "--json").events
        host = env("ZELM_SANDBOX_HOSTNAME_B") + ".local."
        self.assertEqual((event["event"], event["port"], event["txt_hex"], event["txt"], event["host"]),
                         ("resolved", 7101, self.TXT_HEX, self.TXT_JSON, host))
        self.assertTrue(tool(self, 0, "resolve", self.NAME, TYPE).stdout.endswith(self.TXT_TEXT + "\n"))
        # IPv4 unless asked for IPv6; a link-local address with its zone.
        for flags, family, address in (([], "IPv4", env("ZELM_SANDBOX_ADDR_B")),
                                       (["-6"], "IPv6", env("ZELM_SANDBOX_ADDR6_B") + "%" + env("ZELM_SANDBOX_IF_A"))):
            self.assertEqual(tool(self, 0, "lookup", host, "--json", *flags).events,
                             [{"event": "address", "schema": 1, "host": host, "address": address, "family": family}])

    def test_nothing_found_says_why_on_stderr_only(self):
        check_messages(self, "up")

    # A subtype listed as a type would carry RUN_ID too.
    def test_types_finds_exactly_the_peers_types_and_a_subtype_browse_its_instance(self):
        mine = {(e["type"], e["domain"]) for e in tool(self, 0, "types", "--timeout", "3000", "--json").events
                if RUN_ID in e.get("type", "")}
        self.assertEqual(mine, {(t, "local.") for t in self.TYPES})
        for spelling in ("_printer._sub." + self.TYPES[0], self.TYPES[0] + ",_printer"):
            found = tool(self, 0, "browse", spelling, "--timeout", "2500", "--json").events
            self.assertEqual({e["name"] for e in found if e["event"] == "found"}, {"Typed 0"}, spelling)

    # The peer holds NAME. Four full strings, a key with an empty value and one of 143 bytes: 1175 bytes of wire
    # form, the most taken. The daemon drops a registration whose client is gone, so only the tool's own
    # "withdrawn" tells that it withdrew.
    def test_register_renames_a_taken_name_publishes_the_largest_txt_and_withdraws_on_sigterm(self):
        txt = ["k%d=%s" % (i, "x" * 252) for i in range(4)] + ["empty=", "k4=" + "y" * 140]
        name = self.NAME + " #2"
        registered = start([TOOL, "register", self.NAME, TYPE, "7401", *txt, "--json", "--for", "300"], self.addCleanup)
        event = next_event(registered, "registered")
        self.assertEqual((event["name"], event["confirmed"], event["txt_length"]), (name, True, 1175))
        txt_hex = b"".join(bytes([len(e)]) + e.encode() for e in txt).hex()
        seen = subprocess.run(PEER + ["wait", "--type", TYPE, "--name", name, "--port", "7401", "--txt-hex", txt_hex,
                                      "--timeout", "15"], capture_output=True, text=True, timeout=60)
        self.assertEqual((seen.returncode, json.loads(seen.stdout.splitlines()[-1]).get("host")),
                         (0, env("ZELM_SANDBOX_HOSTNAME_A") + ".local."), seen.stdout)
        registered.send_signal(signal.SIGTERM)
        rest = [valid(line, registered.args) for line in registered.communicate(timeout=15)[0].splitlines()]
        self.assertEqual((registered.returncode, rest[-1]["reason"]), (0, "SIGTERM"), rest)

    # A discover interrupted while browsing still resolves and looks up what it found.
    def test_sigint_ends_a_browse_at_once_with_what_was_found_and_the_summary(self):
        service = {"name": self.NAME, "address": env("ZELM_SANDBOX_ADDR_B"), "port": 7101, "txt": self.TXT_JSON}
        for args, first in ((["browse", TYPE], "found"), (["types"], "type"), (["discover", TYPE], None)):
            process = start([TOOL, *args, "--timeout", "20000", "--json"], self.addCleanup)
            next_event(process, first) if first else time.sleep(2)
            process.send_signal(signal.SIGINT)
            rest = [valid(line, process.args) for line in process.communicate(timeout=1.5)[0].splitlines()]
            self.assertEqual((process.returncode, rest[-1]["interrupted"]), (0, "SIGINT"), rest)
            self.assertTrue(first or any(service.items() <= e.items() for e in rest), rest)

    def test_domains_lists_local_and_the_daemons_browse_domains(self):
        config = "[server]\ndomain-name=local\n#browse-domains=x.test\nbrowse-domains=a.test, b.test.\n"
        for path, domains in (("/dev/stdin", ["local.", "a.test.", "b.test."]), ("/nonexistent", ["local."])):
            found = tool(self, 0, "domains", "--config", path, "--json", input=config).events
            self.assertEqual([e["domain"] for e in found], domains)

    def test_usage_errors_exit_two_help_zero_and_a_missing_plugin_one(self):
        for args, code, said in (
                (["browse"], 2, ""), (["register", "n", "_x._tcp", "99999"], 2, ""), (["lookup", "-4", "-6", "h"], 2, ""),
                (["bogus"], 2, "unknown subcommand 'bogus'; the subcommands are browse, "),
                (["--help"], 0, ""), (["register", "--help"], 0, ""),
                (["lookup", "x.local.", "--plugin", "/nonexistent/libZelmMDNS.so.0"], 1, "cannot load the plug-in")):
            done = tool(self, code, *args)
            self.assertTrue(("Usage:" in done.stdout if code == 0 else done.stdout == "") and said in done.stderr, args)


class ZelmMdnsFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):  # also the row that stopped the peer's mending
        cls.peer = publish(cls, "Doctor Peer " + RUN_ID, TYPE, 7301)
        next_event(cls.peer, "published")

    def test_without_daemon_or_bus_the_tool_says_the_daemon_cannot_be_reached(self):
        self.addCleanup(sandbox, "daemon", "start")  # cleanups run last first: the bus, then the daemon
        self.addCleanup(sandbox, "bus", "start")
        browsing = start([TOOL, "browse", TYPE, "--timeout", "20000", "--json", "--quiet"], self.addCleanup)
        next_event(browsing, "found")
        sandbox("daemon", "stop")
        failure = valid(browsing.communicate(timeout=3)[0].splitlines()[-1], browsing.args)
        self.assertEqual((browsing.returncode, failure["ending"], failure["code"]), (1, "daemon lost", -65563))
        check_messages(self, "daemon stopped")
        sandbox("bus", "stop")
        check_messages(self, "bus gone")

    # Each check's status, healthy and with one thing broken at a time: the network checks cannot run without the
    # daemon or an interface fit for mDNS, skipped, not failed. A spare interface that is down stays in host A
    # throughout: the daemon does not use it. A row's breakage does not need host A to have taken its interface back
    # after the one before; the next row's browse waits for that. Rows that need A's cache free of what it heard
    # restart A's daemon after breaking what they break. The peer's absence goes last, with a service of A's own.
    def test_doctor_turns_exactly_the_broken_line_to_a_failure_with_its_hint(self):
        interface, spare = env("ZELM_SANDBOX_IF_A"), RUN_ID[-8:]
        link = ["exec", "A", "ip", "link", "set", interface]
        sandbox("exec", "A", "ip", "link", "add", "zsp" + spare, "type", "veth", "peer", "name", "zsq" + spare)
        self.addCleanup(sandbox, "exec", "A", "ip", "link", "del", "zsp" + spare)
        restart, impostor, unwall = [["daemon", "stop"], ["daemon", "start"]], [], ["nft", "delete", "table", "inet", "zelm"]
        own = [TOOL, "register", "Own " + RUN_ID, OWN_TYPE, "7302", "--json"]
        checks = ("plug-in", "daemon", "interfaces", "self-test", "peers")
        for breaking, mending, statuses, check, field, said in (
                ([], [], "ok ok ok ok ok", "peers", "detail", "1 service type(s) of other hosts: " + TYPE),
                ([["daemon", "stop"]], [["daemon", "start"]], "ok fail ok skip skip", "daemon", "hint", "start avahi-daemon"),
                ([link + ["multicast", "off"]], [link + ["multicast", "on"]], "ok ok fail skip skip", "interfaces", "hint",
                 "multicast on"),
                ([link + ["down"]], [link + ["up"]], "ok ok fail skip skip", "interfaces", "hint", interface + " up"),
                ([firewall("A", "input")] + restart, [["exec", "A", *unwall]], "ok ok ok fail fail", "self-test", "hint",
                 "does a firewall on this host drop incoming UDP port 5353?"),
                ([firewall("B", "input", "output")] + restart, [["exec", "B", *unwall]], "ok ok ok ok fail", "peers", "hint",
                 "must let UDP port 5353 (mDNS) through"),
                ([lambda: impostor.append(claim_host_name())], [lambda: impostor.pop().communicate("")] + restart,
                 "ok ok ok fail ok", "self-test", "detail", "zelm-a.local. is answered by 198.18.0.99, not by this host"),
                ([], [], "fail skip skip skip skip", "plug-in", "detail", "cannot load the plug-in"),
                ([self.peer.terminate, self.peer.wait, *restart, lambda: next_event(start(own, self.addCleanup), "registered")],
                 [self.setUpClass],
                 "ok ok ok ok fail", "peers", "detail", "no other host's service types seen; this host's own left out: "
                 + OWN_TYPE)):
            try:
                for step in breaking:
                    step() if callable(step) else sandbox(*step)
                plugin = ["--plugin", os.path.abspath(__file__)] if check == "plug-in" else []
                found = tool(self, int("fail" in statuses), "doctor", "--json", *plugin).events
            finally:
                for step in mending:
                    step() if callable(step) else sandbox(*step)
            self.assertEqual([(e["check"], e["status"]) for e in found], list(zip(checks, statuses.split())), said)
            self.assertIn(said, found[checks.index(check)][field], said)


# nft rules in host's namespace that drop mDNS on these hooks.
def firewall(host, *hooks):
    rules = "add table inet zelm\n" + "".join("add chain inet zelm %s { type filter hook %s priority 0; }\n"
                                             "add rule inet zelm %s udp dport 5353 drop\n" % (h, h, h) for h in hooks)
    return ["exec", host, "sh", "-c", "printf '%s' | nft -f -" % rules]


# A second responder on host B that claims host A's name for 198.18.0.99, returned once A's daemon has given way
# (renamed itself, as its log says); it withdraws when its input ends.
IMPOSTOR = """import os, socket, sys
from zeroconf import IPVersion, ServiceInfo, Zeroconf
zc = Zeroconf(interfaces=[os.environ["ZELM_SANDBOX_ADDR_B"]], ip_version=IPVersion.V4Only)
zc.register_service(ServiceInfo("_zelmimp._tcp.local.", "Impostor._zelmimp._tcp.local.", port=9, server=sys.argv[1],
                                addresses=[socket.inet_aton("198.18.0.99")]))
sys.stdin.read()
zc.close()"""


def claim_host_name():
    log = os.path.join(env("ZELM_SANDBOX_DIR"), "avahi-a.log")
    seen = os.path.getsize(log)
    process = subprocess.Popen([SANDBOX, "exec", "B", "/usr/bin/python3", "-c", IMPOSTOR,
                                env("ZELM_SANDBOX_HOSTNAME_A") + ".local."], stdin=subprocess.PIPE, text=True)
    subprocess.run("for i in $(seq 100); do tail -c +%d %s | grep -q 'Host name is ' && exit; sleep 0.1; done; exit 1"
                   % (seen + 1, log), shell=True, check=True)
    return process


# Found lines show the type in its domain; a wide-area report has no interface to show.
class ZelmMdnsWideArea(unittest.TestCase):
    def test_names_outside_local_are_told_apart_and_wide_area_reports_show_no_interface(self):
        check_messages(self, "wide-area")
        *found, _ = tool(self, 0, "browse", "_zelmweb._tcp", "--domain", "zelm.test.", "--timeout", "1500").stdout.splitlines()
        self.assertTrue(found and all(line.startswith('found  "Zelm') and line.endswith('"  _zelmweb._tcp.zelm.test.')
                                      for line in found), found)
        # doctor's wide-area check: the sandbox's key is accepted, no key is refused, no zone is told apart.
        key = dict(os.environ, ZELM_DNSSD_UPDATE_CONFIG=os.path.join(env("ZELM_SANDBOX_DIR"), "dns/dnssd-update.conf"))
        for domain, options, status, said in (("zelm.test.", {"env": key}, "ok", "the DNS server took a signed update"),
                                              ("zelm.test.", {}, "fail", "the DNS server refused the update"),
                                              ("nowhere.test.", {"env": key}, "fail", "no DNS zone holds nowhere.test.")):
            events = tool(self, 1, "doctor", "--json", "--domain", domain, **options).events  # no peers in this sandbox
            (check,) = [e for e in events if e["check"] == "wide-area"]
            self.assertEqual((check["status"], check["detail"][:len(said)]), (status, said), events)


if __name__ == "__main__":
    if not os.environ.get("ZELM_SANDBOX_DIR"):
        print("not inside the sandbox (ZELM_SANDBOX_DIR unset): skipped", file=sys.stderr)
        sys.exit(77)
    TOOL = sys.argv[sys.argv.index("--tool") + 1]
    EMULATED = TOOL.endswith("-emulated")  # under qemu-arm, which starts a process in about a second
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[sys.argv.index("--tool") + 2:])
