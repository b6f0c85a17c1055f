"""The summary as text: the table, the checks under it, and the files in
bench/out (table.md for people, results.json with every raw figure)."""

import json
import os

from .setup import MEMORY_PROXIES, OUT_DIR, PATHS, PROXIES
from .summary import RATIOS, SHORT, ratio_name


def fmt_number(value):
    if value is None:
        return "-"
    if abs(value) >= 100:
        return f"{value:.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    if abs(value) >= 1:
        return f"{value:.2f}"
    return f"{value:.3f}"


def fmt_spread(s):
    if s is None:
        return "-"
    if s["min"] == s["max"]:
        return fmt_number(s["median"])
    return f"{fmt_number(s['median'])} [{fmt_number(s['min'])}..{fmt_number(s['max'])}]"


def fmt_target(entry):
    return ", ".join(f"{g['goal']}: {'yes' if g['met'] else 'NO'}"
                     for g in entry.get("goals", []))


def table(summary):
    ratios = [ratio_name(pair) for pair in RATIOS]
    header = ["figure", *PATHS, *ratios, "errors " + "/".join(SHORT[p] for p in PATHS),
              "target"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for entry in summary:
        errors = "/".join("-" if entry[f"{p}_errors"] is None else str(entry[f"{p}_errors"])
                          for p in PATHS)
        cells = [entry["label"], *(fmt_spread(entry[p]) for p in PATHS),
                 *(fmt_spread(entry[r]) for r in ratios), errors, fmt_target(entry)]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def targets_text(summary):
    goals = [(entry["label"], g) for entry in summary for g in entry.get("goals", [])]
    missed = [f"{label} ({g['goal']})" for label, g in goals if not g["met"]]
    text = f"- targets met: {len(goals) - len(missed)} of {len(goals)}"
    text += f"; not met: {', '.join(missed)}" if missed else ""
    legend = ", ".join(f"{short} {path}" for path, short in SHORT.items())
    return text + f"\n- in the errors and target columns: {legend}"


def kept_text(kept_bodies, path):
    """Whether every file came right over one connection, and the connections taken."""
    right = all(check[path]["identical"] for check in kept_bodies)
    taken = "/".join(str(check[path]["connections"]) for check in kept_bodies)
    return f"{path} {'identical' if right else 'FAILED'}, connections {taken}"


def metrics_text(page):
    """The requests and bytes a metrics page counted, from its samples."""
    totals = {}
    for line in page.splitlines():
        if line.startswith(("ferry_requests_total{", "ferry_client_bytes_")):
            name, value = line.split("{")[0].split(" ")[0], line.rsplit(" ", 1)[1]
            totals[name] = totals.get(name, 0) + int(value)
    return (f"{totals.get('ferry_requests_total', 0)} requests, "
            f"{totals.get('ferry_client_bytes_sent_total', 0) / 1e6:.1f} MB to clients, "
            f"{totals.get('ferry_client_bytes_received_total', 0) / 1e6:.1f} MB from them")


def checks_text(bodies, kept_bodies, rounds, settings, announced, access_log, metrics_page):
    lines = []
    bad = [k for k, v in bodies.items() if not v["identical"] or v["http_code"] != "200"]
    lines.append(f"- bodies: {len(bodies) - len(bad)}/{len(bodies)} fetched with curl are "
                 f"byte-identical (sha256) with HTTP 200" + (f"; FAILED: {', '.join(bad)}"
                                                            if bad else ""))
    lines.append("- bodies on a kept connection (one curl fetching every file, before and "
                 "after the rounds): " + "; ".join(kept_text(kept_bodies, p) for p in PATHS))
    wrk_sections = ("small", "small_persistent", "large")
    for path in PATHS:
        if not announced[path]:
            closes = sum(r[section][key][path]["closes_after_answer"] for r in rounds
                         for section in wrk_sections for key in r[section])
            lines.append(f"- {path} closes an HTTP/1.1 answer without \"Connection: close\"; "
                         f"wrk counts that close as a read error after the complete answer "
                         f"({closes} such closes over all wrk cells). They are not counted as "
                         f"errors above; read errors beyond one per complete answer would be.")
    for path in PROXIES:
        cells = [r["small_persistent"]["16"][path] for r in rounds]
        lines.append(f"- upstream connections per request, {path} (origin accepts during wrk "
                     f"c=16, persistent): " + ", ".join(
                         f"{c['upstream_connections']}/{c['requests']} = "
                         f"{c['upstream_connections'] / max(c['requests'], 1):.4f}"
                         for c in cells))
    for section, requests, ab in (("cpu", "ab_requests", "ab"),
                                  ("cpu_persistent", "ab_requests_persistent", "ab -k")):
        for path in PROXIES:
            cells = [r[section][path] for r in rounds]
            lines.append(f"- upstream connections per request, {path} (origin accepts during "
                         f"{ab} -n {settings[requests]}): " + ", ".join(
                             f"{c['upstream_connections']}/{c['complete']} = "
                             f"{c['upstream_per_request']:.3f}" for c in cells) +
                         ("; requests on a kept client connection " +
                          ", ".join(str(c["kept_alive"]) for c in cells)
                          if section == "cpu_persistent" else ""))
    for count in settings["in_flight"]:
        for path in MEMORY_PROXIES:
            cells = [r["in_flight"][str(count)][path] for r in rounds]
            lines.append(f"- {count} in flight through {path}: held at the origin " +
                         ", ".join(str(c["held_at_origin"]) for c in cells) + "; answered " +
                         ", ".join(str(c["answered"]) for c in cells) + "; peak threads " +
                         ", ".join(str(c["peak_threads"]) for c in cells))
    for count in settings["idle"]:
        for path in PROXIES:
            cells = [r["idle"][str(count)].get(path) for r in rounds]
            if not any(cells):
                continue
            lines.append(f"- {count} idle persistent connections through {path}, each after "
                         f"one request to {cells[0]['host'] if cells[0] else '-'}: held " +
                         ", ".join(str(c["held"]) for c in cells if c) +
                         "; answered again at the end " +
                         ", ".join(str(c["answered"]) for c in cells if c) +
                         "; peak threads " + ", ".join(str(c["peak_threads"]) for c in cells if c) +
                         "; open descriptors idle and held " +
                         ", ".join(f"{c['idle_descriptors']} and {c['peak_descriptors']}"
                                   for c in cells if c) +
                         "; seconds to open them " +
                         ", ".join(f"{c['seconds_to_open']:.1f}" for c in cells if c))
    closing = [p for p in PROXIES if kept_bodies[0][p]["connections"] != 1]
    if closing:
        lines.append(f"- not held idle: {', '.join(closing)}, which took a connection for each "
                     f"file in the kept-connection body check; ferry (with the trace) is not "
                     f"held idle either: its idle connections are ferry-access's")
    lines.append(f"- ferry-access wrote {access_log[0]} access-log lines "
                 f"({access_log[1] / 1e6:.1f} MB) to its log file")
    lines.append(f"- ferry-metrics' page after the rounds: {metrics_text(metrics_page)}")
    return "\n".join(lines)


def write_files(result, text, checks):
    with open(os.path.join(OUT_DIR, "results.json"), "w") as f:
        json.dump(result, f, indent=1)
    with open(os.path.join(OUT_DIR, "table.md"), "w") as f:
        f.write(text + "\n\n" + checks + "\n")
