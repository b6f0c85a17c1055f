"""From the rounds' raw figures to one summary entry per row: each path's
median and range, the ratios between paths taken within each round, and
whether each goal is met."""

import statistics

from .setup import PATHS

# The ratios shown, each (numerator, denominator), taken within each round.
RATIOS = [("ferry", "tinyproxy"), ("ferry", "direct"),
          ("ferry-access", "nginx-proxy"), ("ferry-access", "direct")]
# Short names in the errors and target columns.
SHORT = {"direct": "d", "ferry": "f", "ferry-access": "fa", "tinyproxy": "t",
         "nginx-proxy": "n"}


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
    """A goal is (ratio pair or path, ">=" or "<=", bound). A ratio goal is judged
    on the median ratio, a path's own goal on its largest value in any round."""
    return {"label": label, "section": section, "key": key, "metric": metric,
            "scale": scale, "goals": list(goals)}


def summary_rows(settings):
    trace, access = ("ferry", "tinyproxy"), ("ferry-access", "nginx-proxy")
    to_direct, access_to_direct = ("ferry", "direct"), ("ferry-access", "direct")
    rows = []
    for c in settings["small_conns"]:
        goals = [(trace, ">=", 1.4), (to_direct, ">=", 0.4), (access, ">=", 1.0)]
        rows.append(row(f"1 KiB req/s c={c}", "small", str(c), "rps",
                        goals=goals if c >= 16 else ()))
    for c in settings["small_conns"]:
        goals = [(trace, "<=", 0.7), (access, "<=", 1.0)]
        rows.append(row(f"1 KiB p50 ms c={c}", "small", str(c), "p50_us", 1e-3,
                        goals if c <= 16 else ()))
    for c in settings["small_conns"]:
        rows.append(row(f"1 KiB p99 ms c={c}", "small", str(c), "p99_us", 1e-3))
    for c in settings["large_conns"]:
        rows.append(row(f"16 MiB MB/s c={c}", "large", str(c), "mbps",
                        goals=[(access_to_direct, ">=", 0.7)]))
    rows.append(row("CPU s per 10k (ab c=16)", "cpu", None, "cpu_s_per_10k",
                    goals=[(trace, "<=", 0.6), (access, "<=", 1.0)]))
    rows.append(row("origin's CPU s per 10k (same runs)", "cpu", None, "origin_cpu_s_per_10k"))
    rows.append(row("ab req/s c=16 (same runs)", "cpu", None, "rps"))
    for n in settings["in_flight"]:
        goals = [("ferry", "<=", 16.0), ("ferry-access", "<=", 16.0)] if n == 1000 else ()
        rows.append(row(f"RSS KiB per request, {n} in flight", "in_flight", str(n),
                        "rss_kib_per_request", goals=goals))
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
    return value >= bound if op == ">=" else value <= bound


def judge(entry, rounds, goal):
    """One goal of a row, with the value it is judged on and whether it is met."""
    subject, op, bound = goal
    if isinstance(subject, tuple):
        name = "/".join(SHORT[p] for p in subject)
        value = (entry[ratio_name(subject)] or {}).get("median")
        met = meets(op, bound, value)
    else:
        name = SHORT[subject]
        value = (entry[subject] or {}).get("max")
        met = meets(op, bound, value)
        if entry["section"] == "in_flight":
            # Memory per request counts only if every held request was answered.
            count = int(entry["cell"])
            met = met and all(cell_value(r, "in_flight", entry["cell"], subject, "answered")
                              == count for r in rounds)
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
        if section == "in_flight" and path != "direct":
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
