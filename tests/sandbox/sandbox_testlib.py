"""Helpers of the sandbox's own tests: run the peer on host B, drive
avahi-utils on host A, and read their output back as bytes-exact records.

The tests run on host A through scripts/sandbox exec A, so the sandbox's
variables are in the environment.
"""

import json
import os
import queue
import re
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SANDBOX = os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts", "sandbox")
PEER = os.path.join(HERE, "peer.py")
PYTHON = "/usr/bin/python3"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def env(name):
    value = os.environ.get(name)
    check(value, "%s is not set: run this test through scripts/sandbox exec A" % name)
    return value


def run(args, timeout=30):
    """Runs a command to its end; returns (exit code, stdout, stderr)."""
    done = subprocess.run(args, capture_output=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


class Background:
    """A process whose output lines are read on a thread, so the test can
    wait for one with a bound and stop the process by its pid."""

    def __init__(self, args):
        self.args = args
        self.process = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT
        )
        self.lines = queue.Queue()
        self.transcript = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.transcript.append(line)
            self.lines.put(line)
        self.lines.put(None)

    def wait_line(self, predicate, timeout):
        end = time.monotonic() + timeout
        while True:
            remaining = end - time.monotonic()
            if remaining <= 0:
                raise Failure(
                    "%s: no expected line within %.0f s; output:\n%s" % (self.args[0], timeout, self.output())
                )
            try:
                line = self.lines.get(timeout=remaining)
            except queue.Empty:
                continue
            if line is None:
                raise Failure("%s ended early (%s); output:\n%s" % (self.args[0], self.process.wait(), self.output()))
            if predicate(line):
                return line

    def stop(self, timeout=10):
        """SIGTERM to the recorded pid; returns the exit code."""
        if self.process.poll() is None:
            self.process.terminate()
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise Failure("%s ignored SIGTERM" % self.args[0])

    def output(self):
        return "\n".join(self.transcript)


def peer_args(*args):
    return [SANDBOX, "exec", "B", PYTHON, PEER] + list(args)


def json_events(text):
    return [json.loads(line) for line in text.decode().splitlines() if line.startswith("{")]


def is_event(line, event):
    return line.startswith("{") and json.loads(line).get("event") == event


class PeerProcess(Background):
    """A peer.py command on host B, started through a nested exec."""

    def __init__(self, command, *args):
        super().__init__(peer_args(command, *args))

    def wait_event(self, event, timeout=15):
        return json.loads(self.wait_line(lambda line: is_event(line, event), timeout))


class Peer(PeerProcess):
    """peer.py publish on host B."""

    def __init__(self, *args):
        super().__init__("publish", *args)


def peer_wait(*args, timeout=30):
    """peer.py wait on host B: (exit code, its JSON lines)."""
    code, out, err = run(peer_args("wait", *args), timeout)
    sys.stderr.write(err.decode("utf-8", "replace"))
    return code, json_events(out)


# avahi-browse -p escapes a name's dots and backslashes with a backslash and
# other bytes outside printable ASCII as \DDD (decimal); TXT strings come
# quoted, with \" and \\ and the same \DDD form.
_ESCAPE = re.compile(rb"\\(\d{3}|.)", re.S)


def _unescape(data):
    return _ESCAPE.sub(lambda m: bytes([int(m.group(1))]) if len(m.group(1)) == 3 else m.group(1), data)


def _txt_wire(field):
    strings = re.findall(rb'"((?:[^"\\]|\\.)*)"', field, re.S)
    # avahi-browse lists the strings last to first.
    wire = b""
    for string in reversed(strings):
        data = _unescape(string)
        wire += bytes([len(data)]) + data
    return wire


def avahi_browse(service_type):
    """Resolved IPv4 instances of a type as seen by avahi-daemon on A:
    {name: dict(host, address, port, txt)} with txt as wire bytes."""
    code, out, err = run(["avahi-browse", "--resolve", "--terminate", "--parsable", "--no-db-lookup", service_type])
    check(code == 0, "avahi-browse failed (%d): %s" % (code, err.decode()))
    found = {}
    for line in out.split(b"\n"):
        fields = line.split(b";", 9)
        if len(fields) != 10 or fields[0] != b"=" or fields[2] != b"IPv4":
            continue
        name = _unescape(fields[3]).decode("utf-8")
        found[name] = dict(
            host=fields[6].decode(), address=fields[7].decode(), port=int(fields[8]), txt=_txt_wire(fields[9])
        )
    return found


def poll(probe, timeout, interval=0.5):
    """Calls probe until it returns something true; returns that or None."""
    end = time.monotonic() + timeout
    while True:
        result = probe()
        if result or time.monotonic() >= end:
            return result
        time.sleep(interval)


def main(test):
    """Runs one test function; a Failure is reported and exits 1."""
    try:
        test()
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        sys.exit(1)
    print("ok")
