"""What one DNS-SD operation does on the private system bus: every message
of the backend's connection, from dbus-monitor --profile, split into
connection set-up, the request, the daemon's wait before its first answer
and the whole time on the bus (the daemon objects' Free is sent without
waiting for an answer, so it has no time of its own)."""

import os
import subprocess
import tempfile
import time

# The calls the backend makes on every new connection.
SETUP_CALLS = {"Hello", "AddMatch", "GetHostName", "GetDomainName", "GetState"}
# The calls that create the daemon's objects, and its one-call host-name lookup.
REQUEST_CALLS = ("New", "Prepare", "ResolveHostName")
ANSWER_SIGNALS = {"Found", "ItemNew", "Failure"}


class BusMonitor:
    """dbus-monitor on the system bus of this host, for the length of a with-block."""

    def __enter__(self):
        self.file = tempfile.NamedTemporaryFile("w+", prefix="zelm-bench-bus-", delete=False)
        self.process = subprocess.Popen(["dbus-monitor", "--system", "--profile"], stdout=self.file,
                                        stderr=subprocess.DEVNULL)
        # It is listening once it has printed its own NameAcquired.
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline and os.path.getsize(self.file.name) == 0:
            time.sleep(0.01)
        time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        time.sleep(0.1)
        self.process.terminate()
        self.process.wait(timeout=5)
        with open(self.file.name) as f:
            self.lines = f.read().splitlines()
        os.unlink(self.file.name)
        return False


def breakdown(lines):
    """Figures in ms for the first client that says Hello in `lines`, or None."""
    messages = [line.split("\t") for line in lines if line and not line.startswith("#")]
    client = next((m[3] for m in messages if m[0] == "mc" and m[-1] == "Hello"), None)
    if client is None:
        return None
    calls = {}    # serial -> [member, call time, reply time]
    answers = []  # times of the daemon's answering signals
    start = end = None
    for m in messages:
        kind, stamp = m[0], float(m[1]) * 1e3
        if kind == "mc" and m[3] == client:
            calls[m[2]] = [m[-1], stamp, None]
            start = stamp if start is None else start
        elif kind in ("mr", "err") and len(m) > 5 and m[4] == client and m[5] in calls:
            calls[m[5]][2] = stamp
        elif kind == "sig" and m[4] == client and m[-1] in ANSWER_SIGNALS:
            answers.append(stamp)
        elif kind == "sig" and m[-1] == "NameLost" and m[4] == client:
            end = stamp
    done = [c for c in calls.values() if c[2] is not None]
    setup = [c for c in done if c[0] in SETUP_CALLS]
    requests = [c for c in done if c[0].endswith(REQUEST_CALLS)]
    if not setup or not requests or not answers:
        return None
    first_request_reply = min(c[2] for c in requests)
    return {
        "calls": len(calls),
        "setup_calls": len(setup),
        "setup_ms": max(c[2] for c in setup) - min(c[1] for c in setup),
        "request_ms": sum(c[2] - c[1] for c in requests),
        "daemon_wait_ms": max(min(answers) - first_request_reply, 0.0),
        "on_bus_ms": (end if end is not None else max(c[2] for c in done)) - start,
    }
