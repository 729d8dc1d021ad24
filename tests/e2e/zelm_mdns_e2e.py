#!/usr/bin/python3
"""End-to-end tests of the zelm-mdns program, run on the sandbox's host A
against avahi-daemon there and the independent peer on host B.

Usage: zelm_mdns_e2e.py --tool PATH [--plugin PATH] [unittest arguments]
Exits 77 (skipped) when not run inside the sandbox.
"""

import argparse
import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time
import unittest

PYTHON = "/usr/bin/python3"
TOOL = None
PLUGIN = None
RUN_ID = str(os.getpid())


def sandbox(name):
    return os.environ[name]


def sandbox_script():
    return os.path.join(sandbox("ZELM_SANDBOX_REPO"), "scripts", "sandbox")


def peer_args(*args):
    repo = sandbox("ZELM_SANDBOX_REPO")
    return [sandbox_script(), "exec", "B", PYTHON, os.path.join(repo, "tests", "sandbox", "peer.py")] + list(args)


def wire(*strings):
    data = b""
    for text in strings:
        raw = text.encode() if isinstance(text, str) else text
        data += bytes([len(raw)]) + raw
    return data


class Result:
    def __init__(self, code, stdout, stderr):
        self.code = code
        self.stdout = stdout
        self.stderr = stderr

    def events(self):
        """Every stdout line as JSON; fails on a line that is not."""
        return [json.loads(line) for line in self.stdout.splitlines()]

    def __repr__(self):
        return "exit %s\n--- stdout\n%s--- stderr\n%s" % (self.code, self.stdout, self.stderr)


def tool_args(*args):
    return [TOOL] + list(args) + (["--plugin", PLUGIN] if PLUGIN else [])


def run_tool(*args, timeout=60):
    done = subprocess.run(tool_args(*args), capture_output=True, text=True, errors="replace", timeout=timeout)
    return Result(done.returncode, done.stdout, done.stderr)


class Background:
    """A process whose stdout lines are collected on a thread; stopped by its pid."""

    def __init__(self, args):
        self.args = args
        self.process = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace"
        )
        self.lines = queue.Queue()
        self.stdout = []
        self.stderr = []
        self.pumps = [
            threading.Thread(target=self._pump, args=(self.process.stdout, self.stdout, True), daemon=True),
            threading.Thread(target=self._pump, args=(self.process.stderr, self.stderr, False), daemon=True),
        ]
        for pump in self.pumps:
            pump.start()

    def _pump(self, stream, sink, queued):
        for line in stream:
            sink.append(line)
            if queued:
                self.lines.put(line)
        if queued:
            self.lines.put(None)

    def wait_json(self, event, timeout=20):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                continue
            if line is None:
                break
            if line.startswith("{") and json.loads(line).get("event") == event:
                return json.loads(line)
        raise AssertionError("%s: no %r event; stdout:\n%s\nstderr:\n%s" % (
            self.args[0], event, "".join(self.stdout), "".join(self.stderr)))

    def stop(self, sig=signal.SIGTERM, timeout=15):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            code = self.process.wait(timeout)
            for pump in self.pumps:
                pump.join(timeout)
            return code
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("%s did not end after signal %d" % (self.args[0], sig))


class Peer(Background):
    def __init__(self, name, service_type, port, *txt_args):
        # --for: the peer ends by itself should this script die without stopping it.
        super().__init__(peer_args("publish", "--name", name, "--type", service_type, "--port", str(port),
                                   "--for", "300", *txt_args))
        self.published = self.wait_json("published")


def peer_wait(*args, timeout=40):
    done = subprocess.run(peer_args("wait", *args), capture_output=True, text=True, timeout=timeout)
    return done.returncode, [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


class ZelmMdnsTest(unittest.TestCase):
    peers = []

    @classmethod
    def publish(cls, *args):
        peer = Peer(*args)
        cls.peers.append(peer)
        return peer

    @classmethod
    def tearDownClass(cls):
        for peer in cls.peers:
            peer.stop()
        cls.peers = []

    def assertExit(self, result, code):
        self.assertEqual(result.code, code, repr(result))


class Browse(ZelmMdnsTest):
    TYPE = "_zelmbrowse._tcp"

    @classmethod
    def setUpClass(cls):
        cls.names = ["Browse One " + RUN_ID, "Browse Two " + RUN_ID]
        for port, name in enumerate(cls.names, start=7101):
            cls.publish(name, cls.TYPE, port)

    def test_json_lists_each_instance_then_a_summary(self):
        result = run_tool("browse", self.TYPE, "--timeout", "2500", "--json")
        self.assertExit(result, 0)
        events = result.events()
        found = {e["name"] for e in events if e["event"] == "found"}
        self.assertTrue(set(self.names) <= found, repr(result))
        for event in events[:-1]:
            self.assertEqual(event["event"], "found")
            self.assertTrue(event["type"].startswith(self.TYPE), event)
            self.assertGreater(event["interface"], 0)
        summary = events[-1]
        self.assertEqual(summary["event"], "summary")
        self.assertGreaterEqual(summary["instances"], 2)
        self.assertEqual(summary["type"], self.TYPE)

    def test_text_output_names_instances_and_counts_them(self):
        result = run_tool("browse", self.TYPE, "--timeout", "2000", "--domain", "local.")
        self.assertExit(result, 0)
        for name in self.names:
            self.assertIn('"%s"' % name, result.stdout)
        self.assertRegex(result.stdout.splitlines()[-1], r"^\d+ instance\(s\) of %s " % self.TYPE)

    def test_nothing_found_is_exit_one_with_the_reason_on_stderr(self):
        result = run_tool("browse", "_zelmnone%s._tcp" % RUN_ID, "--timeout", "1000", "--json")
        self.assertExit(result, 1)
        events = result.events()
        self.assertEqual([e["event"] for e in events], ["summary"])
        self.assertEqual(events[0]["instances"], 0)
        self.assertIn("no instances of _zelmnone", result.stderr)


class Resolve(ZelmMdnsTest):
    TYPE = "_zelmresolve._tcp"
    TXT = wire("path=/x y", "flag", b"bin=\x00\xff", "path=second")

    @classmethod
    def setUpClass(cls):
        cls.name = "Resolve Me " + RUN_ID
        cls.publish(cls.name, cls.TYPE, 7201, "--txt-hex", cls.TXT.hex())

    def test_json_has_host_port_and_txt_decoded_with_raw_bytes(self):
        result = run_tool("resolve", self.name, self.TYPE, "--json")
        self.assertExit(result, 0)
        (event,) = result.events()
        self.assertEqual(event["event"], "resolved")
        self.assertEqual(event["port"], 7201)
        self.assertEqual(event["host"].rstrip("."), sandbox("ZELM_SANDBOX_HOSTNAME_B") + ".local")
        self.assertEqual(event["txt_hex"], self.TXT.hex())
        self.assertEqual(event["txt_length"], len(self.TXT))
        self.assertEqual(event["txt"], {"path": "/x y", "flag": True, "bin": "\\x00\\xff"})
        self.assertIn(self.TYPE, event["fullname"])

    def test_text_lists_every_entry_escaped(self):
        result = run_tool("resolve", self.name, self.TYPE, "--domain", "local.")
        self.assertExit(result, 0)
        lines = [line.strip() for line in result.stdout.splitlines()]
        self.assertIn("port:     7201", lines)
        self.assertIn("txt:      4 entries, %d bytes" % len(self.TXT), lines)
        for entry in ["path=/x y", "flag", "bin=\\x00\\xff", "path=second"]:
            self.assertIn(entry, lines)

    def test_unknown_instance_fails_with_the_code_on_stderr(self):
        started = time.monotonic()
        result = run_tool("resolve", "Nobody " + RUN_ID, self.TYPE, "--json")
        self.assertExit(result, 1)
        self.assertLess(time.monotonic() - started, 15)
        (event,) = result.events()
        self.assertEqual(event["event"], "unresolved")
        self.assertIsInstance(event["code"], int)
        self.assertIn("cannot resolve", result.stderr)
        self.assertIn("code -", result.stderr)


class Lookup(ZelmMdnsTest):
    @classmethod
    def setUpClass(cls):
        # The peer answers for its host name while it publishes something.
        cls.publish("Lookup Anchor " + RUN_ID, "_zelmlookup._tcp", 7301)
        cls.host = sandbox("ZELM_SANDBOX_HOSTNAME_B") + ".local."

    def test_ipv4_address_as_text_and_json(self):
        result = run_tool("lookup", self.host, "-4", "--json")
        self.assertExit(result, 0)
        self.assertEqual(result.events(), [
            {"event": "address", "host": self.host, "address": sandbox("ZELM_SANDBOX_ADDR_B"), "family": "IPv4"}])
        text = run_tool("lookup", self.host, "-4")
        self.assertExit(text, 0)
        self.assertEqual(text.stdout, "%s  %s\n" % (self.host, sandbox("ZELM_SANDBOX_ADDR_B")))

    def test_ipv6_address_is_the_link_local_one(self):
        result = run_tool("lookup", "-6", self.host, "--json")
        self.assertExit(result, 0)
        (event,) = result.events()
        self.assertEqual(event["family"], "IPv6")
        self.assertEqual(event["address"], sandbox("ZELM_SANDBOX_ADDR6_B"))

    def test_unknown_host_keeps_the_plugins_diagnostics_off_stdout(self):
        host = "nohost-%s.local." % RUN_ID
        result = run_tool("lookup", host, "--json")
        self.assertExit(result, 1)
        (event,) = result.events()  # nothing but the tool's own JSON on stdout
        self.assertEqual((event["event"], event["host"]), ("unresolved", host))
        self.assertIn("zelm-mdns: no address found for " + host, result.stderr)
        plugin_lines = [line for line in result.stderr.splitlines() if not line.startswith("zelm-mdns:")]
        self.assertTrue(plugin_lines, "the plug-in wrote no diagnostic line: " + repr(result))
        for line in plugin_lines:
            self.assertNotIn(line, result.stdout)

        plain = run_tool("lookup", host)
        self.assertExit(plain, 1)
        self.assertEqual(plain.stdout, "")
        quiet = run_tool("lookup", host, "--quiet")
        self.assertExit(quiet, 1)
        self.assertTrue(quiet.stderr.startswith("zelm-mdns: no address found for " + host), repr(quiet))
        self.assertEqual(len(quiet.stderr.splitlines()), 1, repr(quiet))


class Register(ZelmMdnsTest):
    TYPE = "_zelmreg._tcp"

    def test_registered_until_sigterm_then_withdrawn(self):
        name = "Reg Term " + RUN_ID
        tool = Background(tool_args("register", name, self.TYPE, "7401", "a=1", "mode=fast", "--json", "--for", "300"))
        try:
            event = tool.wait_json("registered")
            self.assertEqual(event["name"], name)
            self.assertTrue(event["confirmed"])
            code, seen = peer_wait("--type", self.TYPE, "--name", name, "--port", "7401", "--timeout", "15")
            self.assertEqual(code, 0, seen)
            self.assertTrue(seen[0]["txt_hex"].startswith(wire("a=1", "mode=fast").hex()), seen)
            self.assertEqual(seen[0]["host"].rstrip("."), sandbox("ZELM_SANDBOX_HOSTNAME_A") + ".local")
        finally:
            code = tool.stop(signal.SIGTERM)
        self.assertEqual(code, 0, "".join(tool.stderr))
        withdrawn = [json.loads(line) for line in tool.stdout][-1]
        self.assertEqual((withdrawn["event"], withdrawn["reason"]), ("withdrawn", "SIGTERM"))
        code, seen = peer_wait("--type", self.TYPE, "--name", name, "--gone", "--timeout", "15")
        self.assertEqual(code, 0, seen)

    def test_time_limit_ends_the_registration_by_itself(self):
        name = "Reg Timed " + RUN_ID
        started = time.monotonic()
        result = run_tool("register", name, self.TYPE, "7402", "--for", "1", "--confirm-timeout", "0")
        self.assertExit(result, 0)
        self.assertLess(time.monotonic() - started, 15)
        self.assertEqual(result.stdout.splitlines(), [
            'registered "%s" %s port 7402 (name not confirmed by browsing)' % (name, self.TYPE),
            'withdrawn "%s" (time limit)' % name])

    def test_name_taken_by_the_peer_is_reported_as_the_confirmed_new_name(self):
        name = "Reg Taken " + RUN_ID
        self.publish(name, self.TYPE, 7403)
        result = run_tool("register", name, self.TYPE, "7404", "who=tool", "--for", "0.5", "--json")
        self.assertExit(result, 0)
        registered = result.events()[0]
        self.assertEqual(registered["event"], "registered")
        self.assertTrue(registered["confirmed"], repr(result))
        self.assertNotEqual(registered["name"], name)
        self.assertTrue(registered["name"].startswith(name), registered)


class Discover(ZelmMdnsTest):
    WEB = "_zelmweb._tcp"
    PRINT = "_zelmprint._tcp"

    @classmethod
    def setUpClass(cls):
        cls.web = "Disc Web " + RUN_ID
        cls.printer = "Disc Printer " + RUN_ID
        cls.own = "Disc Own " + RUN_ID
        cls.publish(cls.web, cls.WEB, 7501, "--txt", "path=/", "--txt", "v=2")
        cls.publish(cls.printer, cls.PRINT, 7502, "--txt", "rp=queue", "--txt", "color")
        cls.registered = Background(tool_args("register", cls.own, cls.WEB, "7503", "who=a", "--json", "--for", "300"))
        cls.registered.wait_json("registered")

    @classmethod
    def tearDownClass(cls):
        cls.registered.stop()
        super().tearDownClass()

    def test_json_has_one_complete_row_per_service(self):
        result = run_tool("discover", self.WEB, self.PRINT, "--timeout", "2500", "--json")
        self.assertExit(result, 0)
        events = result.events()
        rows = {e["name"]: e for e in events if e["event"] == "service"}
        for name in (self.web, self.printer, self.own):
            self.assertIn(name, rows, repr(result))
            self.assertNotIn("problem", rows[name])
        self.assertEqual(rows[self.web]["address"], sandbox("ZELM_SANDBOX_ADDR_B"))
        self.assertEqual((rows[self.web]["port"], rows[self.web]["txt"]), (7501, "path=/ v=2"))
        self.assertEqual((rows[self.printer]["port"], rows[self.printer]["txt"]), (7502, "rp=queue color"))
        self.assertEqual(rows[self.own]["address"], sandbox("ZELM_SANDBOX_ADDR_A"))
        self.assertEqual(rows[self.own]["port"], 7503)
        self.assertEqual(events[-1]["event"], "summary")
        self.assertEqual(events[-1]["services"], len(rows))

    def test_text_table_lists_the_services(self):
        result = run_tool("discover", self.PRINT, "--timeout", "2000", "-4")
        self.assertExit(result, 0)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[0].startswith("NAME"), repr(result))
        row = [line for line in lines if line.startswith(self.printer)]
        self.assertEqual(len(row), 1, repr(result))
        self.assertIn(sandbox("ZELM_SANDBOX_ADDR_B"), row[0])
        self.assertIn("rp=queue color", row[0])

    def test_nothing_found_is_exit_one(self):
        result = run_tool("discover", "_zelmnone%s._tcp" % RUN_ID, "--timeout", "800")
        self.assertExit(result, 1)
        self.assertEqual(result.stdout, "")
        self.assertIn("no services found", result.stderr)


class Usage(unittest.TestCase):
    def test_usage_errors_exit_two_and_help_exits_zero(self):
        for args in (["browse"], ["bogus"], ["register", "n", "_x._tcp", "99999"], ["lookup", "-4", "-6", "h"]):
            done = subprocess.run([TOOL] + args, capture_output=True, text=True)
            self.assertEqual(done.returncode, 2, (args, done.stderr))
            self.assertEqual(done.stdout, "")
        for args in (["--help"], ["register", "--help"]):
            done = subprocess.run([TOOL] + args, capture_output=True, text=True)
            self.assertEqual(done.returncode, 0)
            self.assertIn("Usage:", done.stdout)

    def test_missing_plugin_is_reported(self):
        done = subprocess.run([TOOL, "lookup", "x.local.", "--plugin", "/nonexistent/libZelmMDNS.so.0"],
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 1)
        self.assertIn("cannot load the plug-in", done.stderr)
        self.assertEqual(done.stdout, "")


class DaemonDown(ZelmMdnsTest):
    """Runs last: it stops avahi-daemon on A for a moment."""

    def test_operations_say_that_no_daemon_runs(self):
        subprocess.run([sandbox_script(), "daemon", "stop"], check=True, timeout=30)
        try:
            lookup = run_tool("lookup", "anything.local.")
            browse = run_tool("browse", "_zelmweb._tcp", "--timeout", "500")
        finally:
            subprocess.run([sandbox_script(), "daemon", "start"], check=True, timeout=60)
        self.assertExit(lookup, 1)
        self.assertIn("is the DNS-SD daemon running?", lookup.stderr)
        self.assertExit(browse, 1)
        self.assertIn("is the DNS-SD daemon running?", browse.stderr)


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
    loader = unittest.TestLoader()
    # Keep the daemon-stopping case last.
    suite = unittest.TestSuite()
    for case in (Usage, Browse, Resolve, Lookup, Register, Discover, DaemonDown):
        suite.addTests(loader.loadTestsFromTestCase(case))
    if rest:
        suite = unittest.defaultTestLoader.loadTestsFromNames(rest, sys.modules[__name__])
    outcome = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if outcome.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
