"""From the rounds' raw figures to one summary entry per row: each path's
median and range, the ratios between paths taken within each round, and
whether each goal is met."""

import statistics

from .setup import PATHS

# The ratios shown, each (numerator, denominator), taken within each round.
RATIOS = [("ferry", "tinyproxy"), ("ferry", "direct"),
          ("ferry-access", "nginx-proxy"), ("ferry-access", "direct"),
          ("ferry-metrics", "ferry-access")]
# Short names in the errors and target columns.
SHORT = {"direct": "d", "ferry": "f", "ferry-access": "fa", "ferry-metrics": "fm",
         "tinyproxy": "t", "nginx-proxy": "n"}


def ratio_name(pair):
    return f"{pair[0]}/{pair[1]}"


def spread(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def ratio(a, b):
    return a / b if a is not None and b else None


def row(label, section, key, metric, scale=1, goals=()):
    """A goal is (ratio pair or path, ">=", "<=" or "<", bound). A ratio goal is
    judged on the median ratio, a path's own goal on its worst value in any round."""
    return {"label": label, "section": section, "key": key, "metric": metric,
            "scale": scale, "goals": list(goals)}


# The sections of a round's figures for 1 KiB under wrk and for ab, by kind.
WRK_SECTIONS = {"close": "small", "persistent": "small_persistent"}
AB_SECTIONS = {"close": "cpu", "persistent": "cpu_persistent"}
# The goals against nginx-proxy, by kind: least req/s ratio and the
# concurrencies it applies to; most latency ratio, which percentile, where.
RATE_GOALS = {"close": (1.1, (1, 16, 64, 256)), "persistent": (1.0, (16, 64, 256))}
LATENCY_GOALS = {"close": ("p50", 0.9, (1, 16, 64, 256)), "persistent": ("p99", 1.5, (16, 64, 256))}
# Least ferry-metrics/ferry-access req/s in every 1 KiB cell: metrics cost at most 2 %.
METRICS_COST_GOAL = 0.98
# Least ferry-access/direct for 16 MiB, at every concurrency.
LARGE_TO_DIRECT_GOAL = 0.9
# Most RSS KiB per request with 1,000 in flight, and most descriptors per idle
# client with 10,000 held (the client's own and a small share of pooled ones).
IN_FLIGHT_GOAL = 10.0
IDLE_DESCRIPTORS_GOAL = 1.05


def latency_rows(kind, section, conns, access):
    rows = []
    percentile, bound, judged = LATENCY_GOALS[kind]
    for name in ("p50", "p99"):
        for c in conns:
            goals = [(access, "<=", bound)] if name == percentile and c in judged else ()
            rows.append(row(f"1 KiB {name} ms c={c}, {kind}", section, str(c), f"{name}_us",
                            1e-3, goals))
    return rows


def summary_rows(settings):
    access, access_to_direct = ("ferry-access", "nginx-proxy"), ("ferry-access", "direct")
    rows = []
    for kind, section in WRK_SECTIONS.items():
        least, judged = RATE_GOALS[kind]
        for c in settings["small_conns"]:
            goals = [(access, ">=", least)] if c in judged else []
            goals.append((("ferry-metrics", "ferry-access"), ">=", METRICS_COST_GOAL))
            rows.append(row(f"1 KiB req/s c={c}, {kind}", section, str(c), "rps", goals=goals))
        rows += latency_rows(kind, section, settings["small_conns"], access)
    for c in settings["large_conns"]:
        rows.append(row(f"16 MiB MB/s c={c}, close", "large", str(c), "mbps",
                        goals=[(access_to_direct, ">=", LARGE_TO_DIRECT_GOAL)]))
    # One request per connection: ab, as in every earlier run. Persistent:
    # wrk's c=16 cell (HTTP/1.1, as browsers keep theirs); ab -k (HTTP/1.0
    # keep-alive) is shown for its rate and errors.
    for kind, section, key, tool in (("close", "cpu", None, "ab"),
                                     ("persistent", "small_persistent", "16", "wrk")):
        rows.append(row(f"CPU s per 10k ({tool} c=16), {kind}", section, key, "cpu_s_per_10k",
                        goals=[(access, "<=", 0.9)]))
        rows.append(row(f"origin's CPU s per 10k (same runs), {kind}", section, key,
                        "origin_cpu_s_per_10k"))
    rows.append(row("ab req/s c=16 (CPU runs), close", "cpu", None, "rps"))
    rows.append(row("ab -k req/s c=16 (HTTP/1.0 keep-alive), persistent", "cpu_persistent",
                    None, "rps"))
    for n in settings["in_flight"]:
        goals = [("ferry-access", "<=", IN_FLIGHT_GOAL)] if n == 1000 else ()
        rows.append(row(f"RSS KiB per request, {n} in flight", "in_flight", str(n),
                        "rss_kib_per_request", goals=goals))
    for n in settings["idle"]:
        judged = n == 10000
        rows.append(row(f"idle clients answered again, {n} held", "idle", str(n),
                        "answered_share", goals=[("ferry-access", ">=", 1.0)] if judged else ()))
        rows.append(row(f"RSS KiB per idle connection, {n} held", "idle", str(n),
                        "rss_kib_per_connection", goals=[(access, "<", 1.0)] if judged else ()))
        rows.append(row(f"descriptors per idle client, {n} held", "idle", str(n),
                        "descriptors_per_connection",
                        goals=[("ferry-access", "<=", IDLE_DESCRIPTORS_GOAL)] if judged else ()))
    fewest, most = min(settings["idle"]), max(settings["idle"])
    rows.append(row(f"RSS KiB per further idle connection, {fewest} to {most}", "idle",
                    f"{fewest}-{most}", "rss_kib_per_connection"))
    for n in settings["idle"]:
        rows.append(row(f"threads per idle connection, {n} held", "idle", str(n),
                        "threads_per_connection"))
    return rows


def cell_entry(round_figures, section, key, path):
    table = round_figures[section]
    cell = table.get(key, {}) if key is not None else table
    return cell.get(path)


def cell_value(round_figures, section, key, path, metric):
    entry = cell_entry(round_figures, section, key, path)
    return None if entry is None else entry.get(metric)


def cell_errors(round_figures, section, key, path):
    entry = cell_entry(round_figures, section, key, path)
    return None if entry is None else entry.get("errors", 0)


def meets(op, bound, value):
    if value is None:
        return None
    return {">=": value >= bound, "<=": value <= bound, "<": value < bound}[op]


def all_answered(entry, rounds, paths):
    """Memory or descriptors per request or connection count only if every one
    held was answered."""
    count = int(entry["cell"])
    return all(cell_value(r, entry["section"], entry["cell"], path, "answered") == count
               for r in rounds for path in paths)


def judge(entry, rounds, goal):
    """One goal of a row, with the value it is judged on and whether it is met."""
    subject, op, bound = goal
    if isinstance(subject, tuple):
        name, paths = "/".join(SHORT[p] for p in subject), subject
        value = (entry[ratio_name(subject)] or {}).get("median")
    else:
        name, paths = SHORT[subject], (subject,)
        value = (entry[subject] or {}).get("min" if op == ">=" else "max")
    met = meets(op, bound, value)
    if entry["section"] in ("in_flight", "idle"):
        met = met and all_answered(entry, rounds, paths)
    return {"goal": f"{name} {op} {bound}", "value": value, "met": met is True}


def summarise_row(row, rounds):
    section, key, metric = row["section"], row["key"], row["metric"]
    entry = {"label": row["label"], "section": section, "cell": key, "metric": metric}
    for path in PATHS:
        values = [cell_value(r, section, key, path, metric) for r in rounds]
        entry[path] = spread([v * row["scale"] if v is not None else None for v in values])
        errors = [cell_errors(r, section, key, path) for r in rounds]
        entry[f"{path}_errors"] = None if all(e is None for e in errors) else \
            sum(e for e in errors if e is not None)
        if section in ("in_flight", "idle") and path != "direct":
            entry[f"{path}_answered"] = [cell_value(r, section, key, path, "answered")
                                         for r in rounds]
    for pair in RATIOS:
        entry[ratio_name(pair)] = spread([ratio(cell_value(r, section, key, pair[0], metric),
                                                cell_value(r, section, key, pair[1], metric))
                                          for r in rounds])
    if row["goals"]:
        entry["goals"] = [judge(entry, rounds, goal) for goal in row["goals"]]
        entry["target_met"] = all(g["met"] for g in entry["goals"])
    return entry


def summarise(rounds, settings):
    return [summarise_row(row, rounds) for row in summary_rows(settings)]
