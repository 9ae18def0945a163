#!/usr/bin/env python3
"""Writes the nginx configuration that serves a release folder on loopback.

The tests and tools/run-local use it, so both run against the same server:
static files with Range support (unless --no-ranges), JSON and archive types,
and the bootstrap answer picked by the request's platform argument, as in the
README's server example. nginx runs in the foreground as one process with
every file of its own under PREFIX, its access log (PREFIX/access.log, with
each request's status and Range) included.
"""
import argparse
import os
import sys


def quoted(path):
    return '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'


def configuration(prefix, root, port, ranges):
    prefix_of = lambda name: quoted(os.path.join(prefix, name))
    lines = [
        "daemon off;",
        "master_process off;",
        "worker_processes 1;",
    ]
    # Started as root, nginx would otherwise serve as a user that cannot read the folders.
    if os.geteuid() == 0:
        lines.append("user root;")
    lines += [
        f"pid {prefix_of('nginx.pid')};",
        f"error_log {prefix_of('error.log')} warn;",
        "events { worker_connections 64; }",
        "http {",
        # Every request with its status and Range, for whoever wonders what a pre-starter asked.
        "  log_format release '$remote_addr [$time_local] \"$request\" $status $body_bytes_sent '",
        "                     'range=\"$http_range\" \"$http_user_agent\"';",
        f"  access_log {prefix_of('access.log')} release;",
        "  types { application/json json; application/gzip gz; application/octet-stream rcc; }",
        "  default_type application/octet-stream;",
    ]
    for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
        lines.append(f"  {name}_temp_path {prefix_of(name)};")
    lines += [
        "  server {",
        f"    listen 127.0.0.1:{port};",
        f"    root {quoted(root)};",
    ]
    if not ranges:
        # A server that ignores Range and always sends the whole file.
        lines.append("    max_ranges 0;")
    lines += [
        "    location = /api/v1/bootstrap {",
        '      if ($arg_platform !~ "^[a-z0-9_]+$") { return 404; }',
        "      add_header Cache-Control no-cache;",
        "      try_files /api/v1/bootstrap/$arg_platform.json =404;",
        "    }",
        "    location / { }",
        "  }",
        "}",
    ]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True, help="folder for nginx's own files")
    parser.add_argument("--root", required=True, help="the folder to serve")
    parser.add_argument("--port", required=True, type=int)
    parser.add_argument("--no-ranges", action="store_true", help="ignore Range requests")
    arguments = parser.parse_args()
    sys.stdout.write(configuration(os.path.abspath(arguments.prefix), os.path.abspath(arguments.root),
                                   arguments.port, not arguments.no_ranges))


if __name__ == "__main__":
    main()
