#!/usr/bin/env python3
"""A forging DNS server for the wide-area suite, run on host B.

Listens on ADDRESS:53 (added to B's interface while it runs), passes each
query on to the real server and, before its true answer, sends three forged
ones in which "Zelm" became "Fake": one with a wrong id, one with the right
id for another question type, one from another source port. Prints
{"ready": true}, then after SECONDS {"forged": {...}} with what it sent, and
removes the address."""
import json, os, select, socket, subprocess, sys, time

address, server, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
interface = os.environ["ZELM_SANDBOX_IF_B"]
subprocess.run(["ip", "addr", "add", address + "/32", "dev", interface], check=True)
try:
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind((address, 53))
    stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    stranger.bind((address, 0))
    upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    upstream.settimeout(1)
    sent = {"wrong id": 0, "wrong question": 0, "wrong source": 0, "true": 0}
    print(json.dumps({"ready": True}), flush=True)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not select.select([listener], [], [], 0.1)[0]:
            continue
        query, client = listener.recvfrom(4096)
        upstream.sendto(query, (server, 53))
        true = upstream.recv(65535)
        forged = true.replace(b"Zelm", b"Fake")
        listener.sendto(bytes([forged[0] ^ 0xFF, forged[1]]) + forged[2:], client)
        sent["wrong id"] += 1
        end = 12  # the question's name, then its type
        while forged[end]:
            end += forged[end] + 1
        listener.sendto(forged[:end + 1] + b"\x00\x10" + forged[end + 3:], client)
        sent["wrong question"] += 1
        stranger.sendto(forged, client)
        sent["wrong source"] += 1
        time.sleep(0.05)
        listener.sendto(true, client)
        sent["true"] += 1
    print(json.dumps({"forged": sent}), flush=True)
finally:
    subprocess.run(["ip", "addr", "del", address + "/32", "dev", interface])
