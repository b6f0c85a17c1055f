"""bench/run --syscalls: system calls and context switches per 1 KiB request,
for ferry-access and nginx-proxy, over both kinds of connection.

perf stat counts them in the proxy's processes and every thread they start
(tracepoints, no ptrace, so the proxy runs as it does without it) while a
fixed number of requests goes through: ab -c 16 with a new connection each,
wrk -c 16 stopped after as many answers over persistent ones, the loads of
the CPU cells. Counts, not timings, but not fixed either: a thread that finds
more work waiting when it wakes makes fewer calls and switches per request,
and other work on the same CPUs adds involuntary switches. So each count is
taken in several rounds, paths alternating, and the median is shown."""

import json
import os
import signal
import subprocess
import time

from .cells import lua_script
from .procfs import descendants
from .setup import KIND_HOSTS, OUT_DIR, Started, die, log

PATHS = ["ferry-access", "nginx-proxy"]
CONNS = 16
WRK_THREADS = 2
# A switch away from a thread that was not runnable is voluntary: it waited.
# Preempted threads show as running (0) or with the preempted mark (256).
VOLUNTARY = "prev_state > 0 && prev_state < 256"
EVENTS = ["-e", "context-switches", "-e", "sched:sched_switch", "--filter", VOLUNTARY,
          "-e", "raw_syscalls:sys_enter", "-e", "syscalls:sys_enter_*"]
# The table's columns: groups of calls, in order; the rest is "other".
GROUPS = [
    ("futex", ["futex"]),
    ("epoll", ["epoll_wait", "epoll_pwait", "epoll_pwait2", "epoll_ctl"]),
    ("poll", ["poll", "ppoll", "select", "pselect6"]),
    ("read", ["read", "readv", "recvfrom", "recvmsg", "recvmmsg"]),
    ("write", ["write", "writev", "sendto", "sendmsg", "sendmmsg", "sendfile64"]),
    ("accept, connect, socket, close", ["accept", "accept4", "connect", "socket", "close",
                                        "shutdown"]),
]
# Before perf counts anything it attaches to every thread of the proxy.
ATTACH_SECONDS = 1.0


def start_counting(bench, path, raw):
    pids = ",".join(str(p) for p in descendants(bench.pid(path)))
    counter = Started.spawn(["perf", "stat", "-x", ",", "-o", raw, *EVENTS, "-p", pids],
                            log_path=raw + ".log")
    time.sleep(ATTACH_SECONDS)
    if counter.poll() is not None:
        die(f"perf stat ended at once (exit {counter.returncode}); see {raw}.log")
    return counter


def stop_counting(counter, raw):
    """The counts by event name: "switches", "voluntary", "calls" and each call's own."""
    os.kill(counter.pid, signal.SIGINT)
    counter.wait(timeout=60)
    Started.processes.remove(counter)
    counts = {}
    with open(raw) as f:
        for line in f:
            fields = line.strip().split(",")
            if len(fields) < 3 or not fields[0].isdigit():
                continue
            value, event = int(fields[0]), fields[2]
            if event == "context-switches":
                counts["switches"] = value
            elif event == "sched:sched_switch":
                counts["voluntary"] = value
            elif event == "raw_syscalls:sys_enter":
                counts["calls"] = value
            elif event.startswith("syscalls:sys_enter_") and value:
                counts[event[len("syscalls:sys_enter_"):]] = value
    return counts


def load_close(bench, path, requests):
    """ab, a new connection per request; returns the requests answered."""
    done = subprocess.run(["ab", "-r", "-n", str(requests), "-c", str(CONNS), "-X",
                           f"127.0.0.1:{bench.port(path)}", f"http://{KIND_HOSTS['close']}/1k"],
                          capture_output=True, text=True, timeout=600)
    fields = dict(line.split(":", 1) for line in done.stdout.splitlines() if ":" in line)
    complete = int(fields.get("Complete requests", "0").strip())
    failed = int(fields.get("Failed requests", "0").split()[0])
    return complete - failed


def load_persistent(bench, path, requests):
    """wrk over persistent connections, interrupted once every thread has had
    its share of answers; returns the requests answered."""
    share = requests // WRK_THREADS
    script = lua_script(bench, path, "1k", "persistent", limit=share)
    argv = ["wrk", "-t", str(WRK_THREADS), "-c", str(CONNS), "-d", "600s", "--timeout", "10s",
            "-s", script, f"http://127.0.0.1:{bench.port(path)}/"]
    wrk = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
    stopped, result = 0, None
    for line in wrk.stdout:
        if line.startswith("STOPPED"):
            stopped += 1
            if stopped == WRK_THREADS:
                wrk.send_signal(signal.SIGINT)
        elif line.startswith("BENCHJSON "):
            result = json.loads(line[len("BENCHJSON "):])
    wrk.wait(timeout=60)
    if result is None:
        die(f"wrk gave no result through {path}")
    errors = sum(result[k] for k in ("connect", "read", "write", "status", "timeout"))
    return result["requests"] - errors


LOADS = {"close": load_close, "persistent": load_persistent}


def count(bench, path, kind, requests, out, number):
    """One counted run after a warm-up: counts per request, every call named."""
    LOADS[kind](bench, path, requests // 10)
    bench.settle()
    raw = os.path.join(out, f"{path}-{kind}-{number + 1}.csv")
    counter = start_counting(bench, path, raw)
    answered = LOADS[kind](bench, path, requests)
    counts = stop_counting(counter, raw)
    if answered < requests:
        log(f"  {path} {kind}: only {answered} of {requests} answered")
    per_request = {name: value / max(answered, 1) for name, value in counts.items()}
    per_request["answered"] = answered
    log(f"  round {number + 1}, {path} {kind}: {per_request.get('calls', 0):.2f} system calls "
        f"and {per_request.get('switches', 0):.2f} context switches per request")
    return per_request


def median_of(rounds):
    """The calls of the round with the median number of calls and the switches
    of the round with the median number of switches, so that columns add up."""
    def median_round(key):
        return sorted(rounds, key=lambda figures: figures.get(key, 0))[(len(rounds) - 1) // 2]
    figures = dict(median_round("calls"))
    switches = median_round("switches")
    figures.update(switches=switches.get("switches", 0), voluntary=switches.get("voluntary", 0))
    return figures


def grouped(figures):
    """The table's columns from one run's counts per request."""
    calls = figures.get("calls", 0.0)
    columns = [calls]
    for _, names in GROUPS:
        columns.append(sum(figures.get(n, 0.0) for n in names))
    columns.append(calls - sum(columns[1:]))
    switches, voluntary = figures.get("switches", 0.0), figures.get("voluntary", 0.0)
    return columns + [switches, voluntary, switches - voluntary]


HEADER = (["proxy", "connections", "system calls", *(name for name, _ in GROUPS), "other",
           "context switches", "voluntary", "involuntary"])
KIND_NAMES = {"close": "one per connection", "persistent": "persistent"}


def table_rows(results, label):
    rows = []
    for kind in LOADS:
        for path in PATHS:
            name = f"ferry-access, {label}" if path == "ferry-access" else path
            cells = [name, KIND_NAMES[kind], *(f"{v:.2f}" for v in grouped(results[path][kind]))]
            rows.append("| " + " | ".join(cells) + " |")
    return rows


def every_call_text(results, rounds):
    lines = []
    for path in PATHS:
        for kind in LOADS:
            figures = results[path][kind]
            named = sorted(((v, n) for n, v in figures.items() if n not in
                            ("calls", "switches", "voluntary", "answered")), reverse=True)
            counted = rounds[path][kind]
            spans = "; ".join(f"{key} {min(r.get(key, 0) for r in counted):.2f} to "
                              f"{max(r.get(key, 0) for r in counted):.2f}"
                              for key in ("calls", "switches"))
            lines.append(f"{path}, {KIND_NAMES[kind]} (median of {len(counted)} rounds; "
                         f"{spans}): " +
                         ", ".join(f"{n} {v:.2f}" for v, n in named if v >= 0.005))
    return "\n".join(lines)


def measure(bench, requests, label, rounds):
    """Counts for every path and kind; prints the table and writes
    bench/out/syscalls/."""
    out = os.path.join(OUT_DIR, "syscalls")
    os.makedirs(out, exist_ok=True)
    counted = {path: {kind: [] for kind in LOADS} for path in PATHS}
    for number in range(rounds):
        order = PATHS if number % 2 == 0 else list(reversed(PATHS))
        for kind in LOADS:
            for path in order:
                counted[path][kind].append(count(bench, path, kind, requests, out, number))
    results = {path: {kind: median_of(counted[path][kind]) for kind in LOADS} for path in PATHS}
    header = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    text = "\n".join(header + table_rows(results, label)) + "\n\nevery call, per request:\n" + \
        every_call_text(results, counted) + "\n"
    with open(os.path.join(out, "table.md"), "w") as f:
        f.write(text)
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump({"requests": requests, "label": label, "ferry_sha256": bench.ferry_sha256,
                   "results": results, "rounds": counted}, f, indent=1)
    print(text)
    log(f"system calls and context switches written to {out}")
