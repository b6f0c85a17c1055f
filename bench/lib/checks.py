"""Checks that keep the figures honest: every path returns the origin's bytes,
on a new connection and on one kept for several requests, says whether it
closes, and is still running after each cell."""

import hashlib
import os
import subprocess

from .paths import proxy_get
from .setup import KIND_HOSTS, PATHS, SIZES, log


def check_bodies(bench):
    """Fetches every file through every path with curl; records status and sameness."""
    results = {}
    for path in PATHS:
        for name in SIZES:
            target = os.path.join(bench.tmp, f"body-{path}-{name}")
            argv = ["curl", "-s", "-o", target, "-w", "%{http_code}", "--max-time", "60"]
            if path != "direct":
                argv += ["-x", f"http://127.0.0.1:{bench.port(path)}"]
            code = subprocess.run(argv + [f"http://origin.test/{name}"],
                                  capture_output=True, text=True).stdout.strip()
            digest = ""
            if os.path.exists(target):
                with open(target, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                os.remove(target)
            results[f"{path}/{name}"] = {"http_code": code,
                                         "identical": digest == bench.digests[name]}
    return results


def check_persistent_bodies(bench):
    """Fetches every file through each path with one curl, which keeps its
    connection for the next file if the path lets it. Records whether each
    body is right and how many connections it took; a path that needed only
    one holds persistent connections (bench.keeps)."""
    results = {}
    host = KIND_HOSTS["persistent"]
    for path in PATHS:
        argv = ["curl", "-s", "-w", "%{http_code} %{num_connects}\n", "--max-time", "60"]
        if path != "direct":
            argv += ["-x", f"http://127.0.0.1:{bench.port(path)}"]
        targets = {name: os.path.join(bench.tmp, f"kept-{path}-{name}") for name in SIZES}
        for name, target in targets.items():
            argv += ["-o", target, f"http://{host}/{name}"]
        lines = subprocess.run(argv, capture_output=True, text=True).stdout.split()
        codes, connects = lines[0::2], [int(n) for n in lines[1::2] if n.isdigit()]
        identical = len(codes) == len(SIZES) and all(c == "200" for c in codes)
        for name, target in targets.items():
            digest = ""
            if os.path.exists(target):
                with open(target, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                os.remove(target)
            identical = identical and digest == bench.digests[name]
        results[path] = {"identical": identical, "codes": codes, "connections": sum(connects)}
        bench.keeps[path] = identical and sum(connects) == 1
    return results


def check_close_announced(bench):
    """Whether each path's answer says "Connection: close" before it closes."""
    for path in bench.ports:
        if path == "direct":
            answer = proxy_get(bench.port(path), "/1k", "origin.test")
        else:
            answer = proxy_get(bench.port(path), "http://origin.test/1k", "origin.test")
        head = answer.split(b"\r\n\r\n", 1)[0].decode("latin-1").lower().split("\r\n")
        version = head[0].split(" ", 1)[0]
        connection = [line.split(":", 1)[1].strip() for line in head[1:]
                      if line.startswith("connection:")]
        bench.announces_close[path] = "close" in connection or (
            version == "http/1.0" and "keep-alive" not in connection)
    return dict(bench.announces_close)


def check_alive(bench, path, label, result):
    """Records and restarts a proxy that ended during a cell."""
    process = bench.procs.get(path)
    if process is None or process.poll() is None:
        return
    code = process.returncode
    how = f"signal {-code}" if code < 0 else f"exit status {code}"
    log(f"  {path} ended during {label} ({how}); restarting it")
    result["proxy_ended"] = how
    result["errors"] = result.get("errors", 0) + 1
    bench.incidents.append(f"{path} ended during {label} ({how})")
    bench.restart_proxy(path)


def access_log_lines(bench):
    """(lines, bytes) of ferry-access's log, to show that it was written."""
    lines = size = 0
    try:
        with open(bench.access_log, "rb") as f:
            while block := f.read(1 << 20):
                lines += block.count(b"\n")
                size += len(block)
    except OSError:
        pass
    return lines, size
