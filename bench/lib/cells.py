"""The measurements, one cell at a time: wrk for request rate, latency and
throughput; ab for CPU per request and upstream connections; a held slow origin
for memory per request in flight. wrk and ab run with either kind of client
connection: a new one per request ("close") or persistent ones."""

import asyncio
import json
import os
import subprocess
import time

from .paths import is_ok
from .procfs import cpu_ticks, rss_kib, status_field, thread_count
from .setup import KIND_HOSTS, ORIGIN_HOSTS, SLOW_ADDR, die


# With a limit, each wrk thread stops after that many answers and says so on
# a line of its own; wrk itself sleeps out its -d unless interrupted.
STOP_AFTER = """
local answered = 0
function response(status, headers, body)
  answered = answered + 1
  if answered == {limit} then
    io.write("STOPPED\\n")
    io.stdout:flush()
    wrk.thread:stop()
  end
end
"""


def lua_script(bench, path, name, kind, limit=None):
    """Without "Connection: close", wrk keeps each connection for its next request."""
    script = os.path.join(bench.tmp, f"{path}-{name}-{kind}.lua")
    host = KIND_HOSTS[kind]
    target = f"/{name}" if path == "direct" else f"http://{host}/{name}"
    close = 'wrk.headers["Connection"] = "close"' if kind == "close" else ""
    stop = STOP_AFTER.format(limit=limit) if limit else ""
    with open(script, "w") as f:
        f.write(f"""wrk.method = "GET"
wrk.path = "{target}"
wrk.headers["Host"] = "{host}"
{close}
{stop}

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


def address_of(bench, path, kind):
    """Where a client connects: the proxy, or for direct the kind's origin."""
    if path == "direct":
        return ORIGIN_HOSTS[KIND_HOSTS[kind]]
    return "127.0.0.1", bench.port(path)


def run_wrk(bench, path, name, conns, seconds, kind="close"):
    """Also the proxy's and the origin's CPU per 10,000 requests over the run,
    and the connections the origin accepted."""
    bench.settle()
    address, port = address_of(bench, path, kind)
    argv = ["wrk", "-t", str(min(2, conns)), "-c", str(conns), "-d", f"{seconds}s",
            "--timeout", "10s", "--latency", "-s", lua_script(bench, path, name, kind),
            f"http://{address}:{port}/"]
    watched = bench.pid(path) if path != "direct" else None
    accepts_before = bench.upstream_accepts()
    origin_before = cpu_ticks(bench.pid("origin"))
    proxy_before = cpu_ticks(watched) if watched else 0
    done = subprocess.run(argv, capture_output=True, text=True, timeout=seconds + 60)
    proxy_after = cpu_ticks(watched) if watched else 0
    origin_after = cpu_ticks(bench.pid("origin"))
    # Less the status request that reads the count.
    accepts = bench.upstream_accepts() - accepts_before - 1
    for line in done.stdout.splitlines():
        if line.startswith("BENCHJSON "):
            result = json.loads(line[len("BENCHJSON "):])
            break
    else:
        if path != "direct" and bench.procs[path].poll() is not None:
            # The proxy ended: the caller's check records it and starts it again.
            return {"requests": 0, "bytes": 0, "errors": 0, "rps": 0.0, "mbps": 0.0,
                    "p50_us": None, "p99_us": None, "closes_after_answer": 0,
                    **{k: 0 for k in ("connect", "read", "write", "status", "timeout")},
                    "cpu_s_per_10k": None, "origin_cpu_s_per_10k": None,
                    "upstream_connections": 0}
        die(f"wrk gave no result for {path} {name} c={conns} {kind}: "
            f"{done.stdout} {done.stderr}")
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
    per_10k = 10000 / max(result["requests"], 1) / os.sysconf("SC_CLK_TCK")
    result["cpu_s_per_10k"] = (proxy_after - proxy_before) * per_10k if watched else None
    result["origin_cpu_s_per_10k"] = (origin_after - origin_before) * per_10k
    result["upstream_connections"] = accepts
    return result


def ab_fields(output):
    fields = {}
    for line in output.splitlines():
        if ":" in line:
            key, value = line.split(":", 1)
            fields[key.strip()] = value.strip()
    return fields


def run_ab_cpu(bench, path, requests, kind="close"):
    """ab -c 16: the proxy's CPU per 10,000 requests and upstream connections.
    Persistent: ab -k, HTTP/1.0 with "Connection: keep-alive", which needs
    "Connection: keep-alive" in the answer to go on; an answer without it
    leaves ab waiting for the close, so it gives up after 5 s of silence."""
    argv = ["ab", "-r", "-n", str(requests), "-c", "16"]
    argv += ["-k", "-s", "5"] if kind != "close" else []
    if path != "direct":
        argv += ["-X", f"127.0.0.1:{bench.port(path)}"]
    argv.append(f"http://{KIND_HOSTS[kind]}/1k")
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
        "kept_alive": int(fields.get("Keep-Alive requests", "0")),
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
