#!/usr/bin/python3
"""The peer on B publishes; avahi-daemon on A sees name, host, address, port
and the exact TXT bytes, and sees the instance go when the peer withdraws."""

from sandbox_testlib import Peer, avahi_browse, check, env, main, poll

TYPE = "_zelmtest._tcp"
# Order, spaces, '=' inside a value and a bare key must all survive.
STRINGS = ["path=/a b", "flag", "k=v=w", "empty="]
STRINGS_WIRE = b"".join(bytes([len(s)]) + s.encode() for s in STRINGS)
# Bytes that are neither UTF-8 nor printable, a quote and a backslash.
RAW_WIRE = bytes.fromhex("05613d00ff22") + bytes([4]) + b'b=\\"'


def expect(seen, name, txt):
    record = seen.get(name)
    check(record, "avahi on A does not see %r; it sees %r" % (name, seen))
    check(record["host"] == env("ZELM_SANDBOX_HOSTNAME_B") + ".local", "host: %r" % record)
    check(record["address"] == env("ZELM_SANDBOX_ADDR_B"), "address: %r" % record)
    check(record["txt"] == txt, "TXT of %r: %s, want %s" % (name, record["txt"].hex(), txt.hex()))


def test():
    strings_args = [arg for s in STRINGS for arg in ("--txt", s)]
    by_strings = Peer("--name", "Zelm Strings", "--type", TYPE, "--port", "8123", *strings_args)
    by_hex = Peer("--name", "Zelm Raw Bytes", "--type", TYPE, "--port", "8124", "--txt-hex", RAW_WIRE.hex())
    try:
        published = by_strings.wait_event("published")
        check(published["txt_hex"] == STRINGS_WIRE.hex(), "peer reports TXT %s" % published["txt_hex"])
        by_hex.wait_event("published")

        names = {"Zelm Strings", "Zelm Raw Bytes"}
        seen = poll(lambda: (lambda found: found if names <= found.keys() else None)(avahi_browse(TYPE)), 10)
        seen = seen or avahi_browse(TYPE)
        expect(seen, "Zelm Strings", STRINGS_WIRE)
        expect(seen, "Zelm Raw Bytes", RAW_WIRE)
        check(seen["Zelm Strings"]["port"] == 8123 and seen["Zelm Raw Bytes"]["port"] == 8124, "ports: %r" % seen)

        check(by_strings.stop() == 0, "peer exit code after SIGTERM")
        check("withdrawn" in by_strings.output(), "no withdrawn line:\n" + by_strings.output())
        gone = poll(lambda: "Zelm Strings" not in avahi_browse(TYPE), 10)
        check(gone, "avahi on A still sees the withdrawn instance")
        check("Zelm Raw Bytes" in avahi_browse(TYPE), "the other instance went too")
    finally:
        by_strings.stop()
        by_hex.stop()


if __name__ == "__main__":
    main(test)
