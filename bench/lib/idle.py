"""Idle persistent connections: N clients each make one request through the
proxy and then stay open without sending a byte, as browsers keep theirs
between pages. What the proxy's resident memory, threads and open descriptors
grow by is what holding one such connection costs. A second request on every connection at
the end shows that the proxy still held them all."""

import asyncio
import hashlib
import resource
import time

from .paths import is_ok
from .procfs import descriptor_count, rss_kib, thread_count
from .setup import KIND_HOSTS

# Descriptors a proxy needs besides its connections: listener, epoll, logs.
SPARE_DESCRIPTORS = 64
# Connections opened (or asked again) at once: a burst of 10,000 would only
# measure the listen backlog.
AT_ONCE = 256
# A proxy's request threads may linger after their request (ferry parks them
# up to a second); the samples are taken after this pause.
QUIET_SECONDS = 1.5


def idle_host(counts):
    """The origin the idle clients ask, the same for every count so that the
    rows compare. keep.test keeps its connections, so a proxy that keeps a
    server connection per client needs two descriptors each; where the hard
    limit cannot give that (raising it needs CAP_SYS_RESOURCE), origin.test,
    which closes after each answer, leaves the proxy only the client's."""
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    needed = 2 * max(counts) + SPARE_DESCRIPTORS
    if hard == resource.RLIM_INFINITY or hard >= needed:
        return KIND_HOSTS["persistent"]
    return KIND_HOSTS["close"]


def run_idle(bench, path, count, host, limit=60.0):
    """Holds `count` idle persistent connections through `path`, each after
    one request to `host`; returns RSS, threads and descriptors per
    connection and how many answered before and after."""
    bench.restart_proxy(path)
    time.sleep(QUIET_SECONDS)
    pid = bench.pid(path)
    idle = rss_kib(pid)
    idle_threads = thread_count(pid)
    idle_descriptors = descriptor_count(pid)
    request = f"GET http://{host}/1k HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()
    result = asyncio.run(hold_idle(bench.port(path), count, pid, request, bench.digests["1k"],
                                   limit))
    result.update({"connections": count, "host": host, "idle_rss_kib": idle,
                   "idle_threads": idle_threads, "idle_descriptors": idle_descriptors})
    result["rss_kib_per_connection"] = (result["peak_rss_kib"] - idle) / count
    result["threads_per_connection"] = (result["peak_threads"] - idle_threads) / count
    result["descriptors_per_connection"] = (result["peak_descriptors"] - idle_descriptors) / count
    result["answered_share"] = result["answered"] / count
    result["errors"] = count - result["answered"]
    return result


async def ask(reader, writer, request, digest, limit):
    """One request on an open connection; true when the whole answer is right."""
    writer.write(request)
    await writer.drain()
    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), limit)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    body = await asyncio.wait_for(reader.readexactly(length), limit)
    return is_ok(head) and hashlib.sha256(body).hexdigest() == digest


async def hold_idle(port, count, pid, request, digest, limit):
    gate = asyncio.Semaphore(AT_ONCE)
    failures = (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ValueError)

    async def first(_):
        async with gate:
            try:
                reader, writer = await asyncio.wait_for(
                    asyncio.open_connection("127.0.0.1", port), limit)
            except failures:
                return None
            try:
                if await ask(reader, writer, request, digest, limit):
                    return reader, writer
            except failures:
                pass
            writer.close()
            return None

    async def again(connection):
        async with gate:
            try:
                return await ask(*connection, request, digest, limit)
            except failures:
                return False

    started = time.monotonic()
    opened = [c for c in await asyncio.gather(*(first(i) for i in range(count))) if c]
    seconds_to_open = time.monotonic() - started
    await asyncio.sleep(QUIET_SECONDS)
    peak, threads, descriptors = 0, 0, 0
    for _ in range(10):
        peak = max(peak, rss_kib(pid))
        threads = max(threads, thread_count(pid))
        descriptors = max(descriptors, descriptor_count(pid))
        await asyncio.sleep(0.1)
    answers = await asyncio.gather(*(again(c) for c in opened))
    for _, writer in opened:
        writer.close()
    return {"held": len(opened), "answered": sum(answers), "seconds_to_open": seconds_to_open,
            "peak_rss_kib": peak, "peak_threads": threads, "peak_descriptors": descriptors}


def marginal(smaller, larger):
    """RSS per connection between two counts: what each further idle
    connection costs, without the part that does not grow with their number
    (thread stacks left from the requests that opened them, pools)."""
    grown = ((larger["peak_rss_kib"] - larger["idle_rss_kib"]) -
             (smaller["peak_rss_kib"] - smaller["idle_rss_kib"]))
    return {"rss_kib_per_connection": grown / (larger["connections"] - smaller["connections"])}
