#!/usr/bin/python3
"""Turns the raw samples of bench/harness.py into bench/results/latest.json,
docs/benchmarks.md and its latency chart (drawn with gnuplot).

  bench/report.py --raw RAW.json --machine MACHINE.json --repo DIR
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

# (measure, name, unit, key, baseline, baseline key); a key of None means no baseline.
COMPARISONS = [
    (1, "resolve: plug-in resolveService", "ms", "resolve.plugin",
     "backend DNSServiceResolve to first reply + deallocation", "resolve.backend"),
    (1, "resolve: plug-in resolveService", "ms", "resolve.plugin",
     "python-zeroconf get_service_info", "resolve.zeroconf"),
    (1, "resolve: plug-in resolveService", "ms", "resolve.plugin",
     "the floor: avahi-daemon's one-call Server.ResolveService, one blocking libdbus call in the same process",
     "resolve.floor"),
    (1, "resolve: zelm-mdns resolve, whole process", "ms", "resolve.process.zelm_mdns",
     "avahi-browse -r -t -p, whole process", "resolve.process.avahi_browse"),
    (2, "address lookup: plug-in getAddressInfo", "ms", "lookup.plugin",
     "backend DNSServiceGetAddrInfo to first reply + deallocation", "lookup.backend"),
    (2, "address lookup: plug-in getAddressInfo", "ms", "lookup.plugin",
     "python-zeroconf address lookup (cache, else A/AAAA question)", "lookup.zeroconf"),
    (2, "address lookup: plug-in getAddressInfo", "ms", "lookup.plugin",
     "the floor: avahi-daemon's one-call Server.ResolveHostName, one blocking libdbus call in the same process",
     "lookup.floor"),
    (2, "address lookup: zelm-mdns lookup, whole process", "ms", "lookup.process.zelm_mdns",
     "avahi-resolve -n, whole process", "lookup.process.avahi_resolve"),
    (3, "registration to confirmation: plug-in doServiceRegister", "ms", "register.plugin",
     "avahi-publish -s to \"Established\"", "register.avahi_publish"),
    (3, "registration to confirmation: plug-in doServiceRegister", "ms", "register.plugin",
     "backend DNSServiceRegister to first reply", "register.backend"),
    (4, "browse overshoot, T = 200 ms: plug-in browseService", "ms", "browse.overshoot.plugin.200",
     "bare bounded wait (thread, timed semaphore, shutdown, join)", "browse.overshoot.bare.200"),
    (4, "browse overshoot, T = 1000 ms: plug-in browseService", "ms", "browse.overshoot.plugin.1000",
     "bare bounded wait (thread, timed semaphore, shutdown, join)", "browse.overshoot.bare.1000"),
    (4, "browse overshoot, T = 5000 ms: plug-in browseService", "ms", "browse.overshoot.plugin.5000",
     "bare bounded wait (thread, timed semaphore, shutdown, join)", "browse.overshoot.bare.5000"),
    (4, "process CPU time during a 5 s browse: plug-in", "ms", "browse.cpu.plugin",
     "backend DNSServiceBrowse processed on its own thread", "browse.cpu.backend"),
    (5, "tear-down: endLifeCycle of a live registration with keep-alive", "ms", "teardown.register.plugin",
     "backend DNSServiceRefDeallocate of a confirmed registration", "teardown.register.backend"),
    (5, "tear-down: endLifeCycle of a component mid-browse", "ms", "teardown.browse.plugin",
     "backend socket shutdown, join, DNSServiceRefDeallocate of a live browse", "teardown.browse.backend"),
    (7, "collection of 1000 services in a 3 s browse: plug-in, found", "services", "collect.found.plugin",
     "avahi-browse -t -p", "collect.found.avahi_browse"),
    (7, "collection of 1000 services in a 3 s browse: plug-in, found", "services", "collect.found.plugin",
     "python-zeroconf ServiceBrowser", "collect.found.zeroconf"),
    (7, "collection of 1000 services: plug-in, arrival of the last", "ms", "collect.last.plugin",
     "avahi-browse -t -p", "collect.last.avahi_browse"),
    (7, "collection of 1000 services: plug-in, arrival of the last", "ms", "collect.last.plugin",
     "python-zeroconf ServiceBrowser", "collect.last.zeroconf"),
    (0, "where the time goes: plug-in resolve, daemon connection already open", "ms",
     "resolve.plugin.link_open", "backend resolve, daemon connection already open", "resolve.backend.link_open"),
    (0, "where the time goes: plug-in address lookup, daemon connection already open", "ms",
     "lookup.plugin.link_open", "backend address lookup, daemon connection already open",
     "lookup.backend.link_open"),
    (0, "where the time goes: browse overshoot, T = 200 ms, daemon connection already open", "ms",
     "browse.overshoot.plugin.200.link_open", "bare bounded wait (thread, timed semaphore, shutdown, join)",
     "browse.overshoot.bare.200"),
    (0, "where the time goes: avahi-daemon's Server.ResolveHostName by dbus-send, whole process", "ms",
     "lookup.process.resolve_host_name", "Server.GetVersionString by dbus-send, whole process",
     "lookup.process.get_version"),
    (0, "where the time goes: plug-in resolve, first call on a new daemon link", "ms",
     "resolve.plugin.new_link", "backend resolve, first call on a new daemon link", "resolve.backend.new_link"),
    (0, "where the time goes: browse overshoot, T = 200 ms, first call on a new daemon link", "ms",
     "browse.overshoot.plugin.200.new_link", "bare bounded wait (thread, timed semaphore, shutdown, join)",
     "browse.overshoot.bare.200"),
]

# Samples shown in the chart, with their labels.
CHART = [
    ("resolve.plugin", "resolve\\nplug-in"), ("resolve.backend", "resolve\\nbackend"),
    ("resolve.zeroconf", "resolve\\nzeroconf"),
    ("resolve.plugin.link_open", "resolve plug-in\\nconn. open"),
    ("lookup.plugin", "lookup\\nplug-in"), ("lookup.backend", "lookup\\nbackend"),
    ("lookup.zeroconf", "lookup\\nzeroconf"),
    ("resolve.process.zelm_mdns", "zelm-mdns\\nresolve"), ("resolve.process.avahi_browse", "avahi-browse\\n-r -t"),
    ("lookup.process.zelm_mdns", "zelm-mdns\\nlookup"), ("lookup.process.avahi_resolve", "avahi-resolve\\n-n"),
    ("teardown.register.plugin", "end of\\nregistration"), ("teardown.browse.plugin", "end mid-\\nbrowse"),
    ("register.plugin", "register\\nplug-in"), ("register.avahi_publish", "avahi-\\npublish"),
]


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "n": len(values)}


def rounded(value, digits=3):
    return None if value is None else round(value, digits)


def comparison_objects(samples, extra):
    objects = []
    for measure, name, unit, key, baseline, baseline_key in COMPARISONS:
        values = samples.get(key)
        if not values:
            continue
        stats = summary(values)
        base = samples.get(baseline_key) if baseline_key else None
        base_median = statistics.median(base) if base else None
        ratio = stats["median"] / base_median if base_median else None
        objects.append({"measure": measure, "name": name, "unit": unit, "median": rounded(stats["median"]),
                        "min": rounded(stats["min"]), "max": rounded(stats["max"]), "n": stats["n"],
                        "baseline": baseline, "baseline_median": rounded(base_median),
                        "baseline_min": rounded(min(base)) if base else None,
                        "baseline_max": rounded(max(base)) if base else None,
                        "ratio": rounded(ratio)})
    for count, plugin in sorted(extra.get("scale", {}).get("plugin", {}).items(), key=lambda kv: int(kv[0])):
        backend = extra["scale"].get("backend", {}).get(count, {})
        for field, unit, label in (("ms", "ms", "wall time"), ("threads_per_op", "threads", "threads per operation"),
                                   ("rss_kb_per_op", "KiB", "RSS per operation"),
                                   ("vsz_kb_per_op", "KiB", "virtual size per operation"),
                                   ("daemon_connections", "connections", "daemon connections"),
                                   ("with_results", "browses", "browses that saw the service")):
            base = backend.get(field)
            objects.append({"measure": 6, "name": "scale, %s concurrent browses of 1 s: plug-in %s" % (count, label),
                            "unit": unit, "median": rounded(plugin[field]), "min": rounded(plugin[field]),
                            "max": rounded(plugin[field]), "n": 1,
                            "baseline": "backend: %s browse references polled on one thread" % count,
                            "baseline_median": rounded(base),
                            "ratio": rounded(plugin[field] / base) if base else None})
    for kind, size in extra.get("idle_bytes_per_component", {}).items():
        objects.append({"measure": 6, "name": "memory per idle %s component (heap bytes, 2000 made)" % kind,
                        "unit": "bytes", "median": rounded(size, 0), "min": rounded(size, 0),
                        "max": rounded(size, 0), "n": 1, "baseline": None, "baseline_median": None,
                        "ratio": None})
    sizes = extra.get("sizes", {})
    for arch, size in sorted(sizes.get("plugin", {}).items()):
        base = sizes.get("avahi_client", {}).get(arch)
        objects.append({"measure": 8, "name": "size of the stripped release plug-in, %s" % arch, "unit": "KiB",
                        "median": rounded(size / 1024), "min": rounded(size / 1024), "max": rounded(size / 1024),
                        "n": 1, "baseline": "libavahi-client + libavahi-common, stripped (no longer needed)"
                        if base else None, "baseline_median": rounded(base / 1024) if base else None,
                        "ratio": rounded(size / base) if base else None})
    # The measures in order, the figures about where the time goes last.
    return sorted(objects, key=lambda o: o["measure"] or 99)


def fmt(value, unit):
    if value is None:
        return "–"
    if unit in ("services", "connections", "bytes", "browses"):
        return "%d" % round(value)
    return "%.2f" % value if abs(value) < 100 else "%.0f" % value


def draw_chart(samples, path, work):
    data = os.path.join(work, "chart.dat")
    labels = []
    with open(data, "w") as out:
        for index, (key, label) in enumerate(CHART):
            values = samples.get(key, [])
            if not values:
                continue
            labels.append('"%s" %d' % (label, index))
            for i, value in enumerate(values):
                jitter = ((i * 7919) % 101) / 101.0 * 0.5 - 0.25
                out.write("%d %f %f\n" % (index, index + jitter, max(value, 0.001)))
    # The medians, drawn as short horizontal bars.
    medians = os.path.join(work, "medians.dat")
    with open(medians, "w") as out:
        for index, (key, _) in enumerate(CHART):
            if samples.get(key):
                out.write("%d %f\n" % (index, max(statistics.median(samples[key]), 0.001)))
    script = os.path.join(work, "chart.gp")
    with open(script, "w") as out:
        out.write("""set terminal pngcairo size 1500,640 font ",10"
set output "%s"
set title "Latency of every sample (log scale); red bar = median"
set ylabel "ms"
set logscale y
set grid ytics mytics
set xtics (%s) offset 0,-0.5
set bmargin 5
set key off
set xrange [-0.7:%f]
plot "%s" using 2:3 with points pt 7 ps 0.6 lc rgb "#3060a0", \\
     "%s" using ($1-0.35):2:(0.7):(0) with vectors nohead lw 3 lc rgb "#c03020"
""" % (path, ", ".join(labels), len(CHART) - 0.3, data, medians))
    subprocess.run(["gnuplot", script], check=True)


BUS_FIELDS = [("call_ms", "whole call"), ("on_bus_ms", "on the bus"), ("setup_ms", "connection set-up"),
              ("request_ms", "request round trip(s)"), ("daemon_wait_ms", "daemon's wait before its answer")]


def bus_section(bus):
    """A table of the median D-Bus breakdown of each operation."""
    if not bus:
        return []
    keys = [k for k in ("resolve.plugin", "resolve.backend", "lookup.plugin", "lookup.backend") if k in bus]
    lines = ["### Resolve and lookup on the bus", "",
             "Each operation run alone %d times more with `dbus-monitor --profile` on host A's bus "
             "(`bench/bus_timeline.py`), each as the first call on a new daemon link (after the link's grace "
             "period); medians in ms. \"On the bus\" runs from the client's Hello to its last answer (the "
             "link stays open for its grace period after the call); the rest of the whole call is spent off "
             "the bus (socket connect and authentication, threads, wake-ups, tear-down)." % len(next(iter(bus.values()))), "",
             "| | " + " | ".join(k.replace(".", " ").replace("plugin", "plug-in") for k in keys) + " |",
             "|---|" + "---|" * len(keys)]
    lines.append("| D-Bus method calls | " + " | ".join(
        "%d (%d set-up)" % (statistics.median(r["calls"] for r in bus[k]),
                            statistics.median(r["setup_calls"] for r in bus[k])) for k in keys) + " |")
    for field, label in BUS_FIELDS:
        lines.append("| %s | " % label + " | ".join(
            "%.2f" % statistics.median(r[field] for r in bus[k]) for k in keys) + " |")
    return lines + [""]


def write_doc(path, objects, raw, machine, chart_name):
    lines = ["# Benchmarks", "",
             "Written by `scripts/bench` on %s; every figure below comes from that one run. "
             "Compared variants ran in the same rounds, interleaved, in a rotating order." % machine["date"], "",
             "Machine: %s cores (%s), Linux %s, %s. %s" % (
                 machine["cores"], machine["cpu"], machine["kernel"], machine["os"], machine.get("load_note", "")),
             "",
             "Versions: avahi-daemon %s, avahi-utils %s, python3-zeroconf %s, Python %s, libZelmMDNS %s "
             "(release preset, commit %s; measured code %s, which `scripts/check-benchmarks` compares with the "
             "tree)." % (machine["avahi"], machine["avahi_utils"], machine["zeroconf"], machine["python"],
                         machine["project_version"], machine["commit"], machine.get("measured_code", "unknown")),
             "",
             "Network: the two-host sandbox of `scripts/sandbox` (veth pair in network namespaces). Host B runs "
             "one python-zeroconf peer (`bench/peer_fleet.py`) that publishes 3 fixed services and 1000 "
             "instances of `_zbulk._tcp`; every measurement runs on host A against its avahi-daemon.", "",
             "![Latency of every sample](%s)" % chart_name, "",
             "| # | Measure | Median | Min – max | n | Baseline | Baseline median (min – max) | Ratio |",
             "|---|---|---|---|---|---|---|---|"]
    for o in objects:
        unit = o["unit"]
        spread = "%s – %s" % (fmt(o["min"], unit), fmt(o["max"], unit)) if o["n"] > 1 else ""
        base = ""
        if o["baseline_median"] is not None:
            base = "%s %s" % (fmt(o["baseline_median"], unit), unit)
            if o.get("baseline_min") is not None:
                base += " (%s – %s)" % (fmt(o["baseline_min"], unit), fmt(o["baseline_max"], unit))
        lines.append("| %s | %s | %s %s | %s | %d | %s | %s | %s |" % (
            o["measure"] or "–", o["name"], fmt(o["median"], unit), unit, spread, o["n"], o["baseline"] or "–",
            base or "–", "%.2f ×" % o["ratio"] if o["ratio"] is not None else "–"))
    lines += ["", "Measure – are the figures for where the time goes (see below), not one of the seven; 8 is "
              "the size of the plug-in file.", ""]
    scale = raw.get("extra", {}).get("scale", {})
    if scale:
        lines += ["Scale, in detail: what `browseService` returned, per N (DNS-SD codes, 0 = found "
                  "something: count), and how long the backend baseline took to start all its references:", ""]
        for count in sorted(scale.get("plugin", {}), key=int):
            plugin = scale["plugin"][count]
            backend = scale.get("backend", {}).get(count, {})
            lines.append("- N = %s: plug-in %s; backend started %s of %s in %.0f ms." % (
                count, ", ".join("%s: %d" % kv for kv in sorted(plugin.get("outcomes", {}).items())),
                backend.get("started", "?"), count, backend.get("start_ms", float("nan"))))
        for count, answer in scale.get("plugin_long", {}).items():
            lines.append("- N = %s once more with a 4 s time-out: plug-in %s (wall %.0f ms)." % (
                count, ", ".join("%s: %d" % kv for kv in sorted(answer.get("outcomes", {}).items())),
                answer["ms"]))
        lines.append("")
    if raw.get("failures"):
        lines += ["Samples that failed and are left out: %s." % ", ".join(
            "%s %d" % item for item in sorted(raw["failures"].items())), ""]
    lines += ["How each figure is taken:", "",
              "- In-process figures come from `zelm-bench-host` (bench/host/), which loads the built plug-in with "
              "dlopen like a host and links the DNS-SD backend itself for the baselines. It times only the call "
              "under test; each sample makes a fresh component.",
              "- Whole-process figures are wall times from start to exit, taken by `bench/harness.py`.",
              "- python-zeroconf baselines run in one long-lived instance on host A (`bench/zeroconf_probe.py`), "
              "so its cache plays the part of the daemon's.",
              "- Browse overshoot is the wall time of the call minus T; its baseline is the same bounded wait "
              "with no DNS-SD at all.",
              "- The backend keeps its daemon link (event thread and D-Bus connection) for 1 s after the last "
              "reference lets go. The interleaved in-process calls follow each other faster than that, as "
              "those of a host calling in quick succession do, so they reuse the link of the call before; the "
              "rows \"first call on a new daemon link\" wait out the grace period before each sample.",
              "- Scale: N host threads each run a 1 s browse on a component of its own; threads, RSS and virtual "
              "size are the process's peak during the run over its idle state, per operation; daemon "
              "connections are this process's connections on the bus (one per Avahi client). The plug-in's "
              "threads include the host thread that each blocking browseService needs; its virtual size "
              "is mostly thread stacks and glibc's per-thread malloc arenas (reserved, not resident).",
              "- Timings are never asserted anywhere; `scripts/bench` only records them.", ""]
    lines += ["## Where the time goes", ""] + bus_section(raw.get("extra", {}).get("bus"))
    with open(path, "w") as out:
        out.write("\n".join(lines))


WIDEAREA_ROWS = [  # key in the JSON, what is measured, the measure's own label, the baseline's
    ("browse_1000_ms", "browse of 1000 instances in a unicast domain, to the last", "backend", "dig"),
    ("resolve_ms", "resolve in a unicast domain", "backend", "c_ares"),
    ("register_to_confirmation_ms", "registration by DNS UPDATE, to its confirmation", "backend", "nsupdate"),
]
WIDEAREA_BASELINES = {"dig": "`dig` (whole process; UDP, then TCP on truncation)",
                      "c_ares": "c-ares alone (the SRV and TXT queries, on a channel of its own)",
                      "nsupdate": "`nsupdate` (whole process), the same signed update"}


def widearea_section(paths):
    measured = {}
    for path in paths:
        if os.path.exists(path):
            with open(path) as f:
                measured.update(json.load(f))
    rows = [(label, measured[key], ours, base) for key, label, ours, base in WIDEAREA_ROWS if key in measured]
    if not rows:
        return []
    lines = ["", "## Beyond the local link", "",
             "Unicast DNS-SD against BIND 9 on host B (`scripts/bench --widearea` alone), medians in ms of the "
             "same run, interleaved:", "",
             "| Measure | Backend | Baseline | Baseline median | Ratio | Complete (backend, baseline) |",
             "|---|---|---|---|---|---|"]
    for label, m, ours, base in rows:
        lines.append("| %s | %.2f ms | %s | %.2f ms | %.2f × | %s |" % (
            label, m[ours], WIDEAREA_BASELINES[base], m[base], m["ratio"], ", ".join(map(str, m["complete"]))))
    return lines + [""]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--raw", required=True)
    parser.add_argument("--machine", required=True)
    parser.add_argument("--repo", required=True)
    parser.add_argument("--analysis", help="markdown appended to the doc")
    parser.add_argument("--sizes", help="JSON of the plug-in's stripped sizes per architecture")
    parser.add_argument("--widearea", nargs="*", default=[], help="JSON of the unicast DNS-SD measures")
    args = parser.parse_args()
    with open(args.raw) as f:
        raw = json.load(f)
    with open(args.machine) as f:
        machine = json.load(f)
    if args.sizes and os.path.exists(args.sizes):
        with open(args.sizes) as f:
            raw.setdefault("extra", {})["sizes"] = json.load(f)
    objects = comparison_objects(raw["samples"], raw.get("extra", {}))
    results = os.path.join(args.repo, "bench", "results")
    os.makedirs(results, exist_ok=True)
    with open(os.path.join(results, "latest.json"), "w") as out:
        json.dump({"machine": machine, "measures": objects}, out, indent=1)
    chart_name = "benchmarks-latency.png"
    os.makedirs(os.path.join(args.repo, "docs"), exist_ok=True)
    draw_chart(raw["samples"], os.path.join(args.repo, "docs", chart_name), os.path.dirname(args.raw))
    doc = os.path.join(args.repo, "docs", "benchmarks.md")
    write_doc(doc, objects, raw, machine, chart_name)
    with open(doc, "a") as out:
        out.write("\n".join(widearea_section(args.widearea)))
    if args.analysis and os.path.exists(args.analysis):
        with open(doc, "a") as out, open(args.analysis) as extra:
            out.write("\n" + extra.read())
    print("bench: wrote bench/results/latest.json, docs/benchmarks.md, docs/%s" % chart_name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
