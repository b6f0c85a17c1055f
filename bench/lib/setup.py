"""What every run stands on: the fixed addresses and ports, the packages it
needs, the private namespace, the origin's files, and the processes it starts
(each in a group of its own, so that exit can stop them all)."""

import hashlib
import importlib.util
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT_DIR = os.path.join(REPO, "bench", "out")

ORIGIN_ADDR = "127.0.0.1"
ORIGIN_PORT = 80
STATUS_PORT = 8081
SLOW_ADDR = "127.0.0.2"
KEEP_ADDR = "127.0.0.3"
# The host names of the run's hosts file: (address, port) of the origin behind each.
ORIGIN_HOSTS = {"origin.test": (ORIGIN_ADDR, ORIGIN_PORT), "slow.test": (SLOW_ADDR, 80),
                "keep.test": (KEEP_ADDR, 80)}
# The two kinds of client connection, and the origin's host for each: a new
# connection for every request ("Connection: close"), and persistent ones,
# which keep.test (the origin's server block with keep-alive on) keeps too.
KIND_HOSTS = {"close": "origin.test", "persistent": "keep.test"}
KINDS = list(KIND_HOSTS)
SIZES = {"1k": 1024, "64k": 64 * 1024, "1m": 1024 * 1024, "16m": 16 * 1024 * 1024}
PATHS = ["direct", "ferry", "ferry-access", "ferry-metrics", "tinyproxy", "nginx-proxy"]
PROXIES = PATHS[1:]
# ferry-metrics is ferry-access with METRICS_ADDR: it shows what the metrics
# cost in the request cells. Its memory per request or connection is
# ferry-access's, so the memory cells leave it out.
MEMORY_PROXIES = [p for p in PROXIES if p != "ferry-metrics"]
# The first port of each proxy. Each restart adds 10, so the last digit keeps
# the proxies' ports (and the status port, 8081) apart. ferry-metrics serves
# its page 1000 above its own port.
FIRST_PORTS = {"ferry": 8080, "ferry-access": 8084, "ferry-metrics": 8082, "nginx-proxy": 8086,
               "tinyproxy": 8888}
METRICS_PORT_OFFSET = 1000

# command -> Debian package that provides it.
NEEDED_COMMANDS = {
    "nginx": "nginx",
    "wrk": "wrk",
    "ab": "apache2-utils",
    "tinyproxy": "tinyproxy",
    "curl": "curl",
    "unshare": "util-linux",
    "ip": "iproute2",
}
PROFILE_COMMANDS = {"perf": "linux-perf", "strace": "strace", "valgrind": "valgrind"}
SYSCALLS_COMMANDS = {"perf": "linux-perf"}
# Python module -> Debian package that provides it (for the interpreter at /usr/bin).
NEEDED_MODULES = {"matplotlib": "python3-matplotlib"}
# Descriptors for the run and everything it starts: a proxy that keeps a
# server connection for each of 10,000 idle clients needs two each, and the
# client side opens the 10,000 too.
DESCRIPTORS = 65536


def log(message):
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def die(message):
    log("error: " + message)
    sys.exit(2)


# ---------------------------------------------------------------- outside the namespace


def ensure_packages(commands, modules):
    missing = sorted({pkg for cmd, pkg in commands.items() if shutil.which(cmd) is None} |
                     {pkg for mod, pkg in modules.items() if importlib.util.find_spec(mod) is None})
    if not os.path.exists("/etc/services"):
        missing.append("netbase")
    if not missing:
        return
    log("installing " + " ".join(missing))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-qq", *missing], check=True, env=env,
                   stdout=subprocess.DEVNULL)


def ferry_binary():
    path = os.environ.get("FERRY_BIN", os.path.join(REPO, "build", "ferry"))
    path = os.path.abspath(path)
    if not os.access(path, os.X_OK):
        die(f"no ferry binary at {path}: build it (make build) or set FERRY_BIN")
    return path


# ---------------------------------------------------------------- inside the namespace


def set_up_namespace(tmp):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    # This network namespace is private, so these touch nothing outside it.
    # Listening ports stay below the ephemeral range, so no outgoing
    # connection can take one that a proxy needs to bind.
    for name, value in [("net/ipv4/ip_local_port_range", "10000 65000"),
                        ("net/ipv4/tcp_tw_reuse", "1"),
                        ("net/core/somaxconn", "65535"),
                        ("net/ipv4/tcp_max_syn_backlog", "65535")]:
        try:
            with open(f"/proc/sys/{name}", "w") as f:
                f.write(value)
        except OSError as error:
            log(f"cannot set {name}: {error}")
    hosts = os.path.join(tmp, "hosts")
    with open(hosts, "w") as f:
        f.write("127.0.0.1 localhost\n")
        f.writelines(f"{address} {name}\n" for name, (address, _) in ORIGIN_HOSTS.items())
    subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)
    # Raising the hard limit needs CAP_SYS_RESOURCE; without it the hard limit
    # given is kept. Every process started inherits both.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < DESCRIPTORS:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (DESCRIPTORS, DESCRIPTORS))
        except (ValueError, OSError):
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    else:
        resource.setrlimit(resource.RLIMIT_NOFILE, (DESCRIPTORS, hard))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    log(f"descriptor limit {soft} (hard {hard})")


def write_files(www):
    """Writes the origin's pseudo-random files; returns their sha256 by name."""
    os.makedirs(www)
    generator = random.Random(20240601)
    digests = {}
    for name, size in SIZES.items():
        data = generator.randbytes(size)
        with open(os.path.join(www, name), "wb") as f:
            f.write(data)
        digests[name] = hashlib.sha256(data).hexdigest()
    return digests


class Started:
    """Every process the benchmark starts, so that exit can stop them all."""

    processes = []

    @classmethod
    def spawn(cls, argv, env=None, log_path=None, stdout_path=None):
        """Output goes to log_path (or nowhere); stdout_path, if given, takes stdout."""
        out = open(log_path, "ab") if log_path else subprocess.DEVNULL
        stdout = open(stdout_path, "ab") if stdout_path else out
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                                   stderr=out, start_new_session=True)
        for opened in {out, stdout} - {subprocess.DEVNULL}:
            opened.close()
        cls.processes.append(process)
        return process

    @classmethod
    def stop(cls, process):
        if process.poll() is None:
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                process.wait()
        if process in cls.processes:
            cls.processes.remove(process)

    @classmethod
    def stop_all(cls):
        for process in list(reversed(cls.processes)):
            cls.stop(process)
