#!/usr/bin/python3
"""End-to-end runs of the Windows launcher under Wine against the local HTTPS test server.

Runs in the Wine session that tools/wine_env.sh started (WINEPREFIX and DISPLAY set). The
install folder is the prefix's own "AppData\\Local\\Velora Player"; stub programs stand in for
the player and the updater and record how they were started. Prints one line per case and a
closing "N passed, N failed" line; exits 77 (skipped) without a Wine session.
"""

import argparse
import fcntl
import glob
import hashlib
import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

WINE = os.environ.get("WINE_ENV_BIN", "/usr/lib/wine/wine64")
MESSAGE_TITLE = "^Information$"
PROGRESS_TITLE = "^Velora Player$"
# A download slow enough for the progress window to be watched and cancelled.
TRICKLE = {"trickle": {"bytes": 16384, "every_ms": 60}}


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def take_port_turn(port):
    """The test build's port is fixed: runs from other build folders on this machine, Linux
    ones included, take turns on it through the same lock file. Held until this process ends."""
    lock = open("/tmp/velora-launcher-port-%d.lock" % port, "a")
    fcntl.flock(lock, fcntl.LOCK_EX)
    return lock


def port_in_use(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


class Server:
    def __init__(self, support, ca_dir, port, certificate, work):
        self.routes = os.path.join(work, "routes.json")
        self.log = os.path.join(work, "requests.jsonl")
        self.set_routes({})
        open(self.log, "w").close()
        # Something outside these tests may hold the port for a moment.
        deadline = time.monotonic() + 30
        while port_in_use(port) and time.monotonic() < deadline:
            time.sleep(0.5)
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(support, "https_server.py"), "--port", str(port),
             "--cert", os.path.join(ca_dir, certificate + ".pem"),
             "--key", os.path.join(ca_dir, certificate + ".key"),
             "--routes", self.routes, "--log", self.log],
            stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("READY"):
            self.stop()
            raise RuntimeError("test server did not start: " + line)
        self.port = int(line.split()[1])

    def set_routes(self, routes):
        tmp = self.routes + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(routes, f)
        os.replace(tmp, self.routes)

    def records(self):
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def requests(self):
        return [r["path"] for r in self.records()]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Run:
    """One launcher run, with the information message answered by a key press."""

    def __init__(self, launcher, screenshot=None, file_size_limit=None, while_shown=None,
                 cancel=False, progress_screenshot=None):
        self.launcher = launcher
        self.screenshot = screenshot
        self.file_size_limit = file_size_limit
        self.while_shown = while_shown
        self.dialog_seen = False
        self.answered = set()
        # The progress window: seen, and two pictures of it differed (its bar moved); once it
        # moved, cancel presses its Cancel button (the default one).
        self.cancel = cancel
        self.progress_screenshot = progress_screenshot
        self.progress_seen = False
        self.progress_moved = False
        self.last_picture = None
        self.cancel_sent = False

    def limits(self):
        # Writes past the limit fail (EFBIG) rather than end the process: what a full disk
        # does to WriteFile on Windows.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (self.file_size_limit, self.file_size_limit))

    def __call__(self, timeout=120):
        proc = subprocess.Popen([WINE, self.launcher], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL,
                                preexec_fn=self.limits if self.file_size_limit else None)
        deadline = time.monotonic() + timeout
        while proc.poll() is None:
            if time.monotonic() > deadline:
                proc.kill()
                raise AssertionError("the launcher did not end")
            window = self.find_dialog()
            if window in self.answered:
                # A second Return would reach the progress window that follows and cancel it.
                time.sleep(0.2)
            elif window:
                self.answered.add(window)
                if self.while_shown and not self.dialog_seen:
                    self.while_shown()
                self.dialog_seen = True
                time.sleep(0.5)  # let it paint before the picture and the key
                if self.screenshot:
                    time.sleep(1.5)
                    self.take_picture(window)
                # No window manager: activation fails, so the key goes to the window itself.
                subprocess.run(["xdotool", "key", "--window", window, "Return"], check=False,
                               stderr=subprocess.DEVNULL)
                time.sleep(0.5)
            elif self.watch_progress():
                time.sleep(0.2)
            else:
                time.sleep(0.2)
        return proc.returncode

    def watch_progress(self):
        window = self.find_dialog(PROGRESS_TITLE)
        if not window:
            return False
        self.progress_seen = True
        picture = self.picture(window, "png:-")
        if picture and self.last_picture and picture != self.last_picture:
            self.progress_moved = True
            if self.progress_screenshot:
                with open(self.progress_screenshot, "wb") as f:
                    f.write(picture)
                self.progress_screenshot = None
        self.last_picture = picture
        if self.progress_moved and self.cancel and not self.cancel_sent:
            self.cancel_sent = subprocess.run(["xdotool", "key", "--window", window, "Return"],
                                              stderr=subprocess.DEVNULL).returncode == 0
        return True

    def take_picture(self, window):
        self.picture(window, self.screenshot)

    @staticmethod
    def picture(window, target):
        """The window with a margin, cut from the screen (there is no window manager)."""
        geometry = subprocess.run(["xdotool", "getwindowgeometry", window],
                                  capture_output=True, text=True).stdout
        position = re.search(r"Position: (-?\d+),(-?\d+)", geometry)
        size = re.search(r"Geometry: (\d+)x(\d+)", geometry)
        if not position or not size:
            return
        x, y = int(position.group(1)), int(position.group(2))
        w, h = int(size.group(1)), int(size.group(2))
        margin = 20
        crop = "%dx%d+%d+%d" % (w + 2 * margin, h + 2 * margin, x - margin, y - margin)
        return subprocess.run(["import", "-window", "root", "-crop", crop, "+repage", target],
                              capture_output=True, check=False).stdout

    @staticmethod
    def find_dialog(title=MESSAGE_TITLE):
        # The window may go between finding and asking about it; that is no failure.
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", title],
                             capture_output=True, text=True).stdout.split()
        return out[0] if out else None


def wait_for(path, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.1)
    return False


def started_with(program, seconds=30):
    """The arguments a stub recorded after the launcher started it (program path first)."""
    record = program + ".args"
    if not wait_for(record, seconds):
        return None
    with open(record, encoding="utf-8") as f:
        return f.read().splitlines()


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def headers_of(record):
    return {name.lower(): value for name, value in record["headers"]}


def check_wire(record):
    """What every request of the launcher carries, and what none does."""
    headers = headers_of(record)
    check(record["method"] == "GET", "GET")
    check(headers.get("user-agent") == "Corvalith URI Client/1.0", "the user agent: %r" % headers)
    for name in ("accept", "accept-encoding", "accept-charset", "accept-language",
                 "authorization", "content-type"):
        check(name not in headers, "no %s header: %r" % (name, headers))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--launcher", required=True)
    p.add_argument("--stub", required=True)
    p.add_argument("--trust-tool", required=True)
    p.add_argument("--ca-dir", required=True)
    p.add_argument("--support", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--screenshot")
    p.add_argument("--progress-screenshot")
    p.add_argument("--signed-launcher")
    p.add_argument("--keys-dir")
    args = p.parse_args()

    prefix = os.environ.get("WINEPREFIX")
    if not prefix or not os.environ.get("DISPLAY"):
        print("no Wine session (WINEPREFIX and DISPLAY), skipped")
        return 77

    port_turn = take_port_turn(args.port)
    subprocess.run([WINE, args.trust_tool, wine_path(os.path.join(args.ca_dir, "ca.pem"))],
                   check=True)
    users = [u for u in glob.glob(os.path.join(prefix, "drive_c", "users", "*"))
             if os.path.basename(u) != "Public"]
    check(len(users) == 1, "one Wine user in the prefix")
    install = os.path.join(users[0], "AppData", "Local", "Velora Player")
    player = os.path.join(install, "Velora_Player.exe")
    updater = os.path.join(install, "updater.exe")
    download = updater + ".part"
    settings = os.path.join(install, "settings.ini")

    work = tempfile.mkdtemp(prefix="velora-e2e-")
    updater_body = os.path.join(work, "updater-download.exe")
    shutil.copyfile(args.stub, updater_body)

    def fresh_install(local_version, old_updater=False):
        shutil.rmtree(install, ignore_errors=True)
        os.makedirs(install)
        shutil.copyfile(args.stub, player)
        with open(settings, "w", encoding="ascii", newline="\r\n") as f:
            f.write("[Velora Player]\nLocalVersion=%s\n" % local_version)
        if old_updater:
            with open(updater, "wb") as f:
                f.write(b"old updater")

    version_path = "/library/controllers/velora-softwareversion"
    updater_path = "/library/controllers/software/updater.exe"

    def no_update(server):
        fresh_install(7)
        moved = "/library/controllers/moved-version"
        server.set_routes({version_path: {"status": 302, "headers": [["Location", moved]]},
                           moved: {"body": " 7\r\n"}})
        run = Run(args.launcher)
        check(run() == 0, "exit code 0")
        check(started_with(player) == [wine_path_of(player)], "the player starts, no parameters")
        check(not run.dialog_seen, "no message")
        check(not run.progress_seen, "no progress window")
        check(server.requests() == [version_path, moved],
              "the client follows the redirect itself, and asks for nothing more")
        for record in server.records():
            check_wire(record)

    def version_404(server):
        fresh_install(7)
        server.set_routes({version_path: {"status": 404, "body": "7"}})
        run = Run(args.launcher)
        check(run() == 0, "exit code 0")
        check(started_with(player) == [wine_path_of(player)], "the number of a 404 is used")
        check(server.requests() == [version_path], "no download")

    def update(server, slow=False):
        fresh_install(5, old_updater=True)
        server.set_routes({version_path: {"body": "0x2A\r\n",
                                          "headers": [["Set-Cookie", "session=abc; Path=/"]]},
                           updater_path: dict({"body_file": updater_body},
                                              **(TRICKLE if slow else {}))})
        run = Run(args.launcher, None if slow else args.screenshot,
                  progress_screenshot=args.progress_screenshot if slow else None)
        check(run() == 0, "exit code 0")
        check(run.dialog_seen, "the message was shown")
        check(not slow or run.progress_moved, "the progress window showed a moving bar")
        check(started_with(updater) == [wine_path_of(updater), "42", "velora"],
              "the updater starts with the new version")
        with open(updater, "rb") as a, open(args.stub, "rb") as b:
            check(a.read() == b.read(), "the download is stored byte for byte")
        check(not os.path.exists(player + ".args"), "the player does not start")
        check(server.requests() == [version_path, updater_path], "two requests")
        first, second = server.records()
        check("cookie" not in headers_of(first), "no cookie before one was set")
        check(headers_of(second).get("cookie") == "session=abc", "the cookie travels on")
        for record in (first, second):
            check_wire(record)

    def download_404(server):
        fresh_install(5, old_updater=True)
        server.set_routes({version_path: {"body": "6"},
                           updater_path: {"status": 404, "body": "gone"}})
        run = Run(args.launcher)
        check(run() == 0, "exit code 0")
        check(run.dialog_seen, "the message was shown before the download")
        check(started_with(player) == [wine_path_of(player)], "the player starts")
        check(not os.path.exists(updater), "the old updater was deleted and none written")

    def download_not_started(route, left, file_size_limit=None, cancel=False):
        """An update is due and the download answers 200, but what would be started is not
        the whole updater, or cannot run: the player starts instead. left: the size of what
        stays at updater.exe (None: nothing, the old one deleted and none written)."""
        def case(server):
            fresh_install(5, old_updater=True)
            server.set_routes({version_path: {"body": "6"}, updater_path: route})
            run = Run(args.launcher, file_size_limit=file_size_limit, cancel=cancel)
            check(run() == 0, "exit code 0")
            check(run.dialog_seen, "the message was shown before the download")
            check(not cancel or run.cancel_sent, "Cancel was pressed in the progress window")
            check(started_with(player) == [wine_path_of(player)], "the player starts")
            check(not os.path.exists(updater + ".args"), "no updater starts")
            check(server.requests() == [version_path, updater_path], "two requests")
            size = os.path.getsize(updater) if os.path.exists(updater) else None
            check(size == left, "updater.exe left with %r bytes, not %r" % (size, left))
            check(not os.path.exists(download), "no download file is left")
        return case

    def link_planted(at):
        """A link planted while the message shows, where the download goes or where it would
        be renamed to: nothing is written through it, and the player starts."""
        def case(server):
            fresh_install(5, old_updater=True)
            victim = os.path.join(work, "victim")
            with open(victim, "w") as f:
                f.write("not to be overwritten")
            server.set_routes({version_path: {"body": "6"},
                               updater_path: {"body_file": updater_body}})
            run = Run(args.launcher, while_shown=lambda: os.symlink(victim, at))
            check(run() == 0, "exit code 0")
            check(run.dialog_seen, "the message was shown")
            check(started_with(player) == [wine_path_of(player)], "the player starts")
            check(not os.path.exists(updater + ".args"), "no updater starts")
            with open(victim) as f:
                check(f.read() == "not to be overwritten", "nothing written through the link")
            check(os.path.islink(at), "the link stays")
            check(at == download or not os.path.lexists(download), "no download file is left")
        return case

    def untrusted(server):
        fresh_install(5)
        server.set_routes({version_path: {"body": "6"}})
        run = Run(args.launcher)
        check(run() == 0, "exit code 0")
        check(started_with(player) == [wine_path_of(player)], "the fallback starts the player")
        check(not run.dialog_seen, "no message")
        check(server.requests() == [], "no request reaches the server")

    cases = [("no update", "server", no_update), ("version document answered with 404",
                                                   "server", version_404),
             ("update", "server", update),
             ("slow update, its progress shown", "server", lambda s: update(s, slow=True)),
             # With a length: over TLS a body without one never counts as whole here.
             ("download cancelled in its progress window", "server",
              download_not_started(dict({"body_file": updater_body}, **TRICKLE), None,
                                   cancel=True)),
             ("download answered with 404", "server", download_404),
             ("chunked download with a stray Content-Length", "server",
              download_not_started({"body_file": updater_body, "chunked": True,
                                    "headers": [["Content-Length", "1000"]]}, None)),
             ("download whose writing fails", "server",
              download_not_started({"body_file": updater_body}, None, file_size_limit=65536)),
             ("a link planted at updater.exe while the message shows", "server",
              link_planted(updater)),
             ("a link planted at the download file while the message shows", "server",
              link_planted(download)),
             ("download that is not a program", "server",
              download_not_started({"body_size": 5000}, 5000)),
             ("untrusted certificate", "selfsigned", untrusted)]
    if args.signed_launcher:
        cases += signed_cases(args, fresh_install, player, updater, updater_body, work,
                              version_path, updater_path)
    passed = failed = 0
    try:
        for name, certificate, case in cases:
            server = Server(args.support, args.ca_dir, args.port, certificate, work)
            try:
                case(server)
                print("ok: %s" % name)
                passed += 1
            except Exception:
                print("FAILED: %s" % name)
                traceback.print_exc()
                failed += 1
            finally:
                server.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(install, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


# Signed updates: the test build with the test keys compiled in (current and previous). The
# documents are made here with the openssl command, independently of velora-sign.

SIGNATURE_PATH = "/library/controllers/software/updater.exe.sig"


def der_signature_to_hex(der):
    """r || s, 32 bytes each, from the DER SEQUENCE of two INTEGERs."""
    check(der[0] == 0x30 and der[1] == len(der) - 2, "a DER signature")
    values, at = [], 2
    for _ in range(2):
        check(der[at] == 0x02, "an INTEGER")
        size = der[at + 1]
        values.append(int.from_bytes(der[at + 2: at + 2 + size], "big"))
        at += 2 + size
    return "%064x%064x" % tuple(values)


def signature_document(key, version, body_file, shorter_by=0):
    with open(body_file, "rb") as f:
        data = f.read()
    data = data[:len(data) - shorter_by]
    size, digest = len(data), hashlib.sha256(data).hexdigest()
    statements = "velora-updater-signature 2\nversion %s\nsize %d\nsha256 %s\n" % (
        version, size, digest)
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key],
                         input=statements.encode("ascii"), capture_output=True, check=True).stdout
    return statements + "signature ecdsa-p256-sha256 %s\n" % der_signature_to_hex(der)


def signed_cases(args, fresh_install, player, updater, updater_body, work, version_path,
                 updater_path):
    tampered_body = os.path.join(work, "updater-tampered.exe")
    with open(updater_body, "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 2] ^= 1
    with open(tampered_body, "wb") as f:
        f.write(data)

    def routes(signature, body=updater_body, version="42", updater_options=None):
        table = {version_path: {"body": version,
                                "headers": [["Set-Cookie", "session=abc; Path=/"]]},
                 updater_path: dict({"body_file": body}, **(updater_options or {}))}
        if signature is not None:
            table[SIGNATURE_PATH] = signature
        return table

    def signed_by(key, version="42", shorter_by=0):
        document = os.path.join(work, "updater.exe.sig")
        with open(document, "w", encoding="ascii", newline="\n") as f:
            f.write(signature_document(os.path.join(args.keys_dir, key + ".key"), version,
                                       updater_body, shorter_by))
        return {"body_file": document}

    def run_signed(server, signature, starts, body=updater_body, downloads=True, version="42",
                   updater_options=None):
        fresh_install(41, old_updater=True)
        server.set_routes(routes(signature, body, version, updater_options))
        run = Run(args.signed_launcher)
        check(run() == 0, "exit code 0")
        check(run.dialog_seen, "the message was shown")
        expected = [version_path, SIGNATURE_PATH] + ([updater_path] if downloads else [])
        check(server.requests() == expected,
              "the signature document is asked for before the updater: %r" % server.requests())
        second = server.records()[1]
        check(headers_of(second).get("cookie") == "session=abc",
              "the same client asks for the signature")
        check_wire(second)
        if starts:
            check(started_with(updater) == [wine_path_of(updater), "42", "velora"],
                  "the updater starts with the new version")
            check(not os.path.exists(player + ".args"), "the player does not start")
        else:
            check(started_with(player) == [wine_path_of(player)], "the player starts")
            check(not os.path.exists(updater), "no updater.exe is left")
        check(not os.path.exists(updater + ".part"), "no download file is left")

    def case(signature_maker, starts, body=updater_body, **options):
        return lambda server: run_signed(server, signature_maker(), starts, body, **options)

    def keyless(server):
        fresh_install(41, old_updater=True)
        server.set_routes(routes(signed_by("current")))
        run = Run(args.launcher)
        check(run() == 0, "exit code 0")
        check(started_with(updater) == [wine_path_of(updater), "42", "velora"],
              "the updater starts unchecked")
        check(server.requests() == [version_path, updater_path],
              "a build without keys never asks for a signature")

    return [
        ("signed: valid signature", "server", case(lambda: signed_by("current"), True)),
        ("signed: previous key of a rotated set", "server",
         case(lambda: signed_by("previous"), True)),
        ("signed: version document with a leading zero", "server",
         case(lambda: signed_by("current"), True, version="042")),
        ("signed: version document in hex", "server",
         case(lambda: signed_by("current"), True, version="$2A")),
        ("signed: tampered updater", "server",
         case(lambda: signed_by("current"), False, tampered_body)),
        ("signed: updater longer than signed", "server",
         case(lambda: signed_by("current", shorter_by=1), False,
              updater_options={"chunked": True})),
        ("signed: signature for another version", "server",
         case(lambda: signed_by("current", "41"), False, downloads=False)),
        ("signed: unknown key", "server",
         case(lambda: signed_by("unknown"), False, downloads=False)),
        ("signed: no signature document", "server",
         case(lambda: None, False, downloads=False)),
        ("signed: garbage signature document", "server",
         case(lambda: {"body": "<html>It works!</html>"}, False, downloads=False)),
        ("signed: a build without keys asks for no signature", "server", keyless),
    ]


def wine_path_of(linux_path):
    """The Windows path the launcher uses for a file in the prefix's C: drive."""
    prefix = os.path.join(os.environ["WINEPREFIX"], "drive_c")
    rel = os.path.relpath(linux_path, prefix)
    return "C:\\" + rel.replace("/", "\\")


if __name__ == "__main__":
    sys.exit(main())
