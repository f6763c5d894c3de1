#!/usr/bin/python3
"""A throwaway Kerberos realm on loopback, for tests of the user's integrated logon.

Usage: kdc.py DIR SERVICE_HOST...

Makes the realm VELORA.TEST in DIR (krb5.conf, database, KDC on a free loopback port), adds the
user "user" and one "HTTP/<host>" service for each SERVICE_HOST, logs the user on into the
credential cache DIR/ccache, prints "READY <port>" and runs until it is ended. A program that
sets KRB5_CONFIG=DIR/krb5.conf and KRB5CCNAME=FILE:DIR/ccache then holds the user's ticket.
"""

import ctypes
import os
import signal
import socket
import subprocess
import sys
import time

REALM = "VELORA.TEST"
SBIN = "/usr/sbin"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def main():
    folder, hosts = os.path.abspath(sys.argv[1]), sys.argv[2:]
    os.makedirs(folder, exist_ok=True)
    env = dict(os.environ, KRB5_CONFIG=f"{folder}/krb5.conf", KRB5_KDC_PROFILE=f"{folder}/kdc.conf",
               KRB5CCNAME=f"FILE:{folder}/ccache")

    def run(*args):
        done = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True)
        if done.returncode != 0:
            sys.exit(f"{args[0]} failed: {done.stderr}")

    kdc = None
    for _ in range(5):
        port = free_port()
        with open(env["KRB5_CONFIG"], "w") as f:
            # No host name canonicalisation: the service is named by the URL's host, as typed.
            f.write(f"""[libdefaults]
    default_realm = {REALM}
    dns_canonicalize_hostname = false
    rdns = false
    dns_lookup_kdc = false
    dns_lookup_realm = false
[realms]
    {REALM} = {{
        kdc = 127.0.0.1:{port}
    }}
""")
        with open(env["KRB5_KDC_PROFILE"], "w") as f:
            f.write(f"""[kdcdefaults]
    kdc_ports = {port}
    kdc_tcp_ports = {port}
[realms]
    {REALM} = {{
        database_name = {folder}/principal
        key_stash_file = {folder}/stash
    }}
[logging]
    kdc = FILE:{folder}/kdc.log
""")
        if not os.path.exists(f"{folder}/principal"):
            run(f"{SBIN}/kdb5_util", "create", "-s", "-P", "master-of-a-test-realm", "-r", REALM)
            run(f"{SBIN}/kadmin.local", "-q", "addprinc -randkey user")
            run(f"{SBIN}/kadmin.local", "-q", f"ktadd -k {folder}/user.keytab user")
            for host in hosts:
                run(f"{SBIN}/kadmin.local", "-q", f"addprinc -randkey HTTP/{host}")
        kdc = subprocess.Popen([f"{SBIN}/krb5kdc", "-n", "-r", REALM], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        # The port may have been taken in the meantime: a logon that works proves the KDC.
        for _ in range(50):
            time.sleep(0.1)
            if kdc.poll() is not None:
                break
            if subprocess.run(["kinit", "-k", "-t", f"{folder}/user.keytab", "user"], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                print(f"READY {port}", flush=True)
                signal.signal(signal.SIGTERM, lambda *_: (kdc.kill(), os._exit(0)))
                kdc.wait()
                return
        kdc.kill()
        kdc.wait()
    sys.exit("the KDC did not start")


if __name__ == "__main__":
    main()
