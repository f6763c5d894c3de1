#!/usr/bin/python3
"""Runs the WinHTTP server tests (a Windows program) under Wine against local test servers.

Starts one server with the trusted certificate and one with a self-signed one on the build
machine, trusts the test CA inside the prefix, and runs the program with their addresses in
VELORA_WINE_SERVER, VELORA_WINE_SELFSIGNED and VELORA_WINE_CLOSED. Exits 77 (skipped) without a
Wine session (WINEPREFIX and DISPLAY).
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from launcher_e2e_wine import WINE, Server, wine_path  # noqa: E402


def routes():
    table = {
        "/text": {"body": "h\u00e9llo",
                  "headers": [["Content-Type", "text/plain; charset=utf-8"],
                              ["X-Test", "one"], ["X-Test", "two"]]},
        "/big": {"body_size": 3 * 1048576 + 7, "seed": 1},
        "/chunked": {"body": "in pieces", "chunked": True},
        "/gzip": {"body": "packed content", "gzip": True},
        "/hop0": {"body": "arrived"},
        "/slow": {"body": "late", "delay_ms": 3000},
        "/stall": {"body_size": 200000, "seed": 2, "stall_after": 1000, "stall_ms": 3000},
        "/dropped": {"body_size": 200000, "seed": 3, "drop_after": 1000},
        "/echo": {"body": "seen"},
    }
    for n in range(1, 7):
        table["/hop%d" % n] = {"status": 302, "headers": [["Location", "/hop%d" % (n - 1)]],
                               "body": "moved"}
    return table


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--program", required=True)
    p.add_argument("--trust-tool", required=True)
    p.add_argument("--ca-dir", required=True)
    p.add_argument("--support", required=True)
    args, rest = p.parse_known_args()
    if not os.environ.get("WINEPREFIX") or not os.environ.get("DISPLAY"):
        print("no Wine session (WINEPREFIX and DISPLAY), skipped")
        return 77
    subprocess.run([WINE, args.trust_tool, wine_path(os.path.join(args.ca_dir, "ca.pem"))],
                   check=True)
    work = tempfile.mkdtemp(prefix="velora-winhttp-")
    servers = []
    try:
        trusted_dir = os.path.join(work, "trusted")
        untrusted_dir = os.path.join(work, "selfsigned")
        os.makedirs(trusted_dir)
        os.makedirs(untrusted_dir)
        trusted = Server(args.support, args.ca_dir, 0, "server", trusted_dir)
        servers.append(trusted)
        trusted.set_routes(routes())
        untrusted = Server(args.support, args.ca_dir, 0, "selfsigned", untrusted_dir)
        servers.append(untrusted)
        env = dict(os.environ)
        # Wine matches only DNS names in certificates: the name, not the address.
        env["VELORA_WINE_SERVER"] = "https://localhost:%d" % trusted.port
        env["VELORA_WINE_SELFSIGNED"] = "https://localhost:%d" % untrusted.port
        env["VELORA_WINE_CLOSED"] = "https://localhost:%d" % closed_port()
        env["VELORA_WINE_SERVER_LOG"] = wine_path(trusted.log)
        return subprocess.run([WINE, args.program] + rest, env=env).returncode
    finally:
        for server in servers:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
