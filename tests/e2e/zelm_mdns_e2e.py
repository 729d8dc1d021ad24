#!/usr/bin/python3
"""End-to-end tests of the zelm-mdns program, run on the sandbox's host A
against avahi-daemon there and the independent peer on host B.

Usage: zelm_mdns_e2e.py --tool PATH [--plugin PATH] [unittest arguments]
Exits 77 (skipped) when not run inside the sandbox.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import unittest

TOOL = PLUGIN = None
RUN_ID = str(os.getpid())
TYPE = "_zelme2e._tcp"
NONE_TYPE = "_zelmnone%s._tcp" % RUN_ID
env = os.environ.__getitem__


def peer(*args):
    repo = env("ZELM_SANDBOX_REPO")
    return [os.path.join(repo, "scripts", "sandbox"), "exec", "B", "/usr/bin/python3",
            os.path.join(repo, "tests", "sandbox", "peer.py")] + list(args)


def tool(*args):
    return [TOOL] + list(args) + (["--plugin", PLUGIN] if PLUGIN else [])


def run(args, timeout=60):
    return subprocess.run(args, capture_output=True, text=True, errors="replace", timeout=timeout)


def events(done):
    """Every stdout line as JSON; fails on a line that is not."""
    return [json.loads(line) for line in done.stdout.splitlines()]


def wire(*strings):
    return b"".join(bytes([len(s)]) + s for s in strings)


def start(args):
    # stderr goes to the test's log; the process ends by itself (--for) should this script die.
    return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, errors="replace")


def next_event(process, event):
    for line in process.stdout:
        if line.startswith("{") and json.loads(line)["event"] == event:
            return json.loads(line)
    raise AssertionError("%s ended without a %r event" % (process.args, event))


class ZelmMdns(unittest.TestCase):
    NAME = "Zelm E2E " + RUN_ID
    TXT = wire(b"path=/x y", b"flag", b"bin=\x00\xff")

    @classmethod
    def setUpClass(cls):
        cls.peer = start(peer("publish", "--name", cls.NAME, "--type", TYPE, "--port", "7101",
                              "--txt-hex", cls.TXT.hex(), "--for", "300"))
        next_event(cls.peer, "published")

    @classmethod
    def tearDownClass(cls):
        cls.peer.terminate()
        cls.peer.communicate(timeout=15)

    def tool(self, code, *args):
        done = run(tool(*args))
        self.assertEqual(done.returncode, code, "%s\n--- stdout\n%s--- stderr\n%s" % (args, done.stdout, done.stderr))
        return done

    def test_browse_json(self):
        found = events(self.tool(0, "browse", TYPE, "--timeout", "2500", "--json"))
        summary = found.pop()
        self.assertEqual((summary["event"], summary["type"]), ("summary", TYPE))
        self.assertGreaterEqual(summary["instances"], 1)
        mine = [e for e in found if e["event"] == "found" and e["name"] == self.NAME]
        self.assertEqual(len(mine), 1, found)
        self.assertTrue(mine[0]["type"].startswith(TYPE) and mine[0]["interface"] > 0, mine)

    def test_resolve_json_has_host_port_and_txt_with_raw_bytes(self):
        (event,) = events(self.tool(0, "resolve", self.NAME, TYPE, "--json"))
        self.assertEqual(event["event"], "resolved")
        self.assertEqual((event["port"], event["txt_hex"], event["txt_length"]), (7101, self.TXT.hex(), len(self.TXT)))
        self.assertEqual(event["host"].rstrip("."), env("ZELM_SANDBOX_HOSTNAME_B") + ".local")
        self.assertEqual(event["txt"], {"path": "/x y", "flag": True, "bin": "\\x00\\xff"})
        self.assertIn(TYPE, event["fullname"])

    def test_lookup_json_over_ipv4_and_ipv6(self):
        host = env("ZELM_SANDBOX_HOSTNAME_B") + ".local."
        for flag, family, address in (("-4", "IPv4", env("ZELM_SANDBOX_ADDR_B")),
                                      ("-6", "IPv6", env("ZELM_SANDBOX_ADDR6_B"))):
            self.assertEqual(events(self.tool(0, "lookup", host, flag, "--json")),
                             [{"event": "address", "host": host, "address": address, "family": family}])

    def test_discover_json_has_a_complete_row(self):
        found = events(self.tool(0, "discover", TYPE, "--timeout", "2500", "--json"))
        rows = {e["name"]: e for e in found if e["event"] == "service"}
        mine = rows[self.NAME]
        self.assertEqual((mine["address"], mine["port"]), (env("ZELM_SANDBOX_ADDR_B"), 7101))
        self.assertTrue(mine["txt"].startswith("path=/x y flag"), mine)
        self.assertNotIn("problem", mine)
        self.assertEqual(found[-1]["event"], "summary")
        self.assertEqual(found[-1]["services"], len(rows))

    def test_nothing_found_exits_one_with_the_reason_on_stderr_only(self):
        nohost = "nohost-%s.local." % RUN_ID
        for args, reason, event in ((["browse", NONE_TYPE, "--timeout", "1000"], "no instances of", "summary"),
                                    (["resolve", "Nobody " + RUN_ID, TYPE], "cannot resolve", "unresolved"),
                                    (["discover", NONE_TYPE, "--timeout", "800"], "no services found", "summary"),
                                    (["lookup", nohost], "zelm-mdns: no address found for " + nohost, "unresolved")):
            done = self.tool(1, *args, "--json")
            self.assertIn(reason, done.stderr)
            (last,) = events(done)  # nothing but the tool's own JSON on stdout
            self.assertEqual(last["event"], event)
            self.assertEqual(last.get("instances", last.get("services", 0)), 0)
        self.assertIsInstance(last["code"], int)
        # The plug-in's own diagnostics go to stderr, never to stdout.
        plugin_lines = [line for line in done.stderr.splitlines() if not line.startswith("zelm-mdns:")]
        self.assertTrue(plugin_lines, "the plug-in wrote no diagnostic line: " + done.stderr)
        for line in plugin_lines:
            self.assertNotIn(line, done.stdout)
        self.assertEqual(self.tool(1, "lookup", nohost).stdout, "")

    def test_register_until_sigterm_then_withdrawn(self):
        name = "Zelm Reg " + RUN_ID
        registered = start(tool("register", name, TYPE, "7401", "a=1", "mode=fast", "--json", "--for", "300"))
        try:
            event = next_event(registered, "registered")
            self.assertEqual((event["name"], event["confirmed"]), (name, True))
            seen = run(peer("wait", "--type", TYPE, "--name", name, "--port", "7401", "--timeout", "15"))
            self.assertEqual(seen.returncode, 0, seen.stdout)
            found = json.loads(seen.stdout.splitlines()[-1])
            self.assertTrue(found["txt_hex"].startswith(wire(b"a=1", b"mode=fast").hex()), found)
            self.assertEqual(found["host"].rstrip("."), env("ZELM_SANDBOX_HOSTNAME_A") + ".local")
        finally:
            registered.send_signal(signal.SIGTERM)
            rest = registered.communicate(timeout=15)[0]
        self.assertEqual(registered.returncode, 0)
        withdrawn = json.loads(rest.splitlines()[-1])
        self.assertEqual((withdrawn["event"], withdrawn["reason"]), ("withdrawn", "SIGTERM"))
        gone = run(peer("wait", "--type", TYPE, "--name", name, "--gone", "--timeout", "15"))
        self.assertEqual(gone.returncode, 0, gone.stdout)

    def test_usage_errors_exit_two_help_zero_and_a_missing_plugin_one(self):
        for args, code in ((["browse"], 2), (["bogus"], 2), (["register", "n", "_x._tcp", "99999"], 2),
                           (["lookup", "-4", "-6", "h"], 2), (["--help"], 0), (["register", "--help"], 0)):
            done = run([TOOL] + args)
            self.assertEqual(done.returncode, code, (args, done.stderr))
            self.assertEqual("Usage:" in done.stdout, code == 0, (args, done.stdout))
        done = run([TOOL, "lookup", "x.local.", "--plugin", "/nonexistent/libZelmMDNS.so.0"])
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertIn("cannot load the plug-in", done.stderr)


def main():
    global TOOL, PLUGIN
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--plugin")
    args, rest = parser.parse_known_args()
    TOOL, PLUGIN = args.tool, args.plugin
    if not os.environ.get("ZELM_SANDBOX_DIR"):
        print("not inside the sandbox (ZELM_SANDBOX_DIR unset): skipped", file=sys.stderr)
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
