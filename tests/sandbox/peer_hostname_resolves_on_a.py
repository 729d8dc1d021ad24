#!/usr/bin/python3
"""While the peer publishes, its host name resolves on A over IPv4 and to
B's IPv6 link-local address; once it has withdrawn, the name is gone."""

from sandbox_testlib import Peer, check, env, main, poll, run

TYPE = "_zelmtest._tcp"


def resolve(family_flag, name):
    code, out, _ = run(["avahi-resolve", family_flag, "--name", name], timeout=30)
    fields = out.decode().split()
    return fields[1] if code == 0 and len(fields) == 2 and fields[0] == name else None


def test():
    name = env("ZELM_SANDBOX_HOSTNAME_B") + ".local"
    peer = Peer("--name", "Zelm Host Probe", "--type", TYPE, "--port", "8126")
    try:
        peer.wait_event("published")
        ipv4 = resolve("-4", name)
        check(ipv4 == env("ZELM_SANDBOX_ADDR_B"), "IPv4 of %s: %r" % (name, ipv4))
        ipv6 = resolve("-6", name)
        check(ipv6 == env("ZELM_SANDBOX_ADDR6_B"), "IPv6 of %s: %r" % (name, ipv6))
        check(peer.stop() == 0, "peer exit code after SIGTERM")
        # Goodbye packets flush the address records from avahi's cache.
        check(poll(lambda: resolve("-4", name) is None, 15, interval=0), "%s still resolves after withdrawal" % name)
    finally:
        peer.stop()


if __name__ == "__main__":
    main(test)
