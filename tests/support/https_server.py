#!/usr/bin/python3
"""Local HTTP/1.1 server for tests, over TLS unless --plain.

Answers from a routes file (JSON object: request target -> response spec; the exact target
first, then the path without its query), logs every request as one JSON line and prints
"READY <port>" once it listens. Standard library only.

Response spec keys: status, reason, headers ([name, value] pairs, sent as given; "{port}" in a
value becomes the listening port), one body source (body, body_hex, body_file, body_size with
seed; zeros appends that many zero bytes, for gzip bombs made when asked for), and the options
gzip, no_content_length, chunked, drop_after (with drop_with "reset" for a reset instead of a
plain close), endless (with chunked: the body over and over until the client goes), trailers
(with chunked: lines sent after the last chunk), delay_ms, stall_after (with stall_ms: that many body bytes, then silence), trickle
({"bytes", "every_ms", "head"}: the body, and with head the header block too, sent that many
bytes at a time), close (close after answering), and auth
(scheme Basic, Digest or Negotiate, realm, user, password, optional charset, optional proxy:
answer 401/407 until the request carries those credentials).
"""

import argparse
import base64
import gzip
import hashlib
import http
import json
import os
import random
import socket
import ssl
import struct
import sys
import threading
import time

IDLE_TIMEOUT = 30.0


class Routes:
    """The routes file, read again whenever it changes, so a test can swap answers."""

    def __init__(self, path):
        self._path = path
        self._stamp = None
        self._table = {}
        self._bodies = {}
        self._lock = threading.Lock()

    def lookup(self, target):
        if not self._path:
            return None
        with self._lock:
            try:
                st = os.stat(self._path)
                stamp = (st.st_mtime_ns, st.st_size)
                if stamp != self._stamp:
                    with open(self._path, encoding="utf-8") as f:
                        self._table = json.load(f)
                    self._stamp = stamp
            except (OSError, ValueError) as e:
                print(f"routes: {e}", file=sys.stderr, flush=True)
            return self._table.get(target)

    def random_body(self, size, seed):
        # Generated once per (size, seed); large downloads should not pay for it per request.
        with self._lock:
            key = (size, seed)
            if key not in self._bodies:
                # In 1 MiB steps: one call cannot make more than 2**31 bits at once.
                rng = random.Random(seed)
                step = 1 << 20
                parts = [rng.randbytes(min(step, size - i)) for i in range(0, size, step)]
                self._bodies[key] = b"".join(parts)
            return self._bodies[key]


class Server:
    def __init__(self, args):
        self.args = args
        self.routes = Routes(args.routes)
        self.log_lock = threading.Lock()
        self.log = open(args.log, "a", encoding="utf-8") if args.log else None
        self.port = 0
        self.context = None
        if not args.plain:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(args.cert, args.key)
            if args.tls_max == "1.2":
                self.context.maximum_version = ssl.TLSVersion.TLSv1_2
            if args.client_cert:
                self.context.load_verify_locations(args.client_ca)
                self.context.verify_mode = (ssl.CERT_REQUIRED if args.client_cert == "required"
                                            else ssl.CERT_OPTIONAL)

    def listen(self):
        sockets = []
        main = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        main.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        main.bind(("127.0.0.1", self.args.port))
        main.listen(64)
        sockets.append(main)
        self.port = main.getsockname()[1]
        # "localhost" may resolve to ::1 first; answer there too when the system has it.
        try:
            six = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
            six.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            six.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            six.bind(("::1", self.port))
            six.listen(64)
            sockets.append(six)
        except OSError:
            pass
        return sockets

    def accept_loop(self, listener):
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve_connection, args=(conn,), daemon=True).start()

    def serve_connection(self, conn):
        try:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn.settimeout(IDLE_TIMEOUT)
            if self.context:
                conn = self.context.wrap_socket(conn, server_side=True)
            reader = conn.makefile("rb")
            while self.serve_request(conn, reader):
                pass
            self.close_cleanly(conn)
        except (OSError, ssl.SSLError, ValueError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def close_cleanly(self, conn):
        if isinstance(conn, ssl.SSLSocket):
            try:
                conn.settimeout(2.0)
                conn.unwrap()
            except (OSError, ssl.SSLError, ValueError):
                pass

    def write_log(self, method, target, headers):
        if not self.log:
            return
        line = json.dumps({"method": method, "path": target, "headers": headers})
        with self.log_lock:
            self.log.write(line + "\n")
            self.log.flush()

    def serve_request(self, conn, reader):
        """Answers one request; returns whether the connection stays open for another."""
        line = reader.readline(65537)
        if not line:
            return False
        parts = line.decode("latin-1").rstrip("\r\n").split(" ")
        if len(parts) != 3:
            return False
        method, target, version = parts
        headers = []
        while True:
            h = reader.readline(65537)
            if not h or h in (b"\r\n", b"\n"):
                break
            text = h.decode("latin-1").rstrip("\r\n")
            name, sep, value = text.partition(":")
            if sep:
                headers.append([name, value.strip()])
        self.write_log(method, target, headers)

        def header(name):
            for n, v in headers:
                if n.lower() == name.lower():
                    return v
            return None

        length = header("Content-Length")
        if length and length.isdigit():
            reader.read(int(length))

        spec = self.routes.lookup(target)
        if spec is None and target.startswith("http://"):
            # The absolute form a proxy receives.
            target = "/" + target.split("/", 3)[3] if target.count("/") >= 3 else "/"
            spec = self.routes.lookup(target)
        if spec is None and "?" in target:
            spec = self.routes.lookup(target.split("?", 1)[0])
        if spec is None:
            spec = {"status": 404, "body": "not found"}
        if "auth" in spec and not self.authorized(spec["auth"], method, header):
            spec = self.challenge(spec["auth"])
        keep_alive = version == "HTTP/1.1" and (header("Connection") or "").lower() != "close"
        return self.respond(conn, method, spec) and keep_alive

    NONCE = "5ccc069c403ebaf9f0171e9517f40e41"

    def challenge(self, auth):
        scheme = auth.get("scheme", "Basic")
        proxy = bool(auth.get("proxy"))
        value = scheme
        if scheme == "Basic":
            value += f' realm="{auth.get("realm", "")}"'
            if auth.get("charset"):
                value += f', charset="{auth["charset"]}"'
        elif scheme == "Digest":
            value += f' realm="{auth.get("realm", "")}", qop="auth", nonce="{self.NONCE}", algorithm=MD5'
        name = "Proxy-Authenticate" if proxy else "WWW-Authenticate"
        return {"status": 407 if proxy else 401, "headers": [[name, value]], "body": "denied"}

    def authorized(self, auth, method, header):
        given = header("Proxy-Authorization" if auth.get("proxy") else "Authorization")
        if not given:
            return False
        scheme, _, rest = given.partition(" ")
        user, password = auth.get("user", ""), auth.get("password", "")
        if auth.get("scheme", "Basic") == "Basic" and scheme.lower() == "basic":
            codec = "utf-8" if (auth.get("charset") or "").lower() == "utf-8" else "cp1252"
            try:
                return base64.b64decode(rest.strip(), validate=True) == \
                    f"{user}:{password}".encode(codec)
            except ValueError:
                return False
        if auth.get("scheme") == "Negotiate" and scheme.lower() == "negotiate":
            return bool(rest.strip())  # a token was offered; whose is not this server's concern
        if auth.get("scheme") == "Digest" and scheme.lower() == "digest":
            fields = {}
            for part in rest.split(","):
                k, _, v = part.strip().partition("=")
                fields[k.strip().lower()] = v.strip().strip('"')
            md5 = lambda t: hashlib.md5(t.encode("utf-8")).hexdigest()
            ha1 = md5(f"{user}:{auth.get('realm', '')}:{password}")
            ha2 = md5(f"{method}:{fields.get('uri', '')}")
            expected = md5(f"{ha1}:{self.NONCE}:{fields.get('nc', '')}:{fields.get('cnonce', '')}:"
                           f"{fields.get('qop', '')}:{ha2}")
            return fields.get("username") == user and fields.get("response") == expected
        return False

    def body_of(self, spec):
        if "body" in spec:
            return spec["body"].encode("utf-8")
        if "body_hex" in spec:
            return bytes.fromhex(spec["body_hex"])
        if "body_file" in spec:
            with open(spec["body_file"], "rb") as f:
                return f.read()
        if "body_size" in spec:
            return self.routes.random_body(int(spec["body_size"]), spec.get("seed", 0))
        return b""

    @staticmethod
    def trickle(conn, data, pace):
        """Sends data a few bytes at a time, never silent for long, never done soon."""
        step = int(pace.get("bytes", 1))
        for i in range(0, len(data), step):
            conn.sendall(data[i: i + step])
            time.sleep(int(pace.get("every_ms", 100)) / 1000.0)

    def respond(self, conn, method, spec):
        status = int(spec.get("status", 200))
        reason = spec.get("reason")
        if reason is None:
            try:
                reason = http.HTTPStatus(status).phrase
            except ValueError:
                reason = "Unknown"
        body = self.body_of(spec)
        out_headers = [[n, str(v).replace("{port}", str(self.port))]
                       for n, v in spec.get("headers", [])]

        def has(name):
            return any(n.lower() == name.lower() for n, _ in out_headers)

        if spec.get("zeros"):
            body += bytes(int(spec["zeros"]))
        if spec.get("gzip"):
            body = gzip.compress(body, mtime=0)
            if not has("Content-Encoding"):
                out_headers.append(["Content-Encoding", "gzip"])
        chunked = bool(spec.get("chunked"))
        until_close = bool(spec.get("no_content_length"))
        drop_after = spec.get("drop_after")
        if chunked:
            out_headers.append(["Transfer-Encoding", "chunked"])
        elif not until_close and not has("Content-Length"):
            out_headers.append(["Content-Length", str(len(body))])
        closing = until_close or drop_after is not None or bool(spec.get("close"))
        if closing and not has("Connection"):
            out_headers.append(["Connection", "close"])

        if spec.get("delay_ms"):
            time.sleep(int(spec["delay_ms"]) / 1000.0)
        head = f"HTTP/1.1 {status} {reason}\r\n"
        head += "".join(f"{n}: {v}\r\n" for n, v in out_headers) + "\r\n"
        trickle = spec.get("trickle")
        if trickle and trickle.get("head"):
            self.trickle(conn, head.encode("latin-1"), trickle)
        else:
            conn.sendall(head.encode("latin-1"))
        if method.upper() == "HEAD":
            return not closing
        if trickle:
            self.trickle(conn, body, trickle)
            return not closing

        view = memoryview(body)
        if drop_after is not None:
            conn.sendall(view[: int(drop_after)])
            # An abrupt end: no TLS close_notify, just the transport going away (a reset with
            # drop_with "reset").
            if spec.get("drop_with") == "reset":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
            else:
                conn.shutdown(socket.SHUT_RDWR)
            raise OSError("dropped on purpose")
        if chunked and spec.get("endless"):
            unit = (body or b"0") * max(1, 65536 // max(1, len(body)))
            piece = b"%x\r\n" % len(unit) + unit + b"\r\n"
            while True:
                conn.sendall(piece)
        if chunked:
            step = 4096
            for i in range(0, len(body), step):
                piece = view[i: i + step]
                conn.sendall(b"%x\r\n" % len(piece) + bytes(piece) + b"\r\n")
            trailers = "".join(f"{line}\r\n" for line in spec.get("trailers", []))
            conn.sendall(b"0\r\n" + trailers.encode("latin-1") + b"\r\n")
        elif spec.get("stall_after") is not None:
            # Part of the body, then silence while the connection stays open.
            cut = int(spec["stall_after"])
            conn.sendall(view[:cut])
            time.sleep(int(spec.get("stall_ms", 120000)) / 1000.0)
            conn.sendall(view[cut:])
        else:
            step = 1 << 20
            for i in range(0, len(body), step):
                conn.sendall(view[i: i + step])
        return not closing


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--routes")
    p.add_argument("--log")
    p.add_argument("--plain", action="store_true")
    p.add_argument("--tls-max", choices=["1.2"])
    p.add_argument("--client-cert", choices=["optional", "required"])
    p.add_argument("--client-ca")
    args = p.parse_args()
    if not args.plain and not (args.cert and args.key):
        p.error("--cert and --key are needed unless --plain")

    server = Server(args)
    listeners = server.listen()
    for listener in listeners:
        threading.Thread(target=server.accept_loop, args=(listener,), daemon=True).start()
    print(f"READY {server.port}", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
