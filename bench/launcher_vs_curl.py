#!/usr/bin/python3
"""The launcher beside curl against the same local HTTPS server, each run a fresh process with a
fresh TLS connection.

1. No-update path: the test build of the launcher (settings newer than the server) against
   `curl -o /dev/null` of the version document; prints the median wall times and their ratio.
2. Download: the launcher's download step (download_bench) against `curl -o FILE` for a large
   updater; prints the ratio of wall times and the launcher's peak memory beside the body size.

The download median takes 11 downloads by default: the page cache writing 256 MiB back lands
on whichever run is going, and with three the ratio swings by a factor of two.

Usage: launcher_vs_curl.py [--build build/linux] [--runs 30] [--size-mib 256] [--downloads 11]
"""

import argparse
import fcntl
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PORT = 18443  # the port the launcher's test build is aimed at


def timed(cmd, env=None):
    """Runs cmd; returns (wall seconds, peak RSS in bytes, exit status)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_maxrss * 1024, proc.returncode


def start_server(ca_dir, routes_file, log_file):
    server = subprocess.Popen(
        [sys.executable, os.path.join(ROOT, "tests/support/https_server.py"), "--port", str(PORT),
         "--cert", os.path.join(ca_dir, "server.pem"), "--key", os.path.join(ca_dir, "server.key"),
         "--routes", routes_file, "--log", log_file],
        stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline()
    if not line.startswith("READY"):
        server.kill()
        sys.exit("server did not start")
    return server


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build/linux"))
    ap.add_argument("--runs", type=int, default=30)
    ap.add_argument("--size-mib", type=int, default=256)
    ap.add_argument("--downloads", type=int, default=11)
    args = ap.parse_args()

    # The end-to-end tests use the same fixed port: take turns with them.
    lock = open(f"/tmp/velora-launcher-port-{PORT}.lock", "a")
    fcntl.flock(lock, fcntl.LOCK_EX)

    launcher = os.path.join(args.build, "launcher", "Velora_Launcher_testserver")
    download = os.path.join(args.build, "bench", "download_bench")
    ca_dir = os.path.join(args.build, "test-ca")
    for path in (launcher, download):
        if not os.path.exists(path):
            sys.exit(f"missing {path}: build the linux preset first")
    subprocess.run(["sh", os.path.join(ROOT, "tests/support/make_test_ca.sh"), ca_dir], check=True)
    ca = os.path.join(ca_dir, "ca.pem")

    work = tempfile.mkdtemp(prefix="velora-bench-")
    try:
        size = args.size_mib * 1024 * 1024
        routes = {
            "/library/controllers/velora-softwareversion": {"status": 200, "body": "42\r\n"},
            "/library/controllers/software/updater.exe": {"status": 200, "body_size": size,
                                                          "seed": 7},
        }
        routes_file = os.path.join(work, "routes.json")
        with open(routes_file, "w") as f:
            json.dump(routes, f)
        server = start_server(ca_dir, routes_file, os.path.join(work, "requests.jsonl"))
        try:
            base = f"https://localhost:{PORT}/library/controllers/"
            data_home = os.path.join(work, "data")
            install = os.path.join(data_home, "Velora Player")
            os.makedirs(install)
            with open(os.path.join(install, "settings.ini"), "w") as f:
                f.write("[Velora Player]\nLocalVersion=100\n")
            shutil.copy("/bin/true", os.path.join(install, "Velora_Player.exe"))
            env = dict(os.environ, HOME=work, XDG_DATA_HOME=data_home)
            dl_env = dict(env)
            env.pop("DISPLAY", None)

            curl_version = ["curl", "-s", "--cacert", ca, "-o", "/dev/null", base +
                            "velora-softwareversion"]
            # Warm both up once (page cache, server threads), then alternate runs.
            timed([launcher], env)
            timed(curl_version)
            launcher_times, curl_times = [], []
            for _ in range(args.runs):
                launcher_times.append(timed([launcher], env)[0])
                curl_times.append(timed(curl_version)[0])
            lm, cm = statistics.median(launcher_times), statistics.median(curl_times)
            print(f"no-update path: launcher {lm * 1000:.1f} ms, curl {cm * 1000:.1f} ms "
                  f"(medians of {args.runs}); ratio {lm / cm:.2f} (target <= 1.25)")

            out = os.path.join(work, "updater.exe")
            url = base + "software/updater.exe"
            timed(["curl", "-s", "--cacert", ca, "-o", out, url])  # the server makes the body once
            dl_times, dl_peak, curl_dl = [], 0, []
            for _ in range(args.downloads):
                # The download step shows its progress window where there is a display.
                wall, peak, status = timed([download, url, out], dl_env)
                if status != 0 or os.path.getsize(out) != size:
                    sys.exit("download_bench failed")
                dl_times.append(wall)
                dl_peak = max(dl_peak, peak)
                curl_dl.append(timed(["curl", "-s", "--cacert", ca, "-o", out, url])[0])
            dm, cdm = statistics.median(dl_times), statistics.median(curl_dl)
            mib = 1024 * 1024
            print(f"download {args.size_mib} MiB: launcher {dm:.2f} s, curl {cdm:.2f} s; "
                  f"ratio {dm / cdm:.2f} (target <= 1.1)")
            print(f"download peak memory: {dl_peak / mib:.1f} MiB for a {args.size_mib} MiB body "
                  f"(the body goes to disk as it arrives: the peak should not follow its size)")
        finally:
            server.terminate()
            server.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
