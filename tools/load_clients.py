#!/usr/bin/env python3
"""Hostile HTTP clients of tools/load.sh (standard library only).

  load_clients.py idle URL [--idle N] [--seconds S]
      holds N idle connections and a client that sends one byte a second,
      while a new client asks getSupportedVersions every quarter second.
  load_clients.py garbage URL [--count N] [--seed S] [--skip KIND]
      sends N broken requests, each on a new connection, and checks how
      each one ends.
  load_clients.py check URL
      the service still answers every method correctly.

Each prints one line of figures starting with its name in capitals and
exits 1 when a check failed.
"""

import argparse
import collections
import concurrent.futures
import json
import random
import socket
import sys
import threading
import time
import urllib.parse

PATH = "/panetessel/api"
VERSIONS = b'{"method": "getSupportedVersions"}'
VERSIONS_ANSWER = b'{"apiVersion": "1.0", "method": "getSupportedVersions", "data": {"apiVersions": ["1.0"]}}\r\n'


def endpoint(url):
    parts = urllib.parse.urlsplit(url)
    return parts.hostname, parts.port


def post(body, extra_headers=b"", close=True):
    return (b"POST " + PATH.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
            (b"Connection: close\r\n" if close else b"") + extra_headers +
            b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


def complete(data):
    """Whether data holds a whole answer that says how long its body is."""
    head, found, body = data.partition(b"\r\n\r\n")
    if not found:
        return False
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length" and value.strip().isdigit():
            return len(body) >= int(value)
    return False


def read_answer(sock, timeout):
    """The first answer, or all the peer sends until it closes; None when it
    is still silent at the time-out."""
    sock.settimeout(timeout)
    data = b""
    try:
        while not complete(data):
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
        return data
    except socket.timeout:
        return data or None
    except ConnectionResetError:
        return data


def split_answer(raw):
    """(status, body) of an HTTP answer; status 0 when there is none."""
    head, _, body = raw.partition(b"\r\n\r\n")
    fields = head.split(b" ", 2)
    if len(fields) < 2 or not fields[0].startswith(b"HTTP/1.") or not fields[1].isdigit():
        return 0, b""
    return int(fields[1]), body


def ask(host, port, request, timeout=5.0, half_close=False):
    with socket.create_connection((host, port), timeout=timeout) as sock:
        try:
            sock.sendall(request)
            if half_close:
                sock.shutdown(socket.SHUT_WR)
        except (BrokenPipeError, ConnectionResetError, OSError):
            pass  # the service hung up early: what it said before counts
        return read_answer(sock, timeout)


# --- idle and slow clients ----------------------------------------------------

def idle(args):
    host, port = endpoint(args.url)
    began = time.monotonic()
    held = [socket.create_connection((host, port), timeout=5) for _ in range(args.idle)]
    opening = time.monotonic() - began
    stop = threading.Event()
    slow = {"bytes": 0, "closed": False}

    def slow_client():
        request = post(VERSIONS)
        with socket.create_connection((host, port), timeout=5) as sock:
            for byte in request:
                if stop.wait(1.0):
                    return
                try:
                    sock.send(bytes([byte]))
                    slow["bytes"] += 1
                except OSError:
                    slow["closed"] = True
                    return

    sender = threading.Thread(target=slow_client)
    sender.start()
    times, wrong = [], 0
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        began = time.monotonic()
        raw = ask(host, port, post(VERSIONS))
        times.append(time.monotonic() - began)
        status, body = split_answer(raw or b"")
        if status != 200 or body != VERSIONS_ANSWER:
            wrong += 1
        time.sleep(0.25)
    stop.set()
    sender.join()

    closed = 0
    for sock in held:
        sock.setblocking(False)
        try:
            if sock.recv(1) == b"":
                closed += 1
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
        sock.close()
    times.sort()
    print(f"IDLE idle={args.idle} opened_in_s={opening:.2f} seconds={args.seconds} idle_closed_by_service={closed} "
          f"slow_bytes_sent={slow['bytes']} slow_closed_by_service={int(slow['closed'])} "
          f"new_clients={len(times)} wrong={wrong} p50_ms={1000 * times[len(times) // 2]:.1f} "
          f"max_ms={1000 * times[-1]:.1f}")
    return 0 if wrong == 0 and times[-1] < args.limit_ms / 1000 else 1


# --- garbage ----------------------------------------------------------------------

def deep(rng):
    depth = rng.choice([2047, 2048, 2049, 10000, 100000])
    kind = rng.randrange(3)
    if kind == 0:
        return b"[" * depth + b"]" * depth
    if kind == 1:
        return b'{"a": ' * depth + b"1" + b"}" * depth
    value = b"[" * depth + b'"quad"' + b"]" * depth
    return b'{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": ' + value + b"}}"


def bad_utf8(rng):
    text = rng.choice([b"\xff\xfe", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"caf\xe9"])
    where = rng.randrange(3)
    if where == 0:
        return b'{"method": "getViewModeInfo", "apiVersion": "1.0", "context": "' + text + b'"}'
    if where == 1:
        return b'{"method": "' + text + b'", "apiVersion": "1.0"}'
    return b'{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "' + text + b'"}}'


def with_nul(rng):
    return rng.choice([
        b'{"method": "getSupportedVersions"}\x00{"method": "setViewMode"}',
        b'{"method": "getSup\x00portedVersions"}',
        b'{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "quad\x00"}}',
        b"\x00" * rng.randrange(1, 64),
    ])


def mutated_json(rng):
    body = bytearray(rng.choice([
        b'{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "single"}}',
        b'[{"method": "getViewModeInfo", "apiVersion": "1.0"}, {"method": "getSupportedVersions"}]',
        b'{"method": "getViewModeInfo", "apiVersion": "1.0", "context": "x"}',
    ]))
    for _ in range(rng.randrange(1, 4)):
        at = rng.randrange(len(body))
        if rng.random() < 0.5:
            body[at] = rng.randrange(256)
        else:
            del body[at:]
            break
    return bytes(body)


# Each maker gives the bytes to send and whether they are a well-framed
# request, which must get an answer; the others may also just be closed.
def framed(maker):
    return lambda rng: (post(maker(rng)), True)


def random_bytes(rng):
    return rng.randbytes(rng.randrange(1, 4096)), False


def broken_head(rng):
    body = b'{"method": "getSupportedVersions"}'
    return rng.choice([
        b"POST " + PATH.encode() + b" HTTP/1.1\nHost: x\nContent-Length: 2\n\n{}",
        b"POST " + PATH.encode() + b" HTTP/1.1\r\nHost x\r\nContent-Length: 2\r\n\r\n{}",
        b"POST " + PATH.encode() + b" HTTP/9.9\r\nContent-Length: 2\r\n\r\n{}",
        b"POST " + PATH.encode() + b"\r\n\r\n",
        b"POST\r\n\r\n",
        b" " * 100 + b"\r\n\r\n",
        b"POST /" + b"a" * 9000 + b" HTTP/1.1\r\n\r\n",
        post(body, b"X-Big: " + b"v" * 70000 + b"\r\n"),
        post(body, b"".join(b"X-%d: y\r\n" % i for i in range(300))),
        post(body, b"Bad Header: spaces\r\n"),
        post(body, b"X-Ctl: a\x01b\r\n"),
        b"post " + PATH.encode() + b" HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}",
        b"POST http://127.0.0.1" + PATH.encode() + b" HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}",
    ]), False


def long_query(rng):
    """A well-formed request whose URL carries many query arguments. Past
    8 KiB, each argument counted as 64 bytes more, the endpoint refuses it
    (414) or closes it unanswered when the HTTP daemon has given up on it."""
    count = rng.randrange(1, 1000)
    query = b"&".join(b"q%d=%d" % (i, i) for i in range(count))
    target = PATH.encode() + b"?" + query
    return (b"POST " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
            b"Content-Length: 2\r\n\r\n{}"), len(target) + 64 * count <= 8192


def bogus_length(rng):
    body = b'{"method": "getSupportedVersions"}'
    head = b"POST " + PATH.encode() + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
    length = rng.choice([b"-1", b"99999999999999999999", b"abc", b"10, 20", b"0x10", b"",
                         str(len(body) + 100).encode(), str(len(body) - 10).encode(), b"2000000"])
    extra = b"Content-Length: 5\r\n" if rng.random() < 0.2 else b""
    return head + b"Content-Length: " + length + b"\r\n" + extra + b"\r\n" + body, False


def chunked(rng):
    body = b'{"method": "getViewModeInfo", "apiVersion": "1.0"}'
    head = b"POST " + PATH.encode() + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n"
    good = b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)
    variants = [
        lambda: (head + b"\r\n" + good, True),
        lambda: (head + b"\r\n" + b"".join(b"1\r\n%c\r\n" % c for c in body) + b"0\r\n\r\n", True),
        lambda: (head + b"\r\n" + b"%x;ext=1\r\n%s\r\n0\r\nX-Trailer: 1\r\n\r\n" % (len(body), body), True),
        lambda: (head + b"\r\n" + b"zz\r\n" + body + b"\r\n0\r\n\r\n", False),
        lambda: (head + b"\r\n" + b"ffffffffffffffff\r\n" + body, False),
        lambda: (head + b"\r\n" + b"%x\r\n%s\r\n" % (len(body), body), False),
        lambda: (head + b"Content-Length: 3\r\n\r\n" + good, False),
        # Over the 1 MiB a body may have.
        lambda: (head + b"\r\n" + b"200000\r\n" + b"[" * 0x200000 + b"\r\n0\r\n\r\n", True),
    ]
    return rng.choice(variants)()


MAKERS = {
    "random bytes": random_bytes,
    "broken head": broken_head,
    "long query": long_query,
    "bogus length": bogus_length,
    "chunked body": chunked,
    "NUL in body": framed(with_nul),
    "invalid UTF-8": framed(bad_utf8),
    "deep nesting": framed(deep),
    "mutated JSON": framed(mutated_json),
}


def outcome(raw, must_answer):
    """What became of one request, and whether that is acceptable."""
    if raw is None:
        # A broken request may wait for the endpoint's idle time-out.
        return ("no answer in 5 s", False) if must_answer else ("held open", True)
    if raw == b"":
        return "closed", not must_answer
    status, body = split_answer(raw)
    if status == 0:
        return "not HTTP", False
    if status == 500:
        return "500", False  # the service's own failure
    if status == 200:
        # Every 200 carries one line of JSON.
        try:
            json.loads(body.removesuffix(b"\r\n"))
        except ValueError:
            return "200, not JSON", False
        return "200", body.endswith(b"\r\n")
    return str(status), True


def garbage(args):
    host, port = endpoint(args.url)
    rng = random.Random(args.seed)
    names = [name for name in MAKERS if name not in args.skip]
    # Each request is made from a seed of its own, when it is sent.
    jobs = [(rng.choice(names), rng.getrandbits(64)) for _ in range(args.count)]

    def run(job):
        name, seed = job
        data, must_answer = MAKERS[name](random.Random(seed))
        try:
            # A broken request shows within 2 s whether it is answered or held.
            raw = ask(host, port, data, timeout=5.0 if must_answer else 2.0, half_close=not must_answer)
        except ConnectionResetError:
            raw = b""
        except OSError as error:
            return name, f"error {error.errno}", False
        return (name, *outcome(raw, must_answer))

    counts = collections.defaultdict(collections.Counter)
    bad = collections.Counter()
    began = time.monotonic()
    # Enough clients at once that those held open do not hold the run up.
    with concurrent.futures.ThreadPoolExecutor(max_workers=32) as pool:
        for name, result, fine in pool.map(run, jobs):
            counts[name][result] += 1
            if not fine:
                bad[f"{name}: {result}"] += 1
    took = time.monotonic() - began
    for name in names:
        print(f"  {name:14} " + ", ".join(f"{result} {n}" for result, n in sorted(counts[name].items())))
    for what, n in sorted(bad.items()):
        print(f"  UNACCEPTABLE {what}: {n}")
    print(f"GARBAGE sent={args.count} seed={args.seed} seconds={took:.1f} unacceptable={sum(bad.values())}")
    return 0 if not bad else 1


# --- the service still answers -----------------------------------------------

def check(args):
    host, port = endpoint(args.url)

    def answer(body):
        status, text = split_answer(ask(host, port, post(body)) or b"")
        return text if status == 200 else b"status %d" % status

    current = json.loads(answer(b'{"method": "getViewModeInfo", "apiVersion": "1.0"}'))["data"]["current"]
    other = "quad" if current == "single" else "single"
    expected = [
        (VERSIONS, VERSIONS_ANSWER),
        (b'{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "%s"}}' % other.encode(),
         b'{"apiVersion": "1.0", "method": "setViewMode", "data": {}}\r\n'),
        (b'{"method": "getViewModeInfo", "apiVersion": "1.0"}',
         b'{"apiVersion": "1.0", "method": "getViewModeInfo", "data": {"current": "%s", '
         b'"viewModes": ["single", "quad"]}}\r\n' % other.encode()),
        (b'{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "%s"}}' % current.encode(),
         b'{"apiVersion": "1.0", "method": "setViewMode", "data": {}}\r\n'),
    ]
    wrong = 0
    for body, want in expected:
        got = answer(body)
        if got != want:
            wrong += 1
            print(f"  wrong answer to {body!r}: {got!r}")
    print(f"CHECK asked={len(expected)} wrong={wrong}")
    return 0 if wrong == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("idle")
    p.add_argument("url")
    p.add_argument("--idle", type=int, default=64)
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--limit-ms", type=float, default=100, help="slowest new client allowed")
    p.set_defaults(run=idle)
    p = commands.add_parser("garbage")
    p.add_argument("url")
    p.add_argument("--count", type=int, default=10000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--skip", action="append", default=[], choices=list(MAKERS), help="a kind to leave out")
    p.set_defaults(run=garbage)
    p = commands.add_parser("check")
    p.add_argument("url")
    p.set_defaults(run=check)
    args = parser.parse_args()
    sys.exit(args.run(args))


if __name__ == "__main__":
    main()
