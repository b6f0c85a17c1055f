"""bench/run --profile: where ferry's CPU goes under the 1 KiB load. System
call counts per request (strace), kernel and user-space samples (perf), and
user-space instructions per function (callgrind), written to bench/out/profile/."""

import os
import re
import signal
import subprocess
import time

from .cells import run_wrk
from .checks import check_close_announced
from .paths import ferry_env, wait_for_port
from .setup import FIRST_PORTS, OUT_DIR, Started, log


def count_syscalls(bench, out, name, requests, conns):
    """strace -c -f on ferry during one ab run; writes and returns calls per request."""
    pid = bench.pid("ferry")
    raw = os.path.join(out, f"strace-{name}.txt")
    log(f"strace: system calls per request (ab -n {requests} -c {conns}, /{name})")
    trace = Started.spawn(["strace", "-c", "-f", "-o", raw, "-p", str(pid)])
    time.sleep(1.0)
    ab = subprocess.run(["ab", "-r", "-n", str(requests), "-c", str(conns), "-X",
                         f"127.0.0.1:{bench.port('ferry')}", f"http://origin.test/{name}"],
                        capture_output=True, text=True, timeout=600)
    counts = [line for line in ab.stdout.splitlines()
              if line.startswith(("Complete requests", "Failed requests", "Non-2xx"))]
    log("ab under strace: " + "; ".join(" ".join(line.split()) for line in counts))
    os.kill(trace.pid, signal.SIGINT)
    trace.wait(timeout=30)
    Started.processes.remove(trace)
    return per_request_table(raw, requests, f"ab -n {requests} -c {conns}, /{name}")


def per_request_table(raw, requests, load):
    """strace -c's counts divided by the requests served, largest first."""
    per_request = []
    with open(raw) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 5 and parts[0].replace(".", "").isdigit() and parts[-1] != "total":
                per_request.append((parts[-1], int(parts[3]) / requests))
    per_request.sort(key=lambda item: -item[1])
    text = [f"ferry system calls per request (strace -c -f, {load}; failed calls included)"]
    text += [f"{count:10.2f}  {call}" for call, count in per_request]
    text.append(f"{sum(c for _, c in per_request):10.2f}  total")
    return "\n".join(text) + "\n"


def count_syscalls_kept(bench, out, seconds=3, conns=16):
    """strace -c -f on ferry during wrk on persistent connections (HTTP/1.1,
    as browsers keep theirs); returns calls per request."""
    pid = bench.pid("ferry")
    raw = os.path.join(out, "strace-1k-persistent.txt")
    log(f"strace: system calls per request (wrk -c {conns} persistent, /1k, {seconds} s)")
    trace = Started.spawn(["strace", "-c", "-f", "-o", raw, "-p", str(pid)])
    time.sleep(1.0)
    load = run_wrk(bench, "ferry", "1k", conns, seconds, "persistent")
    os.kill(trace.pid, signal.SIGINT)
    trace.wait(timeout=30)
    Started.processes.remove(trace)
    return per_request_table(raw, max(load["requests"], 1),
                             f"wrk -c {conns} persistent, {load['requests']} requests, /1k")


def profile(bench, seconds):
    """Where ferry's CPU goes under the 1 KiB load: syscalls per request, perf samples."""
    out = os.path.join(OUT_DIR, "profile")
    os.makedirs(out, exist_ok=True)
    check_close_announced(bench)
    syscalls = count_syscalls(bench, out, "1k", 2000, 16) + "\n" + \
        count_syscalls_kept(bench, out) + "\n" + count_syscalls(bench, out, "16m", 20, 1)
    with open(os.path.join(out, "syscalls_per_request.txt"), "w") as f:
        f.write(syscalls)

    bench.restart_proxy("ferry")
    data = os.path.join(out, "perf.data")
    log(f"perf record (all CPUs) for {seconds} s under wrk 1k c=16")
    # System-wide sampling: following ferry's threads with -p would allocate
    # perf events for every new request thread and distort what it measures.
    # Frame-pointer call chains: the kernel's are complete, which is what
    # attributing kernel time to system calls needs; user-space costs come from
    # the self samples here and from callgrind.
    record = Started.spawn(["perf", "record", "-a", "-e", "cpu-clock", "-F", "999", "-g",
                            "-o", data],
                           log_path=os.path.join(out, "perf-record.log"))
    time.sleep(1.0)
    load = run_wrk(bench, "ferry", "1k", 16, seconds)
    os.kill(record.pid, signal.SIGINT)
    record.wait(timeout=300)
    Started.processes.remove(record)
    log(f"load during perf: {load['rps']:.0f} req/s, errors {load['errors']}")
    reports = {
        "perf_comm.txt": ["--no-children", "--sort", "comm", "-g", "none"],
        "perf_ferry_self.txt": ["--comm", "ferry", "--percentage", "relative", "--no-children",
                                "--sort", "dso,symbol", "-g", "none"],
        "perf_ferry_children.txt": ["--comm", "ferry", "--percentage", "relative",
                                    "--children", "--sort", "symbol", "-g", "none"],
        "perf_ferry_callers.txt": ["--comm", "ferry", "--percentage", "relative",
                                   "--no-children", "--sort", "symbol", "-g", "caller,0.5"],
    }
    for name, extra in reports.items():
        with open(os.path.join(out, name), "w") as f:
            subprocess.run(["perf", "report", "--stdio", "-i", data, "--percent-limit", "0.05",
                            *extra], stdout=f, stderr=subprocess.DEVNULL, timeout=900)
    user_costs = callgrind(bench, out)
    summary = profile_summary(out, load) + "\n" + user_costs
    with open(os.path.join(out, "profile_summary.txt"), "w") as f:
        f.write(summary)
    print(syscalls)
    print(summary)
    log(f"profile written to {out}")


def perf_rows(path):
    """(percent, kind, symbol) rows of a perf report written with -g none."""
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if not parts or not parts[0].endswith("%"):
                continue
            kinds = [i for i, p in enumerate(parts) if p in ("[k]", "[.]")]
            if kinds and kinds[0] + 1 < len(parts):
                rows.append((float(parts[0].rstrip("%")), parts[kinds[0]], parts[kinds[0] + 1]))
    return rows


KERNEL_GROUPS = [
    ("TCP transmit, with the loopback peer's receive work done in softirq",
     ["__tcp_transmit_skb", "tcp_write_xmit"]),
    ("write()", ["ksys_write", "vfs_write"]),
    ("read()", ["ksys_read", "vfs_read"]),
    ("close() (sockets: FIN sent and processed)", ["__x64_sys_close", "sock_close"]),
    ("connect()", ["__sys_connect", "tcp_v4_connect", "__inet_hash_connect"]),
    ("socket()", ["__sys_socket", "__x64_sys_socket"]),
    ("accept()", ["__x64_sys_accept", "do_accept", "__sys_accept4"]),
    ("poll()", ["do_sys_poll", "__x64_sys_poll"]),
    ("thread creation (clone3)", ["kernel_clone", "__do_sys_clone3", "copy_process"]),
    ("thread exit", ["do_exit", "__x64_sys_exit"]),
    ("madvise() (stack release at thread exit)", ["do_madvise", "__x64_sys_madvise"]),
    ("newfstatat() (perror's fdopen, getaddrinfo's files)", ["__do_sys_newfstatat"]),
    ("openat() (/etc/hosts, /etc/services)", ["do_sys_openat2", "__x64_sys_openat"]),
    ("fcntl()", ["do_fcntl", "__x64_sys_fcntl"]),
    ("dup() (perror)", ["__x64_sys_dup"]),
    ("ioctl() (perror's fdopen)", ["__x64_sys_ioctl"]),
]


def profile_summary(out, load):
    self_rows = perf_rows(os.path.join(out, "perf_ferry_self.txt"))
    kernel = sum(p for p, kind, _ in self_rows if kind == "[k]")
    user = sum(p for p, kind, _ in self_rows if kind == "[.]")
    lines = [f"ferry's CPU under wrk 1 KiB c=16 ({load['rps']:.0f} req/s), perf -a -g, "
             f"share of ferry's own samples",
             f"{kernel:6.1f}%  kernel", f"{user:6.1f}%  user space", "",
             "kernel work, inclusive (groups overlap; where the kernel's frames were",
             "inlined or lost a group reads low, so compare runs before trusting one):"]
    inclusive = {}
    for percent, _, symbol in perf_rows(os.path.join(out, "perf_ferry_children.txt")):
        inclusive[symbol] = max(inclusive.get(symbol, 0.0), percent)
    for label, names in KERNEL_GROUPS:
        share = max(inclusive.get(n, 0.0) for n in names)
        if share > 0:
            lines.append(f"{share:6.1f}%  {label}")
    switch = sum(p for p, _, symbol in self_rows if symbol.startswith("finish_task_switch"))
    lines.append(f"{switch:6.1f}%  finish_task_switch, self (context switches)")
    lines += ["", "top self symbols:"]
    for percent, kind, symbol in sorted(self_rows, reverse=True)[:20]:
        lines.append(f"{percent:6.1f}%  {kind} {symbol}")
    return "\n".join(lines) + "\n"


def callgrind(bench, out, requests=1000):
    """ferry's user-space instructions by function, inclusive, under callgrind."""
    raw = os.path.join(out, "callgrind.out")
    port = FIRST_PORTS["ferry"] + 5
    env = ferry_env(port)
    log(f"callgrind: ab -n {requests} -c 4 through ferry under valgrind")
    process = Started.spawn(["valgrind", "--tool=callgrind", f"--callgrind-out-file={raw}",
                             bench.ferry_bin], env=env,
                            log_path=os.path.join(out, "callgrind.log"))
    wait_for_port("127.0.0.1", port, process, seconds=60)
    subprocess.run(["ab", "-r", "-n", str(requests), "-c", "4", "-X", f"127.0.0.1:{port}",
                    "http://origin.test/1k"], capture_output=True, timeout=600)
    subprocess.run(["callgrind_control", "-d", str(process.pid)], capture_output=True,
                   timeout=120)
    Started.stop(process)
    dumps = [os.path.join(out, f) for f in os.listdir(out) if f.startswith("callgrind.out")]
    if not dumps:
        return "callgrind wrote no profile\n"
    # The dump taken while ferry ran holds the requests; the one at exit is empty.
    biggest = max(dumps, key=os.path.getsize)
    annotate = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100",
                               biggest], capture_output=True, text=True, timeout=300).stdout
    with open(os.path.join(out, "callgrind_inclusive.txt"), "w") as f:
        f.write(annotate)
    lines = [f"user-space instructions per request by function, inclusive (callgrind, "
             f"ab -n {requests} -c 4, 1 KiB):"]
    for line in annotate.splitlines():
        match = re.match(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)$", line)
        if not match:
            continue
        count = int(match.group(1).replace(",", ""))
        where = match.group(2).split(" [")[0]
        function = where.rsplit(":", 1)[-1]
        if function.endswith("'2") or function.startswith("0x") or "PROGRAM TOTALS" in where:
            if "PROGRAM TOTALS" in where:
                lines.append(f"{count / requests:10.0f}  whole process, start-up included")
            continue
        if len(lines) < 45:
            lines.append(f"{count / requests:10.0f}  {function}")
    return "\n".join(lines) + "\n"
