#!/usr/bin/python3
"""The benchmark's independent peer on host B: one python-zeroconf instance
that publishes a fixed set of services and COUNT instances of one bulk type.

  scripts/sandbox exec B /usr/bin/python3 bench/peer_fleet.py [--bulk-type T] [--count N]

Prints {"event":"published",...} once every service is registered and
stays until SIGTERM or SIGINT, then withdraws them and exits 0. Registration
skips the probing step (cooperating responders): the sandbox link holds no
other claimant, and probing 1 000 names one after another would take minutes.
"""

import argparse
import asyncio
import json
import os
import signal
import socket
import sys

from zeroconf import IPVersion
from zeroconf.asyncio import AsyncServiceInfo, AsyncZeroconf

# name, type, port, TXT entries
FIXED_SERVICES = [
    ("Bench Resolve Target", "_zbench._tcp", 9000, ["path=/bench", "version=1"]),
    ("Bench Printer", "_ipp._tcp", 631, ["rp=printers/bench"]),
    ("Bench Web", "_http._tcp", 8080, ["path=/"]),
]


def service_info(name, service_type, port, txt, host, addresses):
    full_type = service_type + ".local."
    wire = b"".join(bytes([len(e.encode())]) + e.encode() for e in txt) or b"\x00"
    return AsyncServiceInfo(full_type, "%s.%s" % (name, full_type), port=port, properties=wire, server=host,
                            parsed_addresses=addresses)


async def run(args):
    if os.environ.get("ZELM_SANDBOX_HOST") != "B":
        raise RuntimeError("run me on host B through scripts/sandbox exec B")
    ipv4 = os.environ["ZELM_SANDBOX_ADDR_B"]
    index = socket.if_nametoindex(os.environ["ZELM_SANDBOX_IF_B"])
    addresses = [ipv4] + ([os.environ["ZELM_SANDBOX_ADDR6_B"]] if os.environ.get("ZELM_SANDBOX_ADDR6_B") else [])
    host = os.environ.get("ZELM_SANDBOX_HOSTNAME_B", "zelm-b") + ".local."

    infos = [service_info(n, t, p, txt, host, addresses) for n, t, p, txt in FIXED_SERVICES]
    infos += [service_info("Bulk %04d" % i, args.bulk_type, 10000 + i, ["i=%d" % i], host, addresses)
              for i in range(args.count)]

    zc = AsyncZeroconf(interfaces=[ipv4, index], ip_version=IPVersion.All)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    try:
        broadcasts = await asyncio.gather(
            *(zc.async_register_service(info, cooperating_responders=True) for info in infos))
        print(json.dumps({"event": "published", "fixed": len(FIXED_SERVICES), "bulk": args.count,
                          "bulk_type": args.bulk_type, "host": host}), flush=True)
        await stop.wait()
        for broadcast in broadcasts:
            broadcast.cancel()
        await zc.async_unregister_all_services()
    finally:
        await zc.async_close()
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bulk-type", default="_zbulk._tcp")
    parser.add_argument("--count", type=int, default=1000)
    try:
        return asyncio.run(run(parser.parse_args()))
    except (RuntimeError, OSError) as error:
        print("peer_fleet: %s" % error, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
