#!/usr/bin/python3
"""python-zeroconf baselines on host A: one long-lived Zeroconf instance (the
peer library's equivalent of a running daemon with its cache) that takes one
measurement per command and answers with one JSON line.

  scripts/sandbox exec A /usr/bin/python3 bench/zeroconf_probe.py

Commands on stdin, fields separated by tabs:
  resolve TYPE NAME        get_service_info of NAME.TYPE.local.   -> {"ms","ok"}
  lookup  HOST             first A or AAAA record of HOST          -> {"ms","ok"}
  browse  TYPE TIMEOUT_MS  a ServiceBrowser for that long          -> {"found","last_ms"}
"""

import json
import os
import sys
import threading
import time

from zeroconf import (DNSOutgoing, DNSQuestion, IPVersion, RecordUpdateListener, ServiceBrowser,
                      ServiceStateChange, Zeroconf)
from zeroconf.const import _CLASS_IN, _FLAGS_QR_QUERY, _TYPE_A, _TYPE_AAAA

ANSWER_TIMEOUT_S = 3.0


def millis_since(start):
    return (time.perf_counter() - start) * 1e3


def full_type(service_type):
    return service_type.rstrip(".") + ".local."


class AddressWaiter(RecordUpdateListener):
    """Sets `event` when an address record of `host` arrives."""

    def __init__(self, host):
        self.host = host.lower()
        self.event = threading.Event()

    def async_update_records(self, zc, now, records):
        for update in records:
            if update.new.type in (_TYPE_A, _TYPE_AAAA) and update.new.name.lower() == self.host:
                self.event.set()


def cached_address(zc, host):
    now = time.time() * 1e3
    return any(not record.is_expired(now) for record_type in (_TYPE_A, _TYPE_AAAA)
               for record in zc.cache.get_all_by_details(host, record_type, _CLASS_IN))


def lookup(zc, host):
    """An address lookup the way python-zeroconf's own resolvers do it: the
    cache first, else a question for A and AAAA and a wait for the answer."""
    host = host.rstrip(".") + "."
    start = time.perf_counter()
    if cached_address(zc, host):
        return {"ms": millis_since(start), "ok": True, "cached": True}
    waiter = AddressWaiter(host)
    zc.add_listener(waiter, [DNSQuestion(host, _TYPE_A, _CLASS_IN), DNSQuestion(host, _TYPE_AAAA, _CLASS_IN)])
    try:
        query = DNSOutgoing(_FLAGS_QR_QUERY)
        query.add_question(DNSQuestion(host, _TYPE_A, _CLASS_IN))
        query.add_question(DNSQuestion(host, _TYPE_AAAA, _CLASS_IN))
        zc.send(query)
        ok = waiter.event.wait(ANSWER_TIMEOUT_S)
    finally:
        zc.remove_listener(waiter)
    return {"ms": millis_since(start), "ok": ok, "cached": False}


def resolve(zc, service_type, name):
    start = time.perf_counter()
    info = zc.get_service_info(full_type(service_type), "%s.%s" % (name, full_type(service_type)),
                               timeout=int(ANSWER_TIMEOUT_S * 1e3))
    return {"ms": millis_since(start), "ok": info is not None and info.port is not None}


def browse(zc, service_type, timeout_ms):
    seen = set()
    last = [0.0]
    start = time.perf_counter()

    def on_change(zeroconf, service_type, name, state_change):
        if state_change is ServiceStateChange.Added and name not in seen:
            seen.add(name)
            last[0] = millis_since(start)

    browser = ServiceBrowser(zc, full_type(service_type), handlers=[on_change])
    time.sleep(timeout_ms / 1e3)
    browser.cancel()
    return {"found": len(seen), "last_ms": last[0]}


def main():
    if os.environ.get("ZELM_SANDBOX_HOST") != "A":
        print("zeroconf_probe: run me on host A through scripts/sandbox exec A", file=sys.stderr)
        return 2
    zc = Zeroconf(interfaces=[os.environ["ZELM_SANDBOX_ADDR_A"]], ip_version=IPVersion.V4Only)
    commands = {
        "resolve": lambda f: resolve(zc, f[1], f[2]),
        "lookup": lambda f: lookup(zc, f[1]),
        "browse": lambda f: browse(zc, f[1], int(f[2])),
    }
    try:
        print(json.dumps({"ready": True}), flush=True)
        for line in sys.stdin:
            fields = line.rstrip("\n").split("\t")
            try:
                answer = commands[fields[0]](fields)
            except (KeyError, IndexError, ValueError) as error:
                answer = {"error": repr(error)}
            print(json.dumps(answer), flush=True)
    finally:
        zc.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
