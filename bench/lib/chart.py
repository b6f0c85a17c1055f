"""The 1 KiB request rate against concurrency, every path, both kinds of
connection, drawn as a PNG beside table.md: one panel per kind, one line per
path, the median over the rounds with its range as error bars."""

import os

from .setup import KINDS, OUT_DIR, PATHS
from .summary import WRK_SECTIONS

CHART = "requests_per_second.png"
TITLES = {"close": "one request per connection (Connection: close)",
          "persistent": "persistent connections"}
STYLES = {"direct": ("black", ":"), "ferry": ("tab:blue", "--"),
          "ferry-access": ("tab:blue", "-"), "ferry-metrics": ("tab:purple", "-"),
          "tinyproxy": ("tab:green", "-."),
          "nginx-proxy": ("tab:red", "-")}


def draw(summary, settings, tmp):
    """Writes bench/out/requests_per_second.png; returns its path."""
    # matplotlib keeps its font cache in its config folder: the run's temp
    # folder, not the home of whoever runs the benchmark. No display is needed.
    os.environ.setdefault("MPLCONFIGDIR", os.path.join(tmp, "matplotlib"))
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    conns = settings["small_conns"]
    figure, axes = plt.subplots(1, len(KINDS), figsize=(12, 4.8), sharey=True)
    for axis, kind in zip(axes, KINDS):
        rows = {e["cell"]: e for e in summary
                if e["section"] == WRK_SECTIONS[kind] and e["metric"] == "rps"}
        for path in PATHS:
            points = [rows[str(c)][path] for c in conns]
            if any(p is None for p in points):
                continue
            medians = [p["median"] for p in points]
            spans = [[p["median"] - p["min"] for p in points],
                     [p["max"] - p["median"] for p in points]]
            color, line = STYLES[path]
            axis.errorbar(conns, medians, yerr=spans, label=path, color=color, linestyle=line,
                          marker="o", markersize=4, capsize=3)
        axis.set_xscale("log", base=2)
        axis.set_xticks(conns, [str(c) for c in conns])
        axis.set_title(TITLES[kind], fontsize=10)
        axis.set_xlabel("concurrent connections (wrk -c)")
        axis.grid(True, alpha=0.3)
    axes[0].set_ylabel("1 KiB requests/s (median over rounds, range as bars)")
    axes[0].set_ylim(bottom=0)
    axes[-1].legend(fontsize=9)
    figure.tight_layout()
    path = os.path.join(OUT_DIR, CHART)
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path
