#!/usr/bin/python3
"""avahi-publish on A advertises; the peer on B waits for it with exact port
and TXT bytes, and sees it go when avahi-publish is stopped by its pid."""

from sandbox_testlib import Background, PeerProcess, check, env, json_events, main, peer_args, peer_wait, run

TYPE = "_zelmtest._tcp"
NAME = "Zelm From A"
TXT = ["k=v", "x=y z", "bare"]
TXT_WIRE = b"".join(bytes([len(s)]) + s.encode() for s in TXT)


def test():
    # The peer finds out that an instance is absent without waiting for the timeout.
    code, events = peer_wait("--type", TYPE, "--name", NAME, "--gone", "--timeout", "20")
    check(code == 0 and events[-1]["event"] == "absent", "wait --gone before publishing: %d %r" % (code, events))

    publisher = Background(["avahi-publish", "-s", NAME, TYPE, "8125"] + TXT)
    try:
        publisher.wait_line(lambda line: line.startswith("Established under name"), 15)

        code, events = peer_wait("--type", TYPE, "--name", NAME, "--port", "8125", "--txt-hex", TXT_WIRE.hex())
        check(code == 0, "peer did not see %r with port and TXT: %r" % (NAME, events))
        found = events[-1]
        check(found["event"] == "found" and found["name"] == NAME, "found line: %r" % found)
        check(found["host"] == env("ZELM_SANDBOX_HOSTNAME_A") + ".local.", "host: %r" % found)
        check(env("ZELM_SANDBOX_ADDR_A") in found["addresses"], "addresses: %r" % found)
        check(env("ZELM_SANDBOX_ADDR6_A") in found["addresses"], "addresses: %r" % found)

        # browse reports the same record, once.
        code, out, _ = run(peer_args("browse", "--type", TYPE, "--timeout", "3"))
        listed = [event for event in json_events(out) if event.get("name") == NAME]
        check(code == 0 and listed == [found], "browse: %d %r, want %r" % (code, listed, found))

        # A different TXT must not count as seen: wait times out and says so.
        code, events = peer_wait("--type", TYPE, "--name", NAME, "--txt-hex", "03613d31", "--timeout", "3")
        check(code == 1 and events[-1]["event"] == "timeout", "wait with wrong TXT: %d %r" % (code, events))
        check(events[-1]["last"]["txt_hex"] == TXT_WIRE.hex(), "timeout line: %r" % events[-1])

        # Stopped only once the waiting peer has seen it, so it must see it go.
        watcher = PeerProcess("wait", "--type", TYPE, "--name", NAME, "--gone", "--timeout", "20")
        try:
            watcher.wait_event("present")
            publisher.stop()
            watcher.wait_event("removed")
            check(watcher.process.wait(10) == 0, "wait --gone exit code:\n" + watcher.output())
        finally:
            watcher.stop()
    finally:
        publisher.stop()


if __name__ == "__main__":
    main(test)
