"""The measurements, one cell at a time: wrk for request rate, latency and
throughput; ab for CPU per request and upstream connections; a held slow origin
for memory per request in flight."""

import asyncio
import json
import os
import subprocess
import time

from .paths import is_ok
from .procfs import cpu_ticks, rss_kib, status_field, thread_count
from .setup import SLOW_ADDR, die


def lua_script(bench, path, name):
    script = os.path.join(bench.tmp, f"{path}-{name}.lua")
    target = f"/{name}" if path == "direct" else f"http://origin.test/{name}"
    with open(script, "w") as f:
        f.write(f"""wrk.method = "GET"
wrk.path = "{target}"
wrk.headers["Host"] = "origin.test"
wrk.headers["Connection"] = "close"

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    'BENCHJSON {{"requests":%d,"bytes":%d,"duration_us":%d,"connect":%d,"read":%d,' ..
    '"write":%d,"status":%d,"timeout":%d,"p50_us":%d,"p99_us":%d,"max_us":%d}}\\n',
    summary.requests, summary.bytes, summary.duration, e.connect, e.read, e.write,
    e.status, e.timeout, latency:percentile(50), latency:percentile(99), latency.max))
end
""")
    return script


def run_wrk(bench, path, name, conns, seconds):
    bench.settle()
    argv = ["wrk", "-t", str(min(2, conns)), "-c", str(conns), "-d", f"{seconds}s",
            "--timeout", "10s", "--latency", "-s", lua_script(bench, path, name),
            f"http://127.0.0.1:{bench.port(path)}/"]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=seconds + 60)
    for line in done.stdout.splitlines():
        if line.startswith("BENCHJSON "):
            result = json.loads(line[len("BENCHJSON "):])
            break
    else:
        die(f"wrk gave no result for {path} {name} c={conns}: {done.stdout} {done.stderr}")
    seconds_run = result["duration_us"] / 1e6
    # A path that closes an HTTP/1.1 answer without "Connection: close" makes wrk
    # try a second request on the connection and count the close as a read
    # error, after it has counted the answer complete. At most one such close
    # follows each complete answer; read errors beyond that are failures.
    closes = 0 if bench.announces_close[path] else min(result["read"], result["requests"])
    result["closes_after_answer"] = closes
    result["errors"] = sum(result[k] for k in ("connect", "read", "write", "status",
                                               "timeout")) - closes
    result["rps"] = result["requests"] / seconds_run
    result["mbps"] = result["bytes"] / seconds_run / 1e6
    return result


def ab_fields(output):
    fields = {}
    for line in output.splitlines():
        if ":" in line:
            key, value = line.split(":", 1)
            fields[key.strip()] = value.strip()
    return fields


def run_ab_cpu(bench, path, requests):
    """ab -c 16: the proxy's CPU per 10,000 requests and upstream connections."""
    argv = ["ab", "-r", "-n", str(requests), "-c", "16"]
    if path != "direct":
        argv += ["-X", f"127.0.0.1:{bench.port(path)}"]
    argv.append("http://origin.test/1k")
    watched = bench.pid(path) if path != "direct" else None
    bench.settle()
    status_before = bench.upstream_accepts()
    status_again = bench.upstream_accepts()
    status_cost = status_again - status_before
    origin_before = cpu_ticks(bench.pid("origin"))
    proxy_before = cpu_ticks(watched) if watched else 0
    done = subprocess.run(argv, capture_output=True, text=True, timeout=600)
    proxy_after = cpu_ticks(watched) if watched else 0
    origin_after = cpu_ticks(bench.pid("origin"))
    accepts = bench.upstream_accepts() - status_again - status_cost
    fields = ab_fields(done.stdout)
    complete = int(fields.get("Complete requests", "0"))
    failed = int(fields.get("Failed requests", "0").split()[0])
    non2xx = int(fields.get("Non-2xx responses", "0"))
    write_errors = int(fields.get("Write errors", "0"))
    ticks = os.sysconf("SC_CLK_TCK")
    per_10k = 10000 / max(complete, 1)
    return {
        "requests": requests, "complete": complete, "failed": failed, "non2xx": non2xx,
        "write_errors": write_errors, "ab_exit": done.returncode,
        "errors": (requests - complete) + failed + non2xx + write_errors,
        "rps": float(fields.get("Requests per second", "0").split()[0]),
        "cpu_s_per_10k": (proxy_after - proxy_before) / ticks * per_10k if watched else None,
        "origin_cpu_s_per_10k": (origin_after - origin_before) / ticks * per_10k,
        "upstream_connections": accepts,
        "upstream_per_request": accepts / max(complete, 1),
    }


def run_in_flight(bench, path, count, hold_limit=30.0):
    """Holds `count` requests at a slow origin; returns RSS growth per request."""
    bench.restart_proxy(path)
    time.sleep(0.3)
    pid = bench.pid(path)
    idle = rss_kib(pid)
    idle_threads = thread_count(pid)
    result = asyncio.run(hold_requests(bench.port(path), count, pid, hold_limit))
    result.update({"in_flight": count, "idle_rss_kib": idle, "idle_threads": idle_threads})
    result["rss_kib_per_request"] = (result["peak_rss_kib"] - idle) / count
    result["errors"] = count - result["answered"]
    try:
        result["vm_hwm_kib"] = status_field(pid, "VmHWM")
    except OSError:
        result["vm_hwm_kib"] = None
    return result


SLOW_BODY = b"slow origin answer " * 4


async def hold_requests(port, count, pid, hold_limit):
    held = 0
    all_held = asyncio.Event()
    release = asyncio.Event()

    async def origin(reader, writer):
        nonlocal held
        try:
            await reader.readuntil(b"\r\n\r\n")
            held += 1
            if held >= count:
                all_held.set()
            try:
                await asyncio.wait_for(release.wait(), hold_limit)
            except asyncio.TimeoutError:
                pass
            writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
                         + str(len(SLOW_BODY)).encode() + b"\r\nConnection: close\r\n\r\n"
                         + SLOW_BODY)
            await writer.drain()
        except (OSError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()

    async def client():
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
            writer.write(b"GET http://slow.test/ HTTP/1.1\r\nHost: slow.test\r\n"
                         b"Connection: close\r\n\r\n")
            await writer.drain()
            answer = await asyncio.wait_for(reader.read(), hold_limit + 30)
            writer.close()
            return is_ok(answer) and answer.endswith(SLOW_BODY)
        except (OSError, asyncio.TimeoutError):
            return False

    server = await asyncio.start_server(origin, SLOW_ADDR, 80, backlog=4096)
    started = time.monotonic()
    clients = [asyncio.create_task(client()) for _ in range(count)]
    try:
        await asyncio.wait_for(all_held.wait(), hold_limit)
    except asyncio.TimeoutError:
        pass
    reached = held
    gathered = time.monotonic() - started
    peak, threads = 0, 0
    for _ in range(10):
        peak = max(peak, rss_kib(pid))
        threads = max(threads, thread_count(pid))
        await asyncio.sleep(0.1)
    release.set()
    answers = await asyncio.gather(*clients)
    server.close()
    await server.wait_closed()
    return {"held_at_origin": reached, "seconds_to_hold_all": gathered,
            "peak_rss_kib": peak, "peak_threads": threads, "answered": sum(answers)}
