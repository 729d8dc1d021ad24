#!/usr/bin/python3
# End-to-end tests of the zelm-mdns program, run on the sandbox's host A
# against avahi-daemon there and the independent peer on host B.
# Usage: zelm_mdns_e2e.py --tool PATH [unittest arguments]. Exits 77 (skipped)
# outside the sandbox.

import json
import os
import signal
import subprocess
import sys
import unittest

TOOL = None
RUN_ID = str(os.getpid())
TYPE = "_zelme2e._tcp"
NONE_TYPE = "_zelmnone%s._tcp" % RUN_ID
env = os.environ.__getitem__
PEER = [os.path.join(os.environ.get("ZELM_SANDBOX_REPO", ""), "scripts", "sandbox"), "exec", "B", "/usr/bin/python3",
        os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "integration", "peer.py")]


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


class ZelmMdns(unittest.TestCase):
    NAME = "Zelm E2E " + RUN_ID
    TXT_HEX = "09706174683d2f78207904666c61670662696e3d00ff"  # "path=/x y", "flag", "bin=" 00 ff

    @classmethod
    def setUpClass(cls):
        cls.peer = start(PEER + ["publish", "--name", cls.NAME, "--type", TYPE, "--port", "7101",
                                 "--txt-hex", cls.TXT_HEX, "--for", "300"])
        cls.addClassCleanup(cls.peer.communicate, timeout=15)  # cleanups run last first: terminate, then this
        cls.addClassCleanup(cls.peer.terminate)
        next_event(cls.peer, "published")

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
        self.assertTrue(rows[self.NAME]["txt"].startswith("path=/x y flag"), rows)

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

    def test_nothing_found_exits_one_with_the_reason_on_stderr_only(self):
        nohost = "nohost-%s.local." % RUN_ID
        for args, reason in ((["browse", NONE_TYPE, "--timeout", "1000"], "no instances of"),
                             (["resolve", "Nobody " + RUN_ID, TYPE], "cannot resolve"),
                             (["discover", NONE_TYPE, "--timeout", "800"], "no services found"),
                             (["lookup", nohost], "zelm-mdns: no address found for " + nohost)):
            done = self.tool(1, *args, "--json")
            self.assertIn(reason, done.stderr)
            self.assertEqual(len(events(done)), 1)  # nothing but the tool's own JSON on stdout
        # The plug-in's own diagnostics go to stderr (stdout held only the JSON line above).
        self.assertTrue([line for line in done.stderr.splitlines() if not line.startswith("zelm-mdns:")],
                        "the plug-in wrote no diagnostic line: " + done.stderr)

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


if __name__ == "__main__":
    if not os.environ.get("ZELM_SANDBOX_DIR"):
        print("not inside the sandbox (ZELM_SANDBOX_DIR unset): skipped", file=sys.stderr)
        sys.exit(77)
    TOOL = sys.argv[sys.argv.index("--tool") + 1]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[sys.argv.index("--tool") + 2:])
