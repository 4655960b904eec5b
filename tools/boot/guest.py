#!/usr/bin/env python3
"""Drives the booted test system through the qemu guest agent's socket.

  guest.py SOCKET wait SECONDS         until the agent answers
  guest.py SOCKET run [-t SECONDS] CMD  CMD under /bin/sh as root; its output
                                        and exit status become ours
  guest.py SOCKET put LOCAL REMOTE     copies a file into the guest
  guest.py SOCKET reboot|poweroff      asks the guest to do so; no answer

The agent serves one client at a time, so each call connects anew and syncs
past whatever an earlier client left unread."""
import base64
import json
import os
import random
import socket
import sys
import time


class Agent:
    def __init__(self, path, timeout):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buffer = b""
        self.sync()

    def send(self, command, **arguments):
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self.sock.sendall(json.dumps(message).encode() + b"\n")

    def line(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("the guest agent closed the connection")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line

    def sync(self):
        # The agent answers a delimited sync with 0xff first: whatever came
        # before it is an earlier client's.
        token = random.randrange(1, 2**31)
        self.send("guest-sync-delimited", id=token)
        while True:
            line = self.line()
            if b"\xff" in line:
                line = line.rsplit(b"\xff", 1)[1]
            try:
                if json.loads(line).get("return") == token:
                    return
            except ValueError:
                continue

    def call(self, command, **arguments):
        self.send(command, **arguments)
        answer = json.loads(self.line())
        if "error" in answer:
            raise RuntimeError(f"{command}: {answer['error'].get('desc', answer['error'])}")
        return answer.get("return")


def wait(path, seconds):
    deadline = time.monotonic() + seconds
    while True:
        try:
            Agent(path, 2).call("guest-ping")
            return 0
        except (OSError, ConnectionError, ValueError):
            if time.monotonic() > deadline:
                print(f"guest: no agent on {path} after {seconds} s", file=sys.stderr)
                return 1
            time.sleep(0.2)


def run(path, command, seconds):
    agent = Agent(path, seconds)
    pid = agent.call("guest-exec", path="/bin/sh", arg=["-c", command],
                     **{"capture-output": True})["pid"]
    deadline = time.monotonic() + seconds
    while True:
        status = agent.call("guest-exec-status", pid=pid)
        if status.get("exited"):
            break
        if time.monotonic() > deadline:
            print(f"guest: timed out after {seconds} s: {command}", file=sys.stderr)
            return 124
        time.sleep(0.02)
    sys.stdout.buffer.write(base64.b64decode(status.get("out-data", "")))
    sys.stderr.buffer.write(base64.b64decode(status.get("err-data", "")))
    if "signal" in status:
        return 128 + status["signal"]
    return status.get("exitcode", 1)


def put(path, local, remote):
    agent = Agent(path, 30)
    handle = agent.call("guest-file-open", path=remote, mode="w")
    with open(local, "rb") as f:
        while chunk := f.read(48 * 1024):
            agent.call("guest-file-write", handle=handle, **{"buf-b64": base64.b64encode(chunk).decode()})
    agent.call("guest-file-close", handle=handle)
    return 0


def power(path, mode):
    # The guest goes down without answering.
    Agent(path, 10).send("guest-shutdown", mode=mode)
    return 0


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    path, verb, rest = argv[1], argv[2], argv[3:]
    if verb == "wait":
        return wait(path, float(rest[0]))
    if verb == "run":
        seconds = 60.0
        if rest[:1] == ["-t"]:
            seconds, rest = float(rest[1]), rest[2:]
        return run(path, " ".join(rest), seconds)
    if verb == "put":
        return put(path, *rest)
    if verb in ("reboot", "poweroff"):
        return power(path, "powerdown" if verb == "poweroff" else "reboot")
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
