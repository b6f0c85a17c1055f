"""The paths under test: the origin, and each proxy in front of it, started,
restarted and asked for their state."""

import hashlib
import os
import shutil
import socket
import tempfile
import time
import urllib.request

from . import nginx
from .setup import (FIRST_PORTS, METRICS_PORT_OFFSET, ORIGIN_ADDR, ORIGIN_PORT, STATUS_PORT,
                    Started, die)

FERRY_BACKLOG = 2048


def wait_for_port(address, port, process, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            die(f"process {process.args[0]} ended with {process.returncode} at start-up")
        try:
            with socket.create_connection((address, port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    die(f"nothing listens on {address}:{port} after {seconds} s")


def proxy_get(port, url, host, timeout=10):
    """One request through a proxy on a raw socket; returns the whole answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        conn.sendall(f"GET {url} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
        chunks = []
        while True:
            data = conn.recv(65536)
            if not data:
                return b"".join(chunks)
            chunks.append(data)


def is_ok(answer):
    status_line = answer.split(b"\r\n", 1)[0]
    return status_line.startswith(b"HTTP/1.") and status_line[8:13] == b" 200 "


def ferry_env(port):
    # Every load comes from one address here: the per-client share of the
    # waiting room would turn the idle cells into 503s.
    return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LISTEN_PORT": str(port),
            "BACKLOG": str(FERRY_BACKLOG), "CON_TIMEOUT": "10",
            "MAX_WAITING_PER_CLIENT": "1000000"}


class Bench:
    """The run's temp folder, its processes and ports, and what the checks found."""

    def __init__(self, settings, ferry_bin):
        self.settings = settings
        self.tmp = tempfile.mkdtemp(prefix="ferry-bench-")
        # A copy: a rebuild during the run must not change the binary that a
        # restart starts.
        self.ferry_bin = shutil.copy2(ferry_bin, os.path.join(self.tmp, "ferry"))
        with open(ferry_bin, "rb") as f:
            self.ferry_sha256 = hashlib.sha256(f.read()).hexdigest()
        self.www = os.path.join(self.tmp, "www")
        self.access_log = os.path.join(self.tmp, "ferry-access.log")
        self.procs = {}
        self.ports = {"direct": ORIGIN_PORT}
        self.digests = {}
        self.restarts = 0
        self.announces_close = {}
        self.keeps = {}  # path -> whether it held one connection for several requests
        self.incidents = []

    def start_origin(self):
        conf = os.path.join(self.tmp, "nginx.conf")
        with open(conf, "w") as f:
            f.write(nginx.origin_conf(self.tmp, self.www))
        process = Started.spawn(["nginx", "-p", self.tmp, "-c", conf, "-e",
                                 f"{self.tmp}/nginx-error.log"],
                                log_path=os.path.join(self.tmp, "nginx.out"))
        wait_for_port(ORIGIN_ADDR, ORIGIN_PORT, process)
        self.procs["origin"] = process

    def next_port(self, name):
        # A fresh port for every start: ferry binds without SO_REUSEADDR, so its
        # old port stays taken while accepted connections sit in TIME_WAIT.
        self.ports[name] = FIRST_PORTS[name] + 10 * self.restarts
        return self.ports[name]

    def start_ferry(self):
        # The trace is large: it goes to /dev/null.
        return Started.spawn([self.ferry_bin], env=ferry_env(self.next_port("ferry")))

    def start_ferry_access(self):
        # The access log goes to a file, so that its cost is part of the figures.
        env = dict(ferry_env(self.next_port("ferry-access")), LOG="access")
        return Started.spawn([self.ferry_bin], env=env, stdout_path=self.access_log)

    def start_ferry_metrics(self):
        # ferry-access and the metrics page: the difference is the metrics' cost.
        port = self.next_port("ferry-metrics")
        env = dict(ferry_env(port), LOG="access",
                   METRICS_ADDR=f"127.0.0.1:{port + METRICS_PORT_OFFSET}")
        return Started.spawn([self.ferry_bin], env=env,
                             stdout_path=os.path.join(self.tmp, "ferry-metrics-access.log"))

    def metrics_page(self):
        """ferry-metrics' page, as a scraper reads it."""
        port = self.port("ferry-metrics") + METRICS_PORT_OFFSET
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as answer:
            return answer.read().decode()

    def start_tinyproxy(self):
        port = self.next_port("tinyproxy")
        conf = os.path.join(self.tmp, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write(f"""Port {port}
Listen 127.0.0.1
Timeout 600
MaxClients 4096
LogFile "{self.tmp}/tinyproxy.log"
LogLevel Critical
PidFile "{self.tmp}/tinyproxy.pid"
Allow 127.0.0.1
""")
        return Started.spawn(["tinyproxy", "-d", "-c", conf],
                             log_path=os.path.join(self.tmp, "tinyproxy.out"))

    def start_nginx_proxy(self):
        conf = os.path.join(self.tmp, "nginx-proxy.conf")
        with open(conf, "w") as f:
            f.write(nginx.proxy_conf(self.tmp, self.next_port("nginx-proxy"), FERRY_BACKLOG))
        return Started.spawn(["nginx", "-p", self.tmp, "-c", conf, "-e",
                              f"{self.tmp}/nginx-proxy-error.log"],
                             log_path=os.path.join(self.tmp, "nginx-proxy.out"))

    def start_proxy(self, name):
        starts = {"ferry": self.start_ferry, "ferry-access": self.start_ferry_access,
                  "ferry-metrics": self.start_ferry_metrics, "tinyproxy": self.start_tinyproxy, "nginx-proxy": self.start_nginx_proxy}
        process = starts[name]()
        wait_for_port("127.0.0.1", self.port(name), process)
        self.procs[name] = process
        answer = proxy_get(self.port(name), "http://origin.test/1k", "origin.test")
        if not is_ok(answer):
            die(f"{name} does not answer a warm-up request: {answer[:80]!r}")

    def restart_proxy(self, name):
        self.restarts += 1
        Started.stop(self.procs.pop(name))
        self.start_proxy(name)

    def port(self, path):
        return self.ports[path]

    def pid(self, path):
        return self.procs[path].pid

    def origin_status(self):
        """nginx's (connections reading or writing, accepted connections). Idle
        kept connections (nginx's "Waiting") are left out: a proxy may keep
        some to keep.test for as long as it likes."""
        with urllib.request.urlopen(f"http://{ORIGIN_ADDR}:{STATUS_PORT}/status",
                                    timeout=5) as answer:
            lines = answer.read().decode().splitlines()
        states = lines[3].split()
        return int(states[1]) + int(states[3]), int(lines[2].split()[0])

    def upstream_accepts(self):
        return self.origin_status()[1]

    def settle(self, seconds=10):
        """Waits until the origin serves nothing but this status request."""
        deadline = time.monotonic() + seconds
        while self.origin_status()[0] > 1 and time.monotonic() < deadline:
            time.sleep(0.05)
