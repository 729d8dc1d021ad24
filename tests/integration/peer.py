#!/usr/bin/python3
# Independent mDNS peer for the sandbox's host B, built on python-zeroconf.
# Run it there (it binds to B's addresses only):
#   scripts/sandbox exec B /usr/bin/python3 tests/integration/peer.py COMMAND ...
# Every stdout line is one JSON object, flushed at once.
#
#   publish --name N --type T --port P [--txt K=V]... [--txt-hex HEX] [--subtype S] [--for S]
#     Registers instance N (no dots) on host $ZELM_SANDBOX_HOSTNAME_B.local.,
#     and with --subtype S also answers the subtype S._sub.T for it,
#     which makes that host name resolvable while it runs. TXT: the --txt
#     strings in order, or exactly the bytes of --txt-hex; with neither, one
#     empty string. Prints "published", stays until SIGTERM or the end of
#     --for, withdraws (goodbye packets), prints "withdrawn" and exits 0.
#   wait --type T --name N [--port P] [--txt-hex HEX] [--gone] [--timeout S]
#     Exits 0 once N is seen (with that port and exact TXT bytes when given),
#     printing its "found" line: name, type, host, port, txt_hex. With --gone,
#     exits 0 once N cannot be resolved, printing "removed" if this wait saw it
#     before, "absent" if not. Exits 1 after its timeout (default 10 s).
# Exit code 2: bad arguments or a failure of the peer (a taken name, too);
# 77: no python3-zeroconf.

import argparse
import json
import os
import signal
import socket
import sys
import threading
import time

try:
    from zeroconf import IPVersion, ServiceInfo, Zeroconf
except ImportError:
    print("peer: python3-zeroconf is not installed (use /usr/bin/python3)", file=sys.stderr)
    sys.exit(77)

STOP = threading.Event()  # set by SIGTERM and SIGINT


def emit(**fields):
    print(json.dumps(fields, separators=(",", ":")), flush=True)


def service_info(args, **fields):
    service_type = args.type.rstrip(".").removesuffix(".local") + ".local."
    return ServiceInfo(service_type, "%s.%s" % (args.name, service_type), **fields)


def open_zeroconf():
    if os.environ.get("ZELM_SANDBOX_HOST") != "B":
        raise RuntimeError("run me on host B: scripts/sandbox exec B /usr/bin/python3 %s ..." % sys.argv[0])
    index = socket.if_nametoindex(os.environ["ZELM_SANDBOX_IF_B"])
    return Zeroconf(interfaces=[os.environ["ZELM_SANDBOX_ADDR_B"], index], ip_version=IPVersion.All)


# python-zeroconf keys its registry by type, so a subtype registered there
# would be listed as a type of its own: answer questions for S._sub.T here.
def answer_subtype(subtype, info):
    from zeroconf import const
    from zeroconf._dns import DNSPointer
    from zeroconf._handlers import QueryHandler
    name = "%s._sub.%s" % (subtype, info.type)
    original = QueryHandler._answer_question

    def answer(self, question, known_answers, now):
        answers = original(self, question, known_answers, now)
        if question.type in (const._TYPE_PTR, const._TYPE_ANY) and question.name.lower() == name.lower():
            pointer = DNSPointer(name, const._TYPE_PTR, const._CLASS_IN, const._DNS_OTHER_TTL, info.name, now)
            answers[pointer] = {info.dns_service(created=now), info.dns_text(created=now),
                                *info.dns_addresses(created=now)}
        return answers
    QueryHandler._answer_question = answer


def publish(args, zc):
    if "." in args.name:
        raise ValueError("instance names with dots are not supported")  # zeroconf splits them
    text = bytes.fromhex(args.txt_hex) if args.txt_hex is not None else (
        b"".join(bytes([len(entry.encode())]) + entry.encode() for entry in args.txt) or b"\x00")
    addresses = [os.environ["ZELM_SANDBOX_ADDR_B"]] + [a for a in [os.environ.get("ZELM_SANDBOX_ADDR6_B")] if a]
    host = os.environ.get("ZELM_SANDBOX_HOSTNAME_B", "zelm-b") + ".local."
    info = service_info(args, port=args.port, properties=text, server=host, parsed_addresses=addresses)
    zc.register_service(info)  # raises when the name is taken
    if args.subtype:
        answer_subtype(args.subtype, info)
    emit(event="published", name=args.name, host=host, port=args.port, txt_hex=text.hex())
    STOP.wait(args.for_seconds)
    zc.unregister_service(info)
    emit(event="withdrawn", name=args.name)
    return 0


# Asks for N again and again; an answer that does not match yet (no TXT record
# or an old one in the cache) is asked for again after a pause.
def wait(args, zc):
    end = time.monotonic() + args.timeout
    seen = False
    while time.monotonic() < end and not STOP.is_set():
        info = service_info(args)
        if not info.request(zc, 1000):
            if args.gone:
                emit(event="removed" if seen else "absent", name=args.name)
                return 0
            continue
        seen = True
        if info.text and not args.gone and args.port in (None, info.port) and args.txt_hex in (None, info.text.hex()):
            emit(event="found", name=args.name, type=args.type, host=info.server, port=info.port,
                 txt_hex=info.text.hex())
            return 0
        STOP.wait(0.2)
    emit(event="timeout", name=args.name)
    return 1


def main(argv):
    parser = argparse.ArgumentParser(description="independent mDNS peer on the sandbox's host B")
    commands = parser.add_subparsers(dest="command", required=True)
    pub = commands.add_parser("publish")
    wt = commands.add_parser("wait")
    for command in (pub, wt):
        command.add_argument("--type", required=True)
        command.add_argument("--name", required=True)
        command.add_argument("--port", type=int, required=command is pub)
        command.add_argument("--txt-hex", metavar="HEX", type=lambda text: bytes.fromhex(text).hex())
    pub.add_argument("--txt", action="append", default=[], metavar="KEY=VALUE")
    pub.add_argument("--subtype")
    pub.add_argument("--for", dest="for_seconds", type=float, metavar="SECONDS")
    wt.add_argument("--gone", action="store_true")
    wt.add_argument("--timeout", type=float, default=10.0)
    args = parser.parse_args(argv)
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda _signum, _frame: STOP.set())
    try:
        with open_zeroconf() as zc:
            return (publish if args.command == "publish" else wait)(args, zc)
    except Exception as error:  # pylint: disable=broad-except
        print("peer: %s" % error, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
