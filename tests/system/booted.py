"""The booted camera: an arm64 Debian system with systemd under
qemu-system-aarch64 (software emulation), the simulated platform package and
the camera package installed in it as an integrator would (dpkg -i, nothing
else), driven from this machine through forwarded ports (the board's web
server: https, and http that only redirects) and the qemu guest agent. Its
methods mean what SimCamera's do.

The system image is built once from Debian's packages by image.sh and kept
in build/boot/, keyed by the recipe and this machine's apt sources.
"""
import base64
import json
import platform
import random
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
from http.client import HTTPException
from pathlib import Path

from answers import set_answer, set_mode, versions, versions_answer, wire
from camera import ROOT, USER, Api, free_ports, sha256

HERE = Path(__file__).resolve().parent
IMAGES = ROOT / "build/boot"
APP = "/usr/local/packages/panetessel"
KEY_FILE = f"{APP}/localdata/panetessel.conf"
SIM_STATE = "/var/lib/panetessel-sim"
# Where the simulated platform package keeps its web operator's password and
# the certificate its web server presents.
PASSWORD_FILE = "/etc/panetessel-sim/camop.password"
CERT_FILE = "/etc/panetessel-sim/tls/cert.pem"
# Paths on the disk of the system's files that a power cut is judged by.
CUT_FILES = {"video": (f"{SIM_STATE}/ocul.conf", "view_mode.name"),
             "parameter": (f"{SIM_STATE}/parameters.conf", "root.Image.I4.Enabled"),
             "stored": (KEY_FILE, "view_mode")}


def apt_sources():
    """This machine's own apt sources of its Debian release and its updates
    and security suites: nothing in the repository names a package host."""
    release = platform.freedesktop_os_release()["VERSION_CODENAME"]
    listed = subprocess.run(["apt-get", "indextargets", "--format", "$(TARGET_OF) $(REPO_URI) $(RELEASE) $(COMPONENT)"],
                            capture_output=True, text=True, check=True).stdout
    suites = (release, f"{release}-updates", f"{release}-security")
    lines = sorted({f"deb {uri} {suite} main\n" for kind, uri, suite, component in map(str.split, listed.splitlines())
                    if kind == "deb" and suite in suites and component == "main"})
    if not lines:
        raise RuntimeError(f"no apt source of Debian {release} on this machine")
    return "".join(lines)


def system_image():
    """The image's folder (root.img, vmlinuz, initrd.img), built when its
    recipe or the sources changed; and the seconds that took (0: cached)."""
    sources = apt_sources()
    folder = IMAGES / f"image-{sha256((HERE / 'image.sh').read_text() + sources)[:16]}"
    if (folder / "root.img").exists():
        return folder, 0.0
    for old in IMAGES.glob("image-*"):
        shutil.rmtree(old)
    new = folder.with_name(folder.name + ".new")
    new.mkdir(parents=True)
    (new / "sources.list").write_text(sources)
    # mmdebstrap runs the arm64 packages' scripts through binfmt_misc.
    if not Path("/proc/sys/fs/binfmt_misc/status").exists():
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", "/proc/sys/fs/binfmt_misc"], check=True)
    subprocess.run(["update-binfmts", "--enable", "qemu-aarch64"], capture_output=True)
    began = time.monotonic()
    built = subprocess.run(["bash", HERE / "image.sh", new, new / "sources.list"], capture_output=True, text=True)
    if built.returncode:
        raise RuntimeError(f"the system image could not be built:\n{built.stdout[-3000:]}{built.stderr[-3000:]}")
    new.rename(folder)
    return folder, time.monotonic() - began


class GuestError(RuntimeError):
    pass


class Agent:
    """One connection to the qemu guest agent. It serves one client at a
    time, so each use connects anew and syncs past what an earlier client
    left unread: a delimited sync's answer comes after a 0xff byte."""

    def __init__(self, path, timeout):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(str(path))
        self.lines = self.sock.makefile("rb")
        token = random.randrange(1, 2**31)
        self.send("guest-sync-delimited", id=token)
        while True:
            line = self.lines.readline()
            if not line:
                raise ConnectionError("the guest agent closed the connection")
            try:
                if json.loads(line.rsplit(b"\xff", 1)[-1]).get("return") == token:
                    break
            except ValueError:
                continue

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.lines.close()
        self.sock.close()

    def send(self, command, **arguments):
        self.sock.sendall(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")

    def call(self, command, **arguments):
        self.send(command, **arguments)
        answer = json.loads(self.lines.readline() or b"{}")
        if "return" not in answer:
            raise GuestError(f"{command}: {answer.get('error', 'no answer')}")
        return answer["return"]


class BootedCamera:
    """The system booted from a copy of the image in folder (disk.img,
    serial.log, qemu.log, the agent's socket)."""

    def __init__(self, folder, image):
        self.folder, self.image = Path(folder), Path(image)
        self.disk, self.socket = self.folder / "disk.img", self.folder / "qga.sock"
        subprocess.run(["cp", "--sparse=always", self.image / "root.img", self.disk], check=True)
        self.port, self.http_port = free_ports(2)  # the guest's 443 and 80
        self.url = f"https://127.0.0.1:{self.port}/panetessel/api"
        self.qemu = None
        self.password = self.cafile = None
        self.packages = {}  # package name: its .deb in the guest

    # --- the machine ---------------------------------------------------------

    def running(self):
        return self.qemu is not None and self.qemu.poll() is None

    def boot(self):
        """Boots the disk; returns the seconds until systemd has the system
        up."""
        began = time.monotonic()
        self.socket.unlink(missing_ok=True)
        with open(self.folder / "qemu.log", "a") as log:
            self.qemu = subprocess.Popen([
                "qemu-system-aarch64", "-M", "virt", "-cpu", "max,pauth-impdef=on", "-smp", "2", "-m", "1024",
                "-no-reboot", "-kernel", self.image / "vmlinuz", "-initrd", self.image / "initrd.img",
                "-append", "root=/dev/vda ro console=ttyAMA0",
                "-drive", f"file={self.disk},if=virtio,format=raw",
                "-netdev", f"user,id=net0,hostfwd=tcp:127.0.0.1:{self.port}-:443,"
                           f"hostfwd=tcp:127.0.0.1:{self.http_port}-:80",
                "-device", "virtio-net-pci,netdev=net0,romfile=",
                "-chardev", f"socket,path={self.socket},server=on,wait=off,id=qga0",
                "-device", "virtio-serial", "-device", "virtserialport,chardev=qga0,name=org.qemu.guest_agent.0",
                "-chardev", f"file,id=console,path={self.folder / 'serial.log'},append=on",
                "-serial", "chardev:console", "-display", "none", "-monitor", "none"],
                stdout=log, stderr=subprocess.STDOUT, process_group=0)
        deadline = time.monotonic() + 180
        while True:
            try:
                with Agent(self.socket, 2) as agent:
                    agent.call("guest-ping")
                break
            except (OSError, ValueError, GuestError):
                if not self.running() or time.monotonic() > deadline:
                    raise GuestError(f"the guest agent did not come up; see {self.folder}/serial.log")
                time.sleep(0.2)
        state = self.run("systemctl is-system-running --wait").stdout.strip()
        if state != "running":
            raise GuestError(f"the system is {state}: {self.sh('systemctl --failed --no-legend --plain')}")
        return time.monotonic() - began

    def shutdown(self):
        """A clean shutdown from inside (qemu ends with the guest); returns
        the seconds it took."""
        began = time.monotonic()
        with Agent(self.socket, 10) as agent:
            agent.send("guest-shutdown", mode="reboot")  # -no-reboot: qemu ends; no answer comes
        self.qemu.wait(120)
        return time.monotonic() - began

    def cut_power(self):
        """qemu dies with whatever the guest had not written out."""
        self.qemu.kill()
        self.qemu.wait()

    def run(self, command, timeout=120):
        """command under /bin/sh as root in the guest: its status and output."""
        with Agent(self.socket, timeout) as agent:
            pid = agent.call("guest-exec", path="/bin/sh", arg=["-c", command], **{"capture-output": True})["pid"]
            deadline = time.monotonic() + timeout
            while not (status := agent.call("guest-exec-status", pid=pid))["exited"]:
                if time.monotonic() > deadline:
                    raise GuestError(f"timed out after {timeout} s: {command}")
                time.sleep(0.02)
        code = 128 + status["signal"] if "signal" in status else status.get("exitcode", 1)
        text = [base64.b64decode(status.get(name, "")).decode(errors="replace") for name in ("out-data", "err-data")]
        return subprocess.CompletedProcess(command, code, *text)

    def sh(self, command, timeout=120):
        """command's output, stripped; GuestError when it fails."""
        result = self.run(command, timeout)
        if result.returncode:
            raise GuestError(f"{command}: status {result.returncode}: {result.stdout}{result.stderr}".strip())
        return result.stdout.strip()

    def put(self, local, remote):
        with Agent(self.socket, 30) as agent, open(local, "rb") as f:
            handle = agent.call("guest-file-open", path=str(remote), mode="w")
            while chunk := f.read(48 * 1024):
                agent.call("guest-file-write", handle=handle, **{"buf-b64": base64.b64encode(chunk).decode()})
            agent.call("guest-file-close", handle=handle)

    def dpkg(self, *args):
        """dpkg in the guest; returns the seconds it took."""
        began = time.monotonic()
        self.sh("dpkg " + " ".join(args), timeout=300)
        return time.monotonic() - began

    def install(self, *packages):
        """Copies the .debs in and installs them in turn: the seconds of
        each dpkg -i."""
        self.sh("mkdir -p /root/packages")
        times = []
        for package in map(Path, packages):
            self.packages[package.name.split("_")[0]] = remote = f"/root/packages/{package.name}"
            self.put(package, remote)
            times.append(self.dpkg("-i", remote))
        self.credentials()
        return times

    def credentials(self):
        """What the simulated platform made at install: camop's password,
        and the web server's certificate, kept in the run folder for the
        host's clients to trust (self.cafile)."""
        found = self.run(f"cat {PASSWORD_FILE}")
        self.password = found.stdout.strip() if found.returncode == 0 else None
        cert = self.run(f"cat {CERT_FILE}")
        self.cafile = None
        if cert.returncode == 0:
            self.cafile = str(self.folder / "cert.pem")
            Path(self.cafile).write_text(cert.stdout)

    # --- the service -----------------------------------------------------------

    def api(self, **options):
        if self.password:
            options.setdefault("user", USER)
            options.setdefault("password", self.password)
        return Api(self.url, cafile=self.cafile, **options)

    def wait_api(self, seconds=30):
        """Waits until the API answers from the host; the seconds waited."""
        began = time.monotonic()
        while time.monotonic() - began < seconds:
            try:
                if self.api(timeout=10).request(versions()).body == wire(versions_answer()):
                    return time.monotonic() - began
            except (OSError, HTTPException):
                pass
            time.sleep(0.1)
        raise GuestError(f"the API does not answer from the host after {seconds} s")

    def main_pid(self):
        return int(self.sh("systemctl show -P MainPID panetessel.service"))

    def kill(self, sig=signal.SIGKILL):
        self.sh(f"kill -{int(sig)} {self.main_pid()}")

    def start(self):
        self.sh("systemctl start panetessel.service")
        self.wait_api()
        return self

    def journal(self, priority="debug"):
        """The service's journal lines at priority (a level or a range) since
        its last start, each "IDENTIFIER: MESSAGE"."""
        invocation = self.sh("systemctl show -P InvocationID panetessel.service")
        out = self.sh(f"journalctl -b _SYSTEMD_INVOCATION_ID={invocation} -p {priority} -o json "
                      "--output-fields=SYSLOG_IDENTIFIER,MESSAGE --no-pager")
        return [f"{entry.get('SYSLOG_IDENTIFIER')}: {entry.get('MESSAGE')}" for entry in map(json.loads, out.splitlines())]

    def recent_journal(self):
        """The services' last lines and the web server's last errors, for a
        failure's report."""
        if not self.running():
            return "(the guest is not running)"
        try:
            return self.sh("journalctl -b -u panetessel -u zu-autorotation-sim -u lighttpd -n 25 --no-pager; "
                           "tail -n 5 /var/log/lighttpd/error.log || true", timeout=20)
        except (OSError, GuestError) as error:
            return f"(no journal: {error})"

    # --- the platform's state, by the stand-ins' rules ---------------------------

    def _state(self, state, file, group, key):
        result = self.run(f"ZU_PLATFORM_STATE_DIR={state} zu-sim-state get {file} {group} {key}")
        return result.stdout.strip() if result.returncode == 0 else None

    def video(self):
        return self._state(SIM_STATE, "ocul.conf", "mode", "view_mode.name")

    def parameter(self):
        return self._state(SIM_STATE, "parameters.conf", "parameters", "root.Image.I4.Enabled")

    def stored(self):
        """The key file's view mode; None when it does not parse or has none."""
        return self._state(APP, "localdata/panetessel.conf", "general", "view_mode")

    def fault(self, part, name, value):
        """fault("video", "mode_new|get_info|map_new|apply", on),
        fault("param", "new|set", on): set as the service's user, whose
        files the stand-ins' are."""
        file = {"video": "ocul.conf", "param": "parameters.conf"}[part]
        self.sh(f"runuser -u panetessel -- env ZU_PLATFORM_STATE_DIR={SIM_STATE} "
                f"zu-sim-state set {file} faults {name} {'true' if value else 'false'}")

    def rotate(self, channel, degrees):
        name = "com.zuvia.Positioning.AutoRotation"
        self.sh(f"busctl call {name} /com/zuvia/Positioning/AutoRotation/{channel} {name} "
                f"SetAutoRotation i {degrees}")

    # --- after a power cut ------------------------------------------------------

    def cut_disk(self):
        """What a copy of the cut disk holds, its journal replayed as the
        guest's own boot will: {"video", "parameter", "stored"} (None where
        a file does not parse) and the temporary key files left."""
        copy = self.folder / "cut.img"
        subprocess.run(["cp", "--sparse=always", self.disk, copy], check=True)
        subprocess.run(["e2fsck", "-E", "journal_only", "-y", copy], capture_output=True)

        def debugfs(request):
            return subprocess.run(["debugfs", "-R", request, copy], capture_output=True, text=True).stdout

        held = {}
        for name, (path, key) in CUT_FILES.items():
            lines = debugfs(f"cat {path}").splitlines()
            values = [line.split("=", 1)[1] for line in lines if line.startswith(key + "=")]
            held[name] = values[0] if len(values) == 1 else None
        # The key file holds its group and its mode and nothing else.
        if not set(debugfs(f"cat {KEY_FILE}").splitlines()) <= {"[general]", "view_mode=single", "view_mode=quad"}:
            held["stored"] = None
        leftovers = re.findall(r"panetessel\.conf\.\w{6}", debugfs(f"ls {APP}/localdata"))
        copy.unlink()
        return held, len(set(leftovers))


def switcher(api, seed):
    """Switches, in a thread of its own, to a mode drawn at random as fast
    as answers come, until the connection fails (the power is cut). Returns
    the thread and its log: ("sent", MODE) before a request goes out,
    ("acked", MODE) once its success is in, ("refused", MODE, ANSWER) for
    anything else, which ends it."""
    rng, log = random.Random(seed), []

    def switch():
        while True:
            mode = rng.choice(("single", "quad"))
            log.append(("sent", mode))
            try:
                got = api.request(set_mode(mode))
            except (OSError, HTTPException):
                return
            if (got.status, got.body) != (200, wire(set_answer())):
                return log.append(("refused", mode, got))
            log.append(("acked", mode))

    thread = threading.Thread(target=switch, daemon=True)
    thread.start()
    return thread, log
