#!/usr/bin/python3
"""The sandbox's own tests, run on host A through scripts/sandbox exec A.
Usage: peer_and_avahi.py peer_seen_from_a|avahi_seen_from_b"""

import json
import os
import re
import select
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SANDBOX = os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts", "sandbox")
TYPE = "_zelmtest._tcp"
env = os.environ.__getitem__


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wire(*strings):
    return b"".join(bytes([len(s)]) + s for s in strings)


def peer(*args):
    return [SANDBOX, "exec", "B", "/usr/bin/python3", os.path.join(HERE, "peer.py")] + list(args)


def start(args):
    # Unbuffered, so that select() sees every line that is not read yet.
    return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            bufsize=0)


def wait_line(process, predicate, timeout=15):
    end = time.monotonic() + timeout
    while select.select([process.stdout], [], [], max(0, end - time.monotonic()))[0]:
        line = process.stdout.readline()
        if not line:
            break
        if predicate(line):
            return line
    raise Failure("%s: no expected line within %d s" % (process.args, timeout))


def wait_event(process, event):
    return json.loads(wait_line(process, lambda line: line.startswith(b"{") and json.loads(line)["event"] == event))


def stop(process):
    """SIGTERM to the recorded pid; returns the exit code."""
    if process.poll() is None:
        process.terminate()
    return process.wait(10)


def poll(probe, timeout, interval=0.5):
    """Calls probe until it returns something true; returns that or None."""
    end = time.monotonic() + timeout
    while not (result := probe()) and time.monotonic() < end:
        time.sleep(interval)
    return result


# avahi-browse -p escapes a name's dots and backslashes with a backslash and
# other bytes outside printable ASCII as \DDD (decimal); TXT strings come
# quoted, last to first, with \" and \\ and the same \DDD form.
def unescape(data):
    return re.sub(rb"\\(\d{3}|.)", lambda m: bytes([int(m[1])]) if len(m[1]) == 3 else m[1], data, flags=re.S)


def avahi_browse():
    """Resolved IPv4 instances as avahi-daemon on A sees them, TXT as wire bytes."""
    out = subprocess.run(["avahi-browse", "-rtpk", TYPE], capture_output=True, timeout=30, check=True).stdout
    found = {}
    for fields in (line.split(b";", 9) for line in out.split(b"\n")):
        if len(fields) == 10 and fields[0] == b"=" and fields[2] == b"IPv4":
            strings = [unescape(s) for s in re.findall(rb'"((?:[^"\\]|\\.)*)"', fields[9], re.S)]
            found[unescape(fields[3]).decode()] = dict(host=fields[6].decode(), address=fields[7].decode(),
                                                       port=int(fields[8]), txt=wire(*reversed(strings)))
    return found


def resolve(flag, name):
    fields = subprocess.run(["avahi-resolve", flag, "--name", name], capture_output=True, timeout=30).stdout.split()
    return fields[1].decode() if len(fields) == 2 and fields[0].decode() == name else None


# The peer on B publishes; avahi-daemon on A sees host, address, port and the
# exact TXT bytes, and resolves the peer's host name over IPv4 and IPv6 until
# the peer withdraws.
def peer_seen_from_a():
    # Spaces, '=' in a value, a bare key, bytes that are not UTF-8, a quote and a backslash.
    txt = wire(b"path=/a b", b"flag", b"k=v=w", b"a=\x00\xff\"", b"b=\\\"")
    host = env("ZELM_SANDBOX_HOSTNAME_B") + ".local"
    publisher = start(peer("publish", "--name", "Zelm Peer", "--type", TYPE, "--port", "8123",
                           "--txt-hex", txt.hex(), "--for", "60"))
    try:
        check(wait_event(publisher, "published")["txt_hex"] == txt.hex(), "peer reports another TXT")
        seen = poll(lambda: avahi_browse().get("Zelm Peer"), 10)
        check(seen == dict(host=host, address=env("ZELM_SANDBOX_ADDR_B"), port=8123, txt=txt),
              "avahi on A sees %r" % seen)
        for flag, address in (("-4", env("ZELM_SANDBOX_ADDR_B")), ("-6", env("ZELM_SANDBOX_ADDR6_B"))):
            check(resolve(flag, host) == address, "%s %s resolves as %r" % (flag, host, resolve(flag, host)))
        check(stop(publisher) == 0, "peer exit code after SIGTERM")
        # Goodbye packets flush the instance and the address records from avahi's cache.
        check(poll(lambda: "Zelm Peer" not in avahi_browse(), 10), "avahi on A still sees the instance")
        check(poll(lambda: resolve("-4", host) is None, 15, 0), "%s still resolves after withdrawal" % host)
    finally:
        stop(publisher)


# avahi-publish on A advertises; the peer on B sees it with exact port and TXT
# bytes, and sees it go.
def avahi_seen_from_b():
    name = "Zelm From A"
    strings = [b"k=v", b"x=y z", b"bare"]
    publisher = start(["avahi-publish", "-s", name, TYPE, "8125"] + strings)
    watcher = None
    try:
        wait_line(publisher, lambda line: line.startswith(b"Established under name"))
        found = subprocess.run(peer("wait", "--type", TYPE, "--name", name, "--port", "8125",
                                    "--txt-hex", wire(*strings).hex()), capture_output=True, timeout=30)
        check(found.returncode == 0, "peer did not see %r with port and TXT: %s" % (name, found.stdout))
        record = json.loads(found.stdout.splitlines()[-1])
        check(record["host"] == env("ZELM_SANDBOX_HOSTNAME_A") + ".local.", "host: %r" % record)
        check({env("ZELM_SANDBOX_ADDR_A"), env("ZELM_SANDBOX_ADDR6_A")} <= set(record["addresses"]), record)
        # Stopped only once the waiting peer has seen it, so it must see it go.
        watcher = start(peer("wait", "--type", TYPE, "--name", name, "--gone", "--timeout", "20"))
        wait_event(watcher, "present")
        stop(publisher)
        wait_event(watcher, "removed")
        check(watcher.wait(10) == 0, "wait --gone exit code")
    finally:
        stop(publisher)
        if watcher:
            stop(watcher)


if __name__ == "__main__":
    try:
        {"peer_seen_from_a": peer_seen_from_a, "avahi_seen_from_b": avahi_seen_from_b}[sys.argv[1]]()
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        sys.exit(1)
    print("ok")
