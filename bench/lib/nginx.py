"""The two nginx configurations: the origin, and nginx as a forward proxy.

Each lives in the run's temp folder with its own pid file, error log and
temp paths, so neither touches the machine's nginx."""

import os

from .setup import DESCRIPTORS, KEEP_ADDR, ORIGIN_ADDR, ORIGIN_HOSTS, ORIGIN_PORT, STATUS_PORT


def temp_paths(tmp, name):
    """nginx's temp paths inside the run's temp folder (it creates them at start)."""
    temp = os.path.join(tmp, f"{name}-temp")
    os.makedirs(temp, exist_ok=True)
    return "\n".join(f"    {kind}_temp_path {temp}/{kind};"
                     for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))


def origin_conf(tmp, www):
    """origin.test closes after each answer; keep.test, the same files on its
    own address, keeps its connections, long enough for the idle cells and
    with no count limit, so that no cell sees the origin end one."""
    # Workers run as root: they read the run's temp folder, which only root may enter.
    return f"""
user root;
worker_processes 1;
daemon off;
pid {tmp}/nginx.pid;
error_log {tmp}/nginx-error.log error;
worker_rlimit_nofile {DESCRIPTORS};
events {{ worker_connections 16384; }}
http {{
    access_log off;
    keepalive_timeout 0;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
{temp_paths(tmp, "nginx")}
    server {{
        listen {ORIGIN_ADDR}:{ORIGIN_PORT} backlog=4096;
        server_name origin.test;
        root {www};
        location / {{ }}
    }}
    server {{
        listen {KEEP_ADDR}:{ORIGIN_PORT} backlog=4096;
        server_name keep.test;
        root {www};
        keepalive_timeout 300s;
        keepalive_requests 1000000;
        location / {{ }}
    }}
    server {{
        listen {ORIGIN_ADDR}:{STATUS_PORT};
        location = /status {{ stub_status; }}
    }}
}}
"""


def proxy_conf(tmp, port, backlog):
    """nginx as its users set it up for forward proxying with keep-alive: the
    request's own host and URI, upstream groups named after the origin's hosts
    (so no resolver is needed), each keeping up to 64 idle connections per
    worker, HTTP/1.1 upstream without "Connection: close", client connections
    kept 60 s (ferry's KEEPALIVE_TIMEOUT), answers passed on as they arrive.
    One configuration serves both kinds of connection, as ferry's defaults do."""
    upstreams = "\n".join(f"    upstream {name} {{ server {address}:{origin_port}; keepalive 64; }}"
                          for name, (address, origin_port) in ORIGIN_HOSTS.items())
    # The listen backlog is ferry's BACKLOG, so that neither path drops a burst
    # of connections the other would queue.
    return f"""
user root;
worker_processes {os.cpu_count()};
daemon off;
pid {tmp}/nginx-proxy.pid;
error_log {tmp}/nginx-proxy-error.log error;
worker_rlimit_nofile {DESCRIPTORS};
events {{ worker_connections 16384; }}
http {{
    access_log off;
    keepalive_timeout 60s;
{temp_paths(tmp, "nginx-proxy")}
{upstreams}
    server {{
        listen 127.0.0.1:{port} backlog={backlog};
        location / {{
            proxy_pass http://$host$request_uri;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_buffering off;
        }}
    }}
}}
"""
