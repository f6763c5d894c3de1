#!/usr/bin/python3
"""A proxy for tests that answers CONNECT as it is told, honest or not.

Logs every request it receives as one JSON line (method, target, headers) and prints
"READY <port>" once it listens on 127.0.0.1. Standard library only.

The answer (--answer, JSON): status, reason, headers ([name, value] pairs; "{port}" in a value
becomes the listening port), body, and
  tunnel: after a 2xx answer, relay bytes between the client and the CONNECT target;
  auth: {"user", "password"}: answer 407 with a Basic challenge (and the answer's headers) until
        the CONNECT carries those credentials, then tunnel.
"""

import argparse
import base64
import json
import select
import socket
import sys
import threading


class Proxy:
    def __init__(self, answer, log):
        self.answer = answer
        self.log = open(log, "a", encoding="utf-8") if log else None
        self.log_lock = threading.Lock()
        self.port = 0

    def write_log(self, method, target, headers):
        if self.log:
            with self.log_lock:
                self.log.write(json.dumps({"method": method, "path": target,
                                           "headers": headers}) + "\n")
                self.log.flush()

    def serve(self, conn):
        try:
            conn.settimeout(30)
            reader = conn.makefile("rb")
            while True:
                line = reader.readline(65537)
                if not line:
                    return
                parts = line.decode("latin-1").rstrip("\r\n").split(" ")
                if len(parts) != 3:
                    return
                method, target, _ = parts
                headers = []
                while True:
                    h = reader.readline(65537)
                    if not h or h in (b"\r\n", b"\n"):
                        break
                    name, sep, value = h.decode("latin-1").rstrip("\r\n").partition(":")
                    if sep:
                        headers.append([name, value.strip()])
                self.write_log(method, target, headers)
                if not self.respond(conn, method, target, headers):
                    return
        except (OSError, ValueError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def authorized(self, headers):
        auth = self.answer.get("auth")
        if not auth:
            return True
        expected = "Basic " + base64.b64encode(
            f'{auth["user"]}:{auth["password"]}'.encode("utf-8")).decode("ascii")
        return any(n.lower() == "proxy-authorization" and v == expected for n, v in headers)

    def send(self, conn, status, reason, headers, body):
        head = f"HTTP/1.1 {status} {reason}\r\n"
        head += "".join(f"{n}: {str(v).replace('{port}', str(self.port))}\r\n"
                        for n, v in headers)
        conn.sendall(head.encode("latin-1") + b"\r\n" + body)

    def respond(self, conn, method, target, headers):
        """Answers one request; returns whether the connection takes another."""
        answer = self.answer
        extra = [list(h) for h in answer.get("headers", [])]
        body = answer.get("body", "").encode("utf-8")
        if not self.authorized(headers):
            challenge = [["Proxy-Authenticate", 'Basic realm="hostile"']] + extra
            challenge.append(["Content-Length", str(len(body))])
            self.send(conn, 407, "Proxy Authentication Required", challenge, body)
            return True
        if method != "CONNECT" or not (answer.get("tunnel") or answer.get("auth")):
            if not any(n.lower() == "content-length" for n, _ in extra):
                extra.append(["Content-Length", str(len(body))])
            self.send(conn, int(answer.get("status", 502)), answer.get("reason", "Hostile"),
                      extra, body)
            return not answer.get("close")
        host, _, port = target.rpartition(":")
        try:
            upstream = socket.create_connection((host, int(port)), timeout=10)
        except (OSError, ValueError):
            self.send(conn, 502, "Bad Gateway", [["Content-Length", "0"]], b"")
            return False
        self.send(conn, 200, "Connection established", [], b"")
        self.relay(conn, upstream)
        return False

    @staticmethod
    def relay(a, b):
        a.settimeout(None)
        b.settimeout(None)
        try:
            while True:
                ready, _, _ = select.select([a, b], [], [], 30)
                if not ready:
                    return
                for s in ready:
                    data = s.recv(65536)
                    if not data:
                        return
                    (b if s is a else a).sendall(data)
        except OSError:
            pass
        finally:
            b.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--answer", default="{}")
    p.add_argument("--log")
    args = p.parse_args()
    proxy = Proxy(json.loads(args.answer), args.log)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    proxy.port = listener.getsockname()[1]
    print(f"READY {proxy.port}", flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=proxy.serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
