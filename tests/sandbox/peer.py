#!/usr/bin/python3
"""Independent mDNS peer for the sandbox's host B, built on python-zeroconf.

Run it on host B (it binds to B's addresses only):
  scripts/sandbox exec B /usr/bin/python3 tests/sandbox/peer.py COMMAND ...

Commands; every output line on stdout is one JSON object, flushed at once:
  publish --name N --type T --port P [--txt K=V]... [--txt-hex HEX] [--for S]
      Registers instance N (no dots) of type T on host $ZELM_SANDBOX_HOSTNAME_B.local.
      (A 198.18.0.2, AAAA B's link-local address), which makes that host name
      resolvable while it runs. TXT: the --txt strings in order, or exactly
      the wire bytes given by --txt-hex; with neither, one empty string.
      Prints {"event":"published",...} once registered, stays until SIGTERM,
      SIGINT or the end of --for, withdraws (goodbye packets), prints
      {"event":"withdrawn",...} and exits 0.
  browse --type T [--timeout S]
      Prints {"event":"found",...} per instance once resolved, "updated" when
      its port, host, TXT or addresses change, and {"event":"removed",...}
      when it goes. Exits 0 after the timeout (default 5 s) or on a signal.
  wait --type T --name N [--port P] [--txt-hex HEX] [--gone] [--timeout S]
      Exits 0 as soon as N is seen (with that port and exact TXT bytes when
      given), printing its found line. With --gone, prints {"event":"present",
      ...} when it sees N, and exits 0 once N has been seen to go (printing
      {"event":"removed",...}) or is found absent ({"event":"absent",...}).
      Exits 1 on timeout (default 10 s) after printing {"event":"timeout",...}.

A found line: {"event":"found","name":"My Service","type":"_http._tcp",
"domain":"local","host":"zelm-a.local.","port":8080,"txt_hex":"03613d31",
"addresses":["198.18.0.1","fe80::..."]} (IPv4 first, IPv6 without zone).
Exit code 2: bad arguments or a failure of the peer itself; 77: python3-zeroconf
is not installed.
"""

import argparse
import json
import os
import queue
import signal
import socket
import sys
import threading
import time

try:
    from zeroconf import IPVersion, NonUniqueNameException, ServiceBrowser, ServiceInfo, ServiceStateChange, Zeroconf
except ImportError:
    print("peer: python3-zeroconf is not installed (use /usr/bin/python3)", file=sys.stderr)
    sys.exit(77)

RESOLVE_TIMEOUT_MS = 3000
# How long an instance must stay unseen before wait --gone asks for it directly.
ABSENCE_SETTLE_S = 1.5
# How long the direct question then gets; both hosts sit on one link.
ABSENCE_RESOLVE_MS = 2000
# Set by SIGTERM and SIGINT.
STOP = threading.Event()


def emit(**fields):
    print(json.dumps(fields, separators=(",", ":")), flush=True)


def full_type(service_type):
    service_type = service_type.rstrip(".")
    return service_type + ("." if service_type.endswith(".local") else ".local.")


def short_type(service_type):
    return service_type[: -len(".local.")]


def instance_of(fullname, service_type):
    return fullname[: -len(service_type) - 1]


def deadline(timeout):
    """A deadline that a stop signal moves to now."""
    end = time.monotonic() + timeout
    return lambda: time.monotonic() if STOP.is_set() else end


def own_addresses():
    """Host B's IPv4 address, its veth's index and its link-local address."""
    if os.environ.get("ZELM_SANDBOX_HOST") != "B":
        raise RuntimeError("run me on host B: scripts/sandbox exec B /usr/bin/python3 %s ..." % sys.argv[0])
    index = socket.if_nametoindex(os.environ["ZELM_SANDBOX_IF_B"])
    return os.environ["ZELM_SANDBOX_ADDR_B"], index, os.environ.get("ZELM_SANDBOX_ADDR6_B")


def open_zeroconf():
    ipv4, index, _ = own_addresses()
    # Only B's own interface, for IPv4 (by address) and IPv6 (by index).
    return Zeroconf(interfaces=[ipv4, index], ip_version=IPVersion.All)


def txt_of(args):
    if args.txt and args.txt_hex is not None:
        raise ValueError("--txt and --txt-hex exclude each other")
    if args.txt_hex is not None:
        return bytes.fromhex(args.txt_hex)
    wire = bytearray()
    for entry in args.txt:
        data = entry.encode("utf-8")
        if len(data) > 255:
            raise ValueError("TXT string longer than 255 bytes: %r" % entry)
        wire += bytes([len(data)]) + data
    return bytes(wire) if args.txt else b"\x00"


def publish(args):
    if "." in args.name:
        # zeroconf splits names at every dot, so such an instance would go out wrong.
        raise ValueError("instance names with dots are not supported")
    text = txt_of(args)
    ipv4, _, ipv6 = own_addresses()
    addresses = [ipv4] + ([ipv6] if ipv6 else [])
    host = os.environ.get("ZELM_SANDBOX_HOSTNAME_B", "zelm-b") + ".local."
    service_type = full_type(args.type)
    info = ServiceInfo(service_type, "%s.%s" % (args.name, service_type), port=args.port, properties=text,
                       server=host, parsed_addresses=addresses)
    zc = open_zeroconf()
    try:
        try:
            zc.register_service(info)
        except NonUniqueNameException:
            emit(event="error", name=args.name, message="name already in use")
            return 1
        emit(event="published", name=args.name, type=short_type(service_type), host=host, port=args.port,
             txt_hex=text.hex(), addresses=addresses)
        STOP.wait(args.for_seconds)
        zc.unregister_service(info)
        emit(event="withdrawn", name=args.name)
        return 0
    finally:
        zc.close()


class Watcher:
    """Browses one type; resolves what appears on the caller's thread."""

    def __init__(self, service_type):
        self.zc = open_zeroconf()
        self.type = service_type
        self.events = queue.Queue()
        self.seen = {}
        self.browser = ServiceBrowser(self.zc, service_type, handlers=[
            lambda zeroconf, service_type, name, state_change: self.events.put((state_change, name))])

    def resolve(self, fullname, timeout_ms=RESOLVE_TIMEOUT_MS):
        info = ServiceInfo(self.type, fullname)
        if not info.request(self.zc, timeout_ms):
            return None
        return dict(name=instance_of(fullname, self.type), type=short_type(self.type), domain="local",
                    host=info.server, port=info.port, txt_hex=(info.text or b"").hex(),
                    addresses=info.parsed_addresses(IPVersion.V4Only) + info.parsed_addresses(IPVersion.V6Only))

    def next_change(self, deadline):
        """Returns (event, record) for the next change, or None at the deadline."""
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return None
            try:
                state_change, fullname = self.events.get(timeout=min(remaining, 0.2))
            except queue.Empty:
                continue
            key = fullname.lower()
            if state_change is ServiceStateChange.Removed:
                if self.seen.pop(key, None) is not None:
                    return "removed", dict(name=instance_of(fullname, self.type))
                continue
            record = self.resolve(fullname)
            if record is None or self.seen.get(key) == record:
                continue
            event = "updated" if key in self.seen else "found"
            self.seen[key] = record
            return event, record

    def close(self):
        self.browser.cancel()
        self.zc.close()


def browse(args):
    watcher = Watcher(full_type(args.type))
    end = deadline(args.timeout)
    try:
        for event, record in iter(lambda: watcher.next_change(end()), None):
            emit(event=event, **record)
        return 0
    finally:
        watcher.close()


def wait(args):
    wanted_txt = bytes.fromhex(args.txt_hex).hex() if args.txt_hex is not None else None
    service_type = full_type(args.type)
    watcher = Watcher(service_type)
    end = deadline(args.timeout)
    settle_end = time.monotonic() + ABSENCE_SETTLE_S
    present = False
    last = None
    try:
        while True:
            change = watcher.next_change(min(end(), settle_end) if args.gone and not present else end())
            if change is None:
                if time.monotonic() >= end():
                    emit(event="timeout", name=args.name, last=last)
                    return 1
                # Not browsed within the settle time: ask for the instance itself.
                fullname = "%s.%s" % (args.name, service_type)
                record = watcher.resolve(fullname, ABSENCE_RESOLVE_MS)
                if record is None:
                    emit(event="absent", name=args.name)
                    return 0
                watcher.seen[fullname.lower()] = last = record
                present = True
                emit(event="present", **record)
                continue
            event, record = change
            if record["name"].casefold() != args.name.casefold():
                continue
            if event == "removed":
                present = False
                if args.gone:
                    emit(event="removed", **record)
                    return 0
                continue
            if args.gone and not present:
                emit(event="present", **record)
            present = True
            last = record
            if not args.gone and (args.port is None or record["port"] == args.port) and (
                    wanted_txt is None or record["txt_hex"] == wanted_txt):
                emit(event="found", **record)
                return 0
    finally:
        watcher.close()


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    pub = commands.add_parser("publish", help="register a service until stopped")
    brw = commands.add_parser("browse", help="print the instances of a type")
    wt = commands.add_parser("wait", help="wait for an instance to appear or go")
    for command in (pub, brw, wt):
        command.add_argument("--type", required=True)
    for command in (pub, wt):
        command.add_argument("--name", required=True)
    pub.add_argument("--port", type=int, required=True)
    pub.add_argument("--txt", action="append", default=[], metavar="KEY=VALUE")
    pub.add_argument("--txt-hex", metavar="HEX")
    pub.add_argument("--for", dest="for_seconds", type=float, metavar="SECONDS")
    brw.add_argument("--timeout", type=float, default=5.0)
    wt.add_argument("--port", type=int)
    wt.add_argument("--txt-hex", metavar="HEX")
    wt.add_argument("--gone", action="store_true")
    wt.add_argument("--timeout", type=float, default=10.0)
    return parser.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda _signum, _frame: STOP.set())
    try:
        return {"publish": publish, "browse": browse, "wait": wait}[args.command](args)
    except (ValueError, RuntimeError, OSError) as error:
        print("peer: %s" % error, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
