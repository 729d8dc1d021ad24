#!/usr/bin/python3
"""scripts/sandbox daemon stop takes avahi-daemon on A away (clients see no
daemon) and daemon start brings it back on the same interface and bus."""

from sandbox_testlib import SANDBOX, Peer, avahi_browse, check, main, poll, run

TYPE = "_zelmtest._tcp"


def test():
    code, out, err = run([SANDBOX, "daemon", "stop"])
    check(code == 0, "daemon stop: %d %s" % (code, err.decode()))
    try:
        code, out, _ = run([SANDBOX, "status"])
        check(code == 0 and b"avahi-daemon stopped" in out, "status after stop:\n" + out.decode())
        code, _, err = run(["avahi-browse", "--all", "--terminate"])
        check(code != 0 and b"Daemon not running" in err, "avahi-browse without daemon: %d %s" % (code, err.decode()))
    finally:
        code, _, err = run([SANDBOX, "daemon", "start"], timeout=60)
    check(code == 0, "daemon start: %d %s" % (code, err.decode()))
    code, out, _ = run([SANDBOX, "status"])
    check(code == 0 and b"avahi-daemon running" in out, "status after start:\n" + out.decode())

    # The restarted daemon still listens on the veth: it sees the peer.
    peer = Peer("--name", "Zelm After Restart", "--type", TYPE, "--port", "8127")
    try:
        peer.wait_event("published")
        check(poll(lambda: "Zelm After Restart" in avahi_browse(TYPE), 10), "restarted avahi does not see the peer")
    finally:
        peer.stop()


if __name__ == "__main__":
    main(test)
