"""The simulated camera and the one HTTP client of the system tests.

SimCamera runs the service on the stand-ins: a private system bus, the
auto-rotation simulator, the stand-ins' state folder, a user database of its
own through nss_wrapper and, with front=True, the camera's web server in
front of it (Debian's lighttpd on platform/front/'s configuration); with
auth=True that front speaks TLS and asks for a password.
PTS_WRAPPER=valgrind runs the service under memcheck, whose report stop()
judges. Run as a program, this is tools/run.sh ("camera.py run") and
tools/camera ("camera.py camera"), on the same methods.
"""
import argparse
import getpass
import hashlib
import http.client
import itertools
import os
import re
import secrets
import select
import shlex
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import time
import urllib.parse
from collections import Counter, namedtuple
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from answers import info

ROOT = Path(__file__).resolve().parents[2]
FRONT = ROOT / "platform/front"  # the camera's web server's configuration
USER = "camop"
REALM = "camera"
BUS_NAME = "com.zuvia.Positioning.AutoRotation"
# The stand-ins' fault switches: the state file and the names it takes.
FAULTS = {"video": ("ocul.conf", ("mode_new", "get_info", "map_new", "apply")),
          "param": ("parameters.conf", ("new", "set"))}
ROTATION_FAULTS = ("none", "error", "empty", "wrong-type")
CHANNELS = ("0", "1", "2", "3")
GROUPS = {"admin": 64001, "operator": 64002, "viewer": 64003}  # the camera's, with their numbers
# Where a connection on its way out breaks: the request may be sent again.
DROPPED = (BrokenPipeError, ConnectionResetError, http.client.RemoteDisconnected)

Answer = namedtuple("Answer", "status headers body")


def sha256(text):
    return hashlib.sha256(text.encode()).hexdigest()


def digest_response(user, realm, password, method, uri, nonce, nc, cnonce):
    """RFC 7616's response for qop=auth and algorithm SHA-256."""
    ha1 = sha256(f"{user}:{realm}:{password}")
    return sha256(f"{ha1}:{nonce}:{nc}:{cnonce}:auth:{sha256(f'{method}:{uri}')}")


def digest_challenge(headers):
    """The parameters of a response's Digest SHA-256 challenge, or None."""
    for value in headers.get_all("WWW-Authenticate") or []:
        scheme, _, rest = value.partition(" ")
        if scheme.lower() != "digest":
            continue
        fields = {key.lower(): quoted.replace('\\"', '"') if quoted else token
                  for key, quoted, token in re.findall(r'(\w+)\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^,\s]*))', rest)}
        if fields.get("algorithm", "MD5").upper() == "SHA-256":
            return fields
    return None


def http_post(body, extra_headers=b"", close=True):
    """The bytes of a POST to the API, for clients that send them by hand."""
    return (b"POST /panetessel/api HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
            (b"Connection: close\r\n" if close else b"") + extra_headers +
            b"Content-Length: %d\r\n\r\n" % len(body) + body)


def _complete(data):
    """Whether data holds a whole answer that says how long its body is."""
    head, found, body = data.partition(b"\r\n\r\n")
    if not found:
        return False
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length" and value.strip().isdigit():
            return len(body) >= int(value)
    return False


class Api:
    """HTTP to the service over one kept-alive connection, https trusting
    cafile. Bodies go as given; with a user and password it answers the
    front's Digest SHA-256 challenge (RFC 7616, qop=auth), counting nc on
    each nonce."""

    def __init__(self, url, user=None, password=None, timeout=60, source=None, cafile=None):
        parts = urllib.parse.urlsplit(url)
        self.host, self.port, self.path = parts.hostname, parts.port, parts.path
        self.user, self.password, self.timeout, self.source = user, password, timeout, source
        self.tls = ssl.create_default_context(cafile=cafile) if parts.scheme == "https" else None
        self.connection = None
        self.challenge = None
        self.count = 0
        self.challenges = 0  # 401s with a challenge seen, for the tests

    def close(self):
        if self.connection:
            self.connection.close()
            self.connection = None

    def send(self, body=b"", method="POST", headers=None, path=None):
        """Sends one request; answer() reads its answer."""
        path = path or self.path
        headers = dict(headers or {})
        if self.user and self.challenge:
            headers["Authorization"] = self._authorization(method, path)
        if self.connection is None:
            options = dict(timeout=self.timeout, source_address=(self.source, 0) if self.source else None)
            self.connection = (http.client.HTTPSConnection(self.host, self.port, context=self.tls, **options)
                               if self.tls else http.client.HTTPConnection(self.host, self.port, **options))
        try:
            self.connection.request(method, path, body.encode() if isinstance(body, str) else body, headers)
        except (OSError, http.client.HTTPException):
            self.close()
            raise
        return "Authorization" in headers

    def answer(self, timeout=None):
        """The answer to the request sent; OSError or HTTPException when the
        connection fails."""
        try:
            if timeout is not None:
                self.connection.sock.settimeout(timeout)
            response = self.connection.getresponse()
            body = response.read()
        except (OSError, http.client.HTTPException):
            self.close()
            raise
        if response.will_close:
            self.close()
        elif timeout is not None:
            self.connection.sock.settimeout(self.timeout)
        return Answer(response.status, response.headers, body)

    def request(self, body=b"", method="POST", headers=None, path=None):
        for attempt in range(3):
            reused = self.connection is not None
            try:
                authorized = self.send(body, method, headers, path)
                answer = self.answer()
            except DROPPED:
                if reused and attempt == 0:
                    continue  # the service had closed a kept-alive connection
                raise
            challenge = digest_challenge(answer.headers) if answer.status == 401 and self.user else None
            if not challenge:
                return answer
            self.challenges += 1
            self.challenge, self.count = challenge, 0
            # A wrong password gets its 401; a request without credentials
            # or on a stale nonce goes again on the new one.
            if authorized and challenge.get("stale", "").lower() != "true":
                return answer
        return answer

    def _authorization(self, method, path):
        c = self.challenge
        self.count += 1
        nc, cnonce = f"{self.count:08x}", secrets.token_hex(16)
        response = digest_response(self.user, c["realm"], self.password, method, path, c["nonce"], nc, cnonce)
        opaque = f', opaque="{c["opaque"]}"' if "opaque" in c else ""
        return (f'Digest username="{self.user}", realm="{c["realm"]}", uri="{path}", algorithm=SHA-256, '
                f'nonce="{c["nonce"]}", nc={nc}, cnonce="{cnonce}", qop=auth, response="{response}"{opaque}')

    # Raw bytes, for requests no HTTP client would send.
    def connect(self, timeout=5):
        sock = socket.create_connection((self.host, self.port), timeout=timeout)
        return self.tls.wrap_socket(sock, server_hostname=self.host) if self.tls else sock

    def exchange(self, data, timeout=5.0, half_close=False):
        """Sends data on a new connection; returns the first answer, or all
        the peer sent until it closed, or None when it is silent at the
        time-out."""
        with self.connect(timeout) as sock:
            try:
                sock.sendall(data)
                if half_close:
                    sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass  # the service hung up early: what it said before counts
            received = b""
            try:
                while not _complete(received):
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    received += chunk
                return received
            except socket.timeout:
                return received or None
            except ConnectionResetError:
                return received


def operators_at_once(camera, clients=4, calls=10):
    """The statuses that a camera's operators get calling getViewModeInfo at
    once: `clients` of them with curl --digest, a new connection a call (a
    challenge, then the answer), and as many on one kept-alive connection
    each, `calls` calls apiece."""
    def one_shot():
        command = ["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--digest", "-u",
                   f"{USER}:{camera.password}", "--cacert", camera.cafile, "--data", info(), camera.url]
        return [int(subprocess.run(command, capture_output=True, text=True).stdout or 0) for _ in range(calls)]

    def kept_alive():
        api = camera.api()
        return [api.request(info()).status for _ in range(calls)]

    with ThreadPoolExecutor(2 * clients) as pool:
        runs = [pool.submit(run) for run in [one_shot, kept_alive] * clients]
        return Counter(status for run in runs for status in run.result())


def _nss_wrapper():
    # The machine's own build: with arm64 packages beside it, a search by
    # name may find one this process cannot load.
    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
    files = subprocess.run(["dpkg", "-L", f"libnss-wrapper:{arch}"], capture_output=True, text=True).stdout
    found = [line for line in files.splitlines() if line.endswith("/libnss_wrapper.so")]
    if not found:
        raise RuntimeError("libnss_wrapper.so not found (package libnss-wrapper)")
    return found[0]


def free_ports(count=1):
    """count ports free on 127.0.0.1, each another."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for sock in sockets:
            sock.bind(("127.0.0.1", 0))
        return [sock.getsockname()[1] for sock in sockets]
    finally:
        for sock in sockets:
            sock.close()


def free_port():
    return free_ports()[0]


def _listens(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def make_certificate(folder, names=("localhost",), addresses=("127.0.0.1", "::1")):
    """folder/cert.pem, self-signed, ECDSA P-256, for the names and
    addresses, and its key folder/key.pem (0600); made once, then kept.
    Returns the certificate's path, which clients trust."""
    cert, key = folder / "cert.pem", folder / "key.pem"
    if not (cert.exists() and key.exists()):
        alt = ",".join([f"DNS:{name}" for name in names] + [f"IP:{address}" for address in addresses])
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-days", "3650", "-subj", f"/CN={names[0]}", "-addext", f"subjectAltName={alt}",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        key.chmod(0o600)
    return cert


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])


class SimCamera:
    """The service on a simulated camera whose state lives in one folder.
    open() starts the bus, the rotation simulator, the front and the service;
    close() ends them. group: where the user database lists the service's
    user "camop". front: the camera's web server on 127.0.0.1:port hands
    the service its requests, which then listens on a Unix socket (without
    it the service listens on 127.0.0.1:port itself). auth: the front speaks
    TLS (self.cafile trusts its certificate) and asks for "camop"'s password
    (self.password)."""

    def __init__(self, state, build=None, port=0, group="operator", auth=False, log=None, files=None, env=None,
                 front=False):
        self.state = Path(state).resolve()
        self.build = Path(build or ROOT / "build/dev")
        self.port, self.group, self.auth, self.files = port, group, auth, files or {}
        self.front = front or auth
        self.front_process = self.cafile = None
        self.env = env or {}  # the service's, over the camera's; None drops a variable
        self.log = log  # None: the service's output goes to service.log
        self.wrapper = os.environ.get("PTS_WRAPPER", "")
        self.processes = []
        self.bus = self.rotation = self.service = self.bus_address = None
        self.url = self.password = None
        self.log_offset = 0
        self.started_in = 0.0
        self.memcheck = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *_):
        self.close()

    # --- the camera around the service --------------------------------------

    def open(self):
        (self.state / "localdata").mkdir(parents=True, exist_ok=True)
        for name, text in self.files.items():
            (self.state / name).write_text(text)
        self._start_bus()
        self.start_rotation()
        self._write_users()
        if self.front:
            self._start_front()
        self.start()
        return self

    def close(self):
        """Ends everything; under memcheck, fails when it found an error."""
        try:
            if self.service and self.service.poll() is None:
                self.kill(signal.SIGTERM)
        finally:
            for process in reversed(self.processes):
                if process.poll() is None:
                    process.terminate()
                    process.wait()
            self.processes = []
            for name in ("endpoint", "bus-address", "front/api.sock", "front/api.ready"):
                (self.state / name).unlink(missing_ok=True)

    def _spawn(self, command, **options):
        # A group of its own: a Ctrl-C on the terminal is for us to pass on.
        process = subprocess.Popen([str(part) for part in command], process_group=0, **options)
        self.processes.append(process)
        return process

    def _wait(self, ready, process, what, seconds=10):
        deadline = time.monotonic() + seconds
        while not ready():
            if process.poll() is not None:
                raise RuntimeError(f"{what} ended early (status {process.returncode}); see {self.state}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"{what} did not come up in {seconds} s; see {self.state}")
            time.sleep(0.005)

    def _start_bus(self):
        (self.state / "bus-address").unlink(missing_ok=True)
        with open(self.state / "dbus.log", "w") as log:
            self.bus = self._spawn(["dbus-daemon", f"--config-file={ROOT}/platform/sim/system-bus.conf",
                                    "--nofork", "--nopidfile", "--print-address=1"],
                                   stdout=subprocess.PIPE, stderr=log, text=True)
        if not select.select([self.bus.stdout], [], [], 10)[0]:
            raise RuntimeError("dbus-daemon did not come up")
        self.bus_address = self.bus.stdout.readline().strip()
        if not self.bus_address:
            raise RuntimeError(f"dbus-daemon ended early; see {self.state}/dbus.log")
        # tools/camera finds the bus here.
        (self.state / "bus-address.new").write_text(self.bus_address + "\n")
        (self.state / "bus-address.new").rename(self.state / "bus-address")

    def start_rotation(self):
        """The auto-rotation simulator, no channel rotated."""
        log = self.state / "autorotation.log"
        with open(log, "w") as out:
            self.rotation = self._spawn([self.build / "platform/autorotation/zu-autorotation-sim", 0, 0, 0, 0],
                                        env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus_address),
                                        stdout=out, stderr=subprocess.STDOUT)
        self._wait(lambda: re.search(rb"\bready\b", log.read_bytes()), self.rotation, "zu-autorotation-sim")

    def stop_rotation(self):
        self.rotation.terminate()
        self.rotation.wait()

    def _write_users(self):
        self.nss_wrapper = _nss_wrapper()
        uid, gid = os.getuid(), os.getgid()
        (self.state / "passwd").write_text(f"{USER}:x:{uid}:{gid}:Camera operator:{self.state}:/bin/sh\n")
        # Users that tools/camera added keep their groups; camop's is the camera's.
        self.set_group(USER, self.group)
        if self.auth:
            # The password is made on first use and kept with the camera.
            kept = self.state / f"{USER}.password"
            if not kept.exists():
                kept.touch(mode=0o600)
                kept.write_text(secrets.token_urlsafe(12) + "\n")
            self.password = kept.read_text().strip()
            # Users that tools/camera added stay.
            self.set_password(USER, self.password)

    def groups(self):
        """The group file's other lines, and the members of each of the camera's groups."""
        file, lines, members = self.state / "group", [f"{USER}:x:{os.getgid()}:"], {name: [] for name in GROUPS}
        if file.exists():
            lines = []
            for line in file.read_text().splitlines():
                fields = line.split(":")
                if fields[0] in members and len(fields) == 4:
                    members[fields[0]] = [member for member in fields[3].split(",") if member]
                else:
                    lines.append(line)
        return lines, members

    def set_group(self, user, group):
        """Lists user in group alone of the camera's groups (in none when it is none of them)."""
        lines, members = self.groups()
        for name in members:
            members[name] = [member for member in members[name] if member != user]
        if group in members:
            members[group].append(user)
        (self.state / "group").write_text("".join(f"{line}\n" for line in lines) + "".join(
            f"{name}:x:{number}:{','.join(members[name])}\n" for name, number in GROUPS.items()))

    def users(self):
        """The front's users file: each user's line, by name."""
        file = self.state / "http-users"
        lines = file.read_text().splitlines() if file.exists() else []
        return {line.split(":", 1)[0]: line for line in lines if line.count(":") == 2}

    def set_password(self, user, password):
        """Adds user to the front's users file, or gives it a new password.
        Only the hash is kept: htdigest's layout with SHA-256."""
        if not re.fullmatch(r"[A-Za-z0-9._-]{1,32}", user):
            raise RuntimeError(f"'{user}' is not a user name: 1 to 32 of A-Z a-z 0-9 . _ -")
        if not password or "\n" in password:
            raise RuntimeError("the password must be one line, not empty")
        users = self.users()
        users[user] = f"{user}:{REALM}:{sha256(f'{user}:{REALM}:{password}')}"
        file, aside = self.state / "http-users", self.state / "http-users.new"
        aside.touch(mode=0o600)
        aside.write_text("".join(f"{line}\n" for line in users.values()))
        aside.rename(file)

    # --- the camera's web server ----------------------------------------------

    def _start_front(self):
        """lighttpd on 127.0.0.1:port, on the configuration a camera's web
        server would have; a port of 0 is one found free."""
        folder = self.state / "front"
        (folder / "empty").mkdir(parents=True, exist_ok=True)
        folder.chmod(0o700)  # the service's socket: the front's and the service's alone
        if len(str(folder / "api.sock").encode()) > 107:
            raise RuntimeError(f"{folder} is too long a path for a Unix socket; give a shorter --state")
        if self.auth:
            self.cafile = str(make_certificate(folder))
        for attempt in range(5):
            port = self.port or free_port()
            (folder / "lighttpd.conf").write_text(self._front_conf(folder, port))
            log = open(self.state / "front.log", "ab")
            self.front_process = self._spawn(["lighttpd", "-D", "-f", folder / "lighttpd.conf"], stdout=log,
                                             stderr=subprocess.STDOUT)
            log.close()
            try:
                self._wait(lambda: _listens(port), self.front_process, "lighttpd")
                break
            except RuntimeError:
                # Another took the free port meanwhile.
                if self.port or self.front_process.poll() is None or attempt == 4:
                    raise
                self.processes.remove(self.front_process)
        self.url = f"{'https' if self.auth else 'http'}://127.0.0.1:{port}/panetessel/api"

    def _front_conf(self, folder, port):
        def quoted(text):
            return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'

        lines = [
            "# Written by tests/system/camera.py at each start; the rules are panetessel.conf's.",
            'server.modules = ("mod_indexfile", "mod_staticfile")',
            f"server.document-root = {quoted(folder / 'empty')}",
            'server.bind = "127.0.0.1"',
            f"server.port = {port}",
            f"server.errorlog = {quoted(self.state / 'front.log')}",
            'index-file.names = ("index.html")',
            f"var.pts_web_root = {quoted(ROOT / 'web')}",
            f"var.pts_api = {quoted(folder / 'api.sock')}",
            f"var.pts_users = {quoted(self.state / 'http-users')}",
            f"var.pts_groups = {quoted(self.state / 'group')}",
            'var.pts_hosts = ""',
            f"var.pts_lua = {quoted(FRONT / 'front.lua')}",
            f"include {quoted(FRONT / 'panetessel.conf')}",
        ]
        if self.auth:
            lines += ['ssl.engine = "enable"', f"ssl.pemfile = {quoted(folder / 'cert.pem')}",
                      f"ssl.privkey = {quoted(folder / 'key.pem')}"]
        else:
            lines += ["# A developer's own machine, on loopback: no password.", "auth.require := ()"]
        return "\n".join(lines) + "\n"

    def nss_environment(self):
        return {"LD_PRELOAD": self.nss_wrapper, "NSS_WRAPPER_PASSWD": str(self.state / "passwd"),
                "NSS_WRAPPER_GROUP": str(self.state / "group")}

    # --- the service -----------------------------------------------------------

    def environment(self):
        """The service's environment on this camera."""
        env = dict(os.environ, ZU_PLATFORM_STATE_DIR=str(self.state), DBUS_SYSTEM_BUS_ADDRESS=self.bus_address,
                   ZU_HTTP_LISTEN=f"127.0.0.1:{self.port}", ZU_HTTP_READY_FILE=str(self.state / "endpoint"),
                   ZU_LOG_STDERR="1", **self.nss_environment())
        if self.front:
            env.update(ZU_HTTP_LISTEN=str(self.state / "front/api.sock"),
                       ZU_HTTP_READY_FILE=str(self.state / "front/api.ready"))
        env.update(self.env)
        return {name: value for name, value in env.items() if value is not None}

    def start(self, wait=True):
        """Starts the service; with wait, returns once it listens."""
        endpoint = self.state / "endpoint"
        endpoint.unlink(missing_ok=True)
        env = self.environment()
        ready = Path(env["ZU_HTTP_READY_FILE"])
        ready.unlink(missing_ok=True)
        command = [self.build / "code/panetessel"]
        if self.wrapper == "valgrind":
            env.update(G_SLICE="always-malloc", G_DEBUG="gc-friendly")
            command = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
                       "--errors-for-leak-kinds=definite", "--num-callers=40",
                       f"--log-file={self.state}/valgrind-%p.log"] + command
        elif self.wrapper:
            command = shlex.split(self.wrapper) + command
        if self.log is None:
            log = open(self.state / "service.log", "ab")
            self.log_offset = log.tell()
        else:
            log = self.log
        began = time.monotonic()
        self.service = self._spawn(command, cwd=self.state, env=env, stdout=log, stderr=log)
        if self.log is None:
            log.close()
        if wait:
            self._wait(lambda: ready.exists() and ready.stat().st_size, self.service, "panetessel",
                       120 if self.wrapper else 10)
            self.started_in = time.monotonic() - began
            if self.front:
                # The API's address is the front's.
                endpoint.with_suffix(".new").write_text(self.url)
                endpoint.with_suffix(".new").rename(endpoint)
            self.url = endpoint.read_text().strip()
        return self

    def kill(self, sig=signal.SIGKILL):
        """Ends the service with sig and waits for it."""
        self.service.send_signal(sig)
        self.service.wait()
        self.processes.remove(self.service)
        if self.wrapper == "valgrind":
            self._judge_memcheck(self.state / f"valgrind-{self.service.pid}.log", sig == signal.SIGKILL)

    def _judge_memcheck(self, log, killed):
        text = log.read_text(errors="replace")
        if killed:
            return  # memcheck had no time to report
        errors = re.findall(r"ERROR SUMMARY: (\d+) errors", text)
        lost = re.findall(r"definitely lost: ([\d,]+) bytes", text)
        # Definite losses whose stack passes through the service's own
        # sources (memcheck names a frame's file without its folder).
        own = "|".join(re.escape(path.name) for path in (ROOT / "code").rglob("*.cpp"))
        records = re.split(r"\n==\d+== *\n", text)
        own_lost = sum(1 for record in records
                       if "definitely lost in loss record" in record and re.search(rf"\(({own}):", record))
        self.memcheck = (f"memcheck errors: {errors[-1] if errors else '?'}, definitely lost: "
                         f"{lost[-1] if lost else 0} bytes ({own_lost} records in the service's own code)")
        if not errors or errors[-1] != "0" or own_lost:
            raise AssertionError(f"{self.memcheck}; see {log}\n{text[-6000:]}")

    def journal(self):
        """The service's log lines since its last start."""
        with open(self.state / "service.log", "rb") as f:
            f.seek(self.log_offset)
            return f.read().decode(errors="replace").splitlines()

    def check_healthy(self):
        assert self.service.poll() is None, f"the service is gone (status {self.service.returncode})"
        bad = [line for line in self.journal()
               if re.match(r"CRITICAL:|.*(AddressSanitizer|runtime error:|malformed answer)", line)]
        assert not bad, f"the service logged: {bad[:3]}"

    def api(self, **options):
        if self.auth:
            options.setdefault("user", USER)
            options.setdefault("password", self.password)
        return Api(self.url, cafile=self.cafile, **options)

    # --- the platform's state, read and changed by the stand-ins' rules ---------

    def _state_tool(self, *args):
        """Its output, or None when it fails (saying why when a change fails)."""
        result = subprocess.run([self.build / "platform/common/zu-sim-state", *map(str, args)],
                                env=dict(os.environ, ZU_PLATFORM_STATE_DIR=str(self.state)), text=True,
                                stdout=subprocess.PIPE, stderr=None if args[0] == "set" else subprocess.DEVNULL)
        return result.stdout.strip() if result.returncode == 0 else None

    def _set(self, file, group, key, value):
        if self._state_tool("set", file, group, key, value) is None:
            raise RuntimeError(f"could not set {key} in {file}")

    def _video_file(self):
        file = self.state / "ocul.conf"
        if not file.exists():
            # Once the file exists its [mode] group is all there is.
            file.write_text("[mode]\nview_mode.name=single\navailable_view_modes=single,quad\n")
        return file.name

    def video(self):
        return self._state_tool("get", "ocul.conf", "mode", "view_mode.name")

    def parameter(self):
        return self._state_tool("get", "parameters.conf", "parameters", "root.Image.I4.Enabled")

    def stored(self):
        """The key file's view mode; None when it does not parse or has none."""
        return self._state_tool("get", "localdata/panetessel.conf", "general", "view_mode")

    def offered(self):
        return self._state_tool("get", "ocul.conf", "mode", "available_view_modes")

    def set_video(self, key, value):
        """A key of the video system's [mode]: available_view_modes, view_mode.name."""
        self._set(self._video_file(), "mode", key, value)

    def faults(self, part):
        """The names of the part's faults that are on."""
        file, names = FAULTS[part]
        return [name for name in names if self._state_tool("fault", file, name) is not None]

    def _rotation_call(self, channel, method, *arguments):
        """gdbus's answer; CalledProcessError when the call fails."""
        if self.bus_address is None:
            # Started elsewhere (tools/run.sh): the bus is written down.
            address = self.state / "bus-address"
            if not address.exists() or not address.stat().st_size:
                raise RuntimeError(f"the simulated camera is not running ({address} is missing); start tools/run.sh")
            self.bus_address = address.read_text().splitlines()[0]
        return subprocess.run(["gdbus", "call", "--address", self.bus_address, "--dest", BUS_NAME,
                               "--object-path", f"/com/zuvia/Positioning/AutoRotation/{channel}",
                               "--method", f"{BUS_NAME}.{method}", *arguments],
                              check=True, capture_output=True, text=True).stdout.rstrip("\n")

    def rotation_reply(self, channel):
        return self._rotation_call(channel, "GetAutoRotation")

    def rotate(self, channel, degrees):
        self._rotation_call(channel, "SetAutoRotation", f"int32 {degrees}")

    def fault(self, part, name, value):
        """fault("rotation", CHANNEL, "none|error|empty|wrong-type"),
        fault("video", "mode_new|get_info|map_new|apply", on),
        fault("param", "new|set", on), fault("key file", "unwritable", on)."""
        if part == "rotation":
            self._rotation_call(name, "SetFault", f"'{value}'")
        elif part == "key file":
            here, away = self.state / "localdata", self.state / "localdata.away"
            (here.rename(away) if value else away.rename(here))
        else:
            file = self._video_file() if part == "video" else FAULTS[part][0]
            self._set(file, "faults", name, "true" if value else "false")


# --- tools/run.sh ---------------------------------------------------------------

def build():
    """The dev preset, up to date."""
    subprocess.run(["cmake", "--preset", "dev"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "dev"], cwd=ROOT, check=True)


USAGE = """tools/run.sh [--state DIR] [--fresh] [--port N] [--viewer] [--auth]

  --state DIR  the simulated camera's state folder (default: .sim in the repo)
  --fresh      wipe the state folder first: a camera straight from the box
  --port N     the web server's port on 127.0.0.1 (default 8642; 0 picks a
               free one)
  --viewer     the service's user is only a "viewer": every call is refused
  --auth       as on a camera: https, and a password asked for: user
               "camop", its password and the certificate made on first use
               and kept in the state folder

While it runs, tools/camera rotates channels, injects faults and shows the
camera's state."""


def run(argv):
    parser = argparse.ArgumentParser(prog="run.sh", usage=USAGE, add_help=False)
    parser.add_argument("--state", default=str(ROOT / ".sim"))
    parser.add_argument("--fresh", action="store_true")
    parser.add_argument("--port", default="8642")
    parser.add_argument("--viewer", action="store_true")
    parser.add_argument("--auth", action="store_true")
    parser.add_argument("-h", "--help", action="store_true")
    args = parser.parse_args(argv)
    if args.help:
        print("Usage: " + USAGE)
        return 0
    if not args.port.isdigit() or int(args.port) > 65535:
        print(f"run.sh: bad port {args.port}", file=sys.stderr)
        return 2
    state = Path(args.state)
    state.mkdir(parents=True, exist_ok=True)
    state = state.resolve()
    # The marker lets --fresh wipe only a folder this made.
    marker = state / ".panetessel-sim"
    if args.fresh:
        if not marker.exists() and any(state.iterdir()):
            print(f"run.sh: {state} is not a simulated camera's folder; not wiping it", file=sys.stderr)
            return 2
        for entry in state.iterdir():
            shutil.rmtree(entry) if entry.is_dir() and not entry.is_symlink() else entry.unlink()
    pid_file = state / "run.pid"
    if pid_file.exists():
        try:
            os.kill(int(pid_file.read_text()), 0)
            print(f"run.sh: already running on {state} (pid {pid_file.read_text().strip()})", file=sys.stderr)
            return 1
        except (ValueError, ProcessLookupError):
            pass

    build()
    marker.touch()
    pid_file.write_text(f"{os.getpid()}\n")
    group = "viewer" if args.viewer else "operator"
    camera = SimCamera(state, port=int(args.port), group=group, auth=args.auth, log=sys.stderr, front=True)

    def stop(*_):
        raise KeyboardInterrupt

    # SIGINT too: started in the background of a script, it comes ignored.
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        camera.open()
        url = camera.url
        curl = f"curl -s --digest -u {USER}:{camera.password} --cacert {camera.cafile}" if args.auth else "curl -s"
        password = (f'The web server asks for a password: user "{USER}", password "{camera.password}"'
                    f" (kept in {state}/{USER}.password);\nits certificate: {camera.cafile}\n") if args.auth else ""
        print(f"""
The simulated camera runs; the service answers on {url}
(state folder: {state}, user "{USER}" in group "{group}")
{password}
  Settings page: {url.removesuffix("api")}

  {curl} --data '{{"method": "getSupportedVersions"}}' {url}
  {curl} --data '{{"apiVersion": "1.0", "method": "getViewModeInfo"}}' {url}
  {curl} --data '{{"apiVersion": "1.0", "method": "setViewMode", "params": {{"value": "quad"}}}}' {url}

Change the camera with tools/camera (e.g. "tools/camera rotate 2 90",
"tools/camera status"). Ctrl-C stops everything.
""", flush=True)
        # Runs until interrupted, or until the service ends by itself.
        status = camera.service.wait()
        status = status if status >= 0 else 128 - status
        print(f"run.sh: panetessel ended (status {status})", file=sys.stderr)
        return status
    except KeyboardInterrupt:
        print("\nrun.sh: stopping", file=sys.stderr)
        return 0
    except RuntimeError as error:
        print(f"run.sh: {error}", file=sys.stderr)
        return 1
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        camera.close()
        pid_file.unlink(missing_ok=True)


# --- tools/camera ------------------------------------------------------------------

CAMERA_USAGE = """Usage: tools/camera [--state DIR] COMMAND

  rotate CH DEG                        channel CH (0..3) is now rotated by DEG degrees
  fault rotation CH none|error|empty|wrong-type
                                       how channel CH answers GetAutoRotation
  fault video mode_new|get_info|map_new|apply on|off
                                       make the video system fail that call
  fault param new|set on|off           make the parameter service fail that call
  video offer LIST                     modes the video system offers, e.g. "single,quad"
  video mode NAME                      the video system's current mode, changed
                                       behind the service's back (seen at its next start)
  user add NAME [operator|admin|viewer]
                                       a user of the HTTP front (password on stdin,
                                       one line), in that group (default operator)
  user password NAME                   sets NAME's password (stdin, one line)
  user list                            the users, each with its group
  status                               video system, parameter, key file, rotations

--state DIR names the state folder given to tools/run.sh (default: .sim in
the repo). File changes take effect with the service's next call; rotation
commands need the camera running. Users live in DIR/http-users, the front's
users file when tools/run.sh asks for a password, and their groups in
DIR/group, the camera's group database."""


class Refused(Exception):
    """A command tools/camera turns down, with the reason."""


def _one_of(text, names, what, shown=False):
    if text not in names:
        raise Refused(f"{what} must be {', '.join(names[:-1])} or {names[-1]}" + (f", not '{text}'" if shown else ""))
    return text


def _on(text):
    if text not in ("on", "off"):
        raise Refused(f"expected on or off, not '{text}'")
    return text == "on"


def _password():
    """One line from standard input, asked for without echo on a terminal."""
    return getpass.getpass() if sys.stdin.isatty() else sys.stdin.readline().rstrip("\n")


def _status(camera):
    state = camera.state
    endpoint, key_file = state / "endpoint", state / "localdata/panetessel.conf"

    def shown(value, absent="(none)"):
        return absent if value is None else value

    print(f"State folder: {state}")
    print("Endpoint:     " + (endpoint.read_text().rstrip("\n") if endpoint.exists() and endpoint.stat().st_size
                              else "(not running)"))
    if (state / "ocul.conf").exists():
        print(f"Video system: mode {shown(camera.video())}, offers {shown(camera.offered(), '(nothing)')}")
    else:
        print("Video system: mode single, offers single,quad (no ocul.conf yet)")
    print(f"              faults: {' '.join(camera.faults('video')) or 'none'}")
    print(f"Parameter:    root.Image.I4.Enabled={shown(camera.parameter(), '(not set)')}")
    print(f"              faults: {' '.join(camera.faults('param')) or 'none'}")
    print(f"Key file:     view_mode={shown(camera.stored())} ({key_file})" if key_file.exists()
          else "Key file:     (none yet)")
    for channel in range(4):
        try:
            reply = camera.rotation_reply(channel)
            degrees = re.fullmatch(r"\((-?[0-9]+),\)", reply)
            said = f"{degrees[1]} degrees" if degrees else f"answers {reply}"
        except subprocess.CalledProcessError as error:
            said = "fails: " + (error.stdout + error.stderr).rstrip("\n").rsplit(": ", 1)[-1]
        except RuntimeError:  # no bus: the camera is not running
            print("Rotations:    (not running)")
            return
        print(f"Channel {channel}:    {said}")


def _command(camera, words):
    match words:
        case ["rotate", channel, degrees]:
            if not re.fullmatch("-?[0-9]+", degrees):
                raise Refused(f"degrees must be a whole number, not '{degrees}'")
            camera.rotate(_one_of(channel, CHANNELS, "channel", True), degrees)
        case ["fault", "rotation", channel, kind]:
            camera.fault("rotation", _one_of(channel, CHANNELS, "channel", True),
                         _one_of(kind, ROTATION_FAULTS, "rotation fault"))
        case ["fault", "video" | "param" as part, name, on]:
            what = {"video": "video fault", "param": "parameter fault"}[part]
            camera.fault(part, _one_of(name, FAULTS[part][1], what), _on(on))
        case ["video", "offer", modes]:
            camera.set_video("available_view_modes", modes)
        case ["video", "mode", name]:
            camera.set_video("view_mode.name", name)
        case ["user", "add", name, *group] if len(group) < 2:
            group = _one_of(group[0] if group else "operator", ("operator", "admin", "viewer"), "group", True)
            if name in camera.users():
                raise Refused(f"{name} is a user already (user password changes the password)")
            camera.set_password(name, _password())
            camera.set_group(name, group)
        case ["user", "password", name]:
            if name not in camera.users():
                raise Refused(f"no user {name}")
            camera.set_password(name, _password())
        case ["user", "list"]:
            members = camera.groups()[1]
            for name in camera.users():
                print(f"{name:<20} {','.join(group for group in members if name in members[group]) or '(no group)'}")
        case ["status"]:
            _status(camera)
        case _:
            # The usage line of the command named, from the help: its
            # lower-case words name it.
            for line in CAMERA_USAGE.splitlines():
                usage = line.strip().split("  ")[0]
                named = list(itertools.takewhile(re.compile("[a-z]+").fullmatch, usage.split()))
                if re.match("  [a-z]", line) and words[:len(named)] == named:
                    raise Refused(f"usage: {usage}")
            return False
    return True


def camera_tool(argv):
    """tools/camera: changes and shows the camera that tools/run.sh runs."""
    state = ROOT / ".sim"
    if argv[:1] == ["--state"]:
        state, argv = Path(argv[1]) if argv[1:] else None, argv[2:]
    if argv[:1] in (["-h"], ["--help"], ["help"]):
        print(CAMERA_USAGE)
        return 0
    try:
        if state is None:
            raise Refused("--state needs a folder")
        if argv and not state.is_dir():
            raise Refused(f"no state folder {state}: start tools/run.sh first")
        if not argv or not _command(SimCamera(state), argv):
            print(CAMERA_USAGE, file=sys.stderr)
            return 2
    except (Refused, RuntimeError) as error:
        print(f"camera: {error}", file=sys.stderr)
        return 2
    except FileNotFoundError as error:
        print(f"camera: {error.filename} is missing; tools/run.sh builds it", file=sys.stderr)
        return 2
    except subprocess.CalledProcessError as error:
        sys.stderr.write(error.stderr or "")  # what gdbus said
        return error.returncode
    return 0


if __name__ == "__main__":
    sys.exit({"run": run, "camera": camera_tool}[sys.argv[1]](sys.argv[2:]))
