"""Load and hostile HTTP against the service, loopback only: mixed requests
over keep-alive, idle and slow clients, garbage, and the auto-rotation
service stopped. The short runs are CI's; --long gives docs/proof.md's."""
import collections
import concurrent.futures
import json
import os
import random
import signal
import threading
import time

import pytest

import judge
import wrk
from answers import (BROKEN, BROKEN_ANSWER, CONTEXT, GET_ANSWER, answer, batch, info, info_answer, request,
                     set_answer, set_mode, versions, versions_answer, wire)
from camera import Api, http_post, rss_kib


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


# One round of the mix: an eighth of the requests switch. Each carries a
# context of its own, so its answer is checked against what was asked and
# may come exactly once; a GET and invalid JSON echo none.
KINDS = {
    "versions": ("POST", versions(CONTEXT), [versions_answer(CONTEXT)]),
    "info": ("POST", info(CONTEXT), [info_answer(mode, context=CONTEXT) for mode in ("single", "quad")]),
    "quad": ("POST", set_mode("quad", CONTEXT), [set_answer(CONTEXT)]),
    "single": ("POST", set_mode("single", CONTEXT), [set_answer(CONTEXT)]),
    "batch": ("POST", batch(versions(CONTEXT), request("nope", context=CONTEXT)),
              [batch(versions_answer(CONTEXT), answer("nope", code=2004, context=CONTEXT))]),
    "version": ("POST", request("getViewModeInfo", version="2.0", context=CONTEXT),
                [answer("getViewModeInfo", code=2003, context=CONTEXT)]),
    "get": ("GET", None, [GET_ANSWER]),
    "broken": ("POST", BROKEN, [BROKEN_ANSWER]),
}
ROUND = ["versions", "info", "quad", "versions", "info", "batch", "get", "info",
         "versions", "single", "info", "version", "versions", "batch", "broken", "info"]


@pytest.mark.load
def test_mixed_requests_over_keep_alive(sim, run_dir, options, figure):
    requests, warm_up = (200_000, 10_000) if options["long"] else (2_500, 500)
    camera = sim()
    pid = camera.service.pid
    rss_start = rss_kib(pid)
    series = []

    # The RSS every warm-up's worth of answers.
    def read_rss(count):
        while count >= warm_up * (len(series) + 1):
            series.append(rss_kib(pid))

    got = wrk.run(camera.url, [KINDS[kind] for kind in ROUND], run_dir, threads=2, connections=32,
                  quota=requests // 2, every=warm_up // 2, on_progress=read_rss)
    rss_end = rss_kib(pid)
    rss_warm = series[0] if series else rss_start
    figure(f"load (a): {got['answered']:.0f} mixed requests over keep-alive, 32 connections: {got['wrong']:.0f} wrong, "
           f"{got['errors']:.0f} errors; {got['answered'] / got['seconds']:.0f} answers/s, p50 {got['p50_us'] / 1000:.0f} ms, "
           f"p99 {got['p99_us'] / 1000:.0f} ms, max {got['max_us'] / 1000:.0f} ms")
    figure(f"load (a): RSS {rss_start} KiB at start, {rss_warm} KiB after {warm_up}, {rss_end} KiB after "
           f"{got['answered']:.0f}: {rss_end - rss_warm} KiB growth; every {warm_up} answers: {series}")
    assert got["wrong"] == 0, f"{got['wrong']:.0f} wrong answers, the first: {got['first_wrong']}"
    assert got["errors"] == 0, "connection errors or time-outs"
    assert got["answered"] >= requests
    camera.check_healthy()


@pytest.mark.load
def test_idle_and_slow_clients(sim, options, figure):
    """64 idle connections and a client sending a byte a second to the
    camera's web server, held past its idle time-out in the long run, while
    a new client asks every quarter second and must be answered quickly."""
    seconds, limit = (20, 0.1) if options["long"] else (3, 1.0)
    camera = sim(front=True)
    api = camera.api()
    began = time.monotonic()
    held = [api.connect() for _ in range(64)]
    opening = time.monotonic() - began
    stop = threading.Event()
    slow = {"bytes": 0, "closed": False}

    def slow_client():
        with api.connect() as sock:
            for byte in http_post(versions().encode()):
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
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        began = time.monotonic()
        client = camera.api(timeout=5)
        try:
            got = client.request(versions())
            wrong += got.status != 200 or got.body != wire(versions_answer())
        except OSError:
            wrong += 1
        client.close()
        times.append(time.monotonic() - began)
        time.sleep(0.25)
    stop.set()
    sender.join()
    closed = 0
    for sock in held:
        sock.setblocking(False)
        try:
            closed += sock.recv(1) == b""
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
        sock.close()
    times.sort()
    figure(f"load (b): 64 idle connections opened in {opening:.2f} s, {closed} closed by the web server after "
           f"{seconds} s; slow client sent {slow['bytes']} bytes, closed by the web server: {slow['closed']}; "
           f"{len(times)} new clients, {wrong} wrong, p50 {1000 * times[len(times) // 2]:.1f} ms, "
           f"slowest {1000 * times[-1]:.1f} ms")
    assert wrong == 0
    assert times[-1] < limit, f"a new client waited {times[-1] * 1000:.0f} ms"
    camera.check_healthy()


# --- garbage -----------------------------------------------------------------
# Each maker gives the bytes to send and whether they are a well-framed
# request, which must get an answer; the others may also just be closed.
# Host is one the front allows, but where the Host is what is tested.
PATH = b"/panetessel/api"


def deep(rng):
    depth = rng.choice([2047, 2048, 2049, 10000, 100000])
    kind = rng.randrange(3)
    if kind == 0:
        return b"[" * depth + b"]" * depth
    if kind == 1:
        return b'{"a": ' * depth + b"1" + b"}" * depth
    return (b'{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": ' +
            b"[" * depth + b'"quad"' + b"]" * depth + b"}}")


def bad_utf8(rng):
    text = rng.choice([b"\xff\xfe", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"caf\xe9"])
    return rng.choice([
        b'{"method": "getViewModeInfo", "apiVersion": "1.0", "context": "' + text + b'"}',
        b'{"method": "' + text + b'", "apiVersion": "1.0"}',
        b'{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "' + text + b'"}}',
    ])


def with_nul(rng):
    return rng.choice([
        b'{"method": "getSupportedVersions"}\x00{"method": "setViewMode"}',
        b'{"method": "getSup\x00portedVersions"}',
        b'{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "quad\x00"}}',
        b"\x00" * rng.randrange(1, 64),
    ])


def mutated_json(rng):
    body = bytearray(rng.choice([set_mode("single"), batch(info(), versions()), info("x")]).encode())
    for _ in range(rng.randrange(1, 4)):
        at = rng.randrange(len(body))
        if rng.random() < 0.5:
            body[at] = rng.randrange(256)
        else:
            del body[at:]
            break
    return bytes(body)


def framed(maker):
    return lambda rng: (http_post(maker(rng)), True)


def random_bytes(rng):
    return rng.randbytes(rng.randrange(1, 4096)), False


def broken_head(rng):
    body = versions().encode()
    return rng.choice([
        b"POST " + PATH + b" HTTP/1.1\nHost: 127.0.0.1\nContent-Length: 2\n\n{}",
        b"POST " + PATH + b" HTTP/1.1\r\nHost 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}",
        b"POST " + PATH + b" HTTP/9.9\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}",
        b"POST " + PATH + b"\r\n\r\n",
        b"POST\r\n\r\n",
        b" " * 100 + b"\r\n\r\n",
        b"POST /" + b"a" * 9000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
        http_post(body, b"X-Big: " + b"v" * 70000 + b"\r\n"),
        http_post(body, b"".join(b"X-%d: y\r\n" % i for i in range(300))),
        http_post(body, b"Bad Header: spaces\r\n"),
        http_post(body, b"X-Ctl: a\x01b\r\n"),
        b"post " + PATH + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}",
        b"POST http://127.0.0.1" + PATH + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}",
    ]), False


def long_query(rng):
    """A well-formed request whose URL carries many query arguments. Past
    8 KiB, each argument counted as 64 bytes more, the endpoint refuses it
    (414) or closes it unanswered when the HTTP daemon has given up on it."""
    count = rng.randrange(1, 1000)
    target = PATH + b"?" + b"&".join(b"q%d=%d" % (i, i) for i in range(count))
    return (b"POST " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
            b"Content-Length: 2\r\n\r\n{}"), len(target) + 64 * count <= 8192


def bogus_length(rng):
    body = versions().encode()
    length = rng.choice([b"-1", b"99999999999999999999", b"abc", b"10, 20", b"0x10", b"",
                         str(len(body) + 100).encode(), str(len(body) - 10).encode(), b"2000000"])
    extra = b"Content-Length: 5\r\n" if rng.random() < 0.2 else b""
    return (b"POST " + PATH + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
            length + b"\r\n" + extra + b"\r\n" + body), False


def chunked(rng):
    body = info().encode()
    head = b"POST " + PATH + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n"
    good = b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)
    return rng.choice([
        (head + b"\r\n" + good, True),
        (head + b"\r\n" + b"".join(b"1\r\n%c\r\n" % c for c in body) + b"0\r\n\r\n", True),
        (head + b"\r\n" + b"%x;ext=1\r\n%s\r\n0\r\nX-Trailer: 1\r\n\r\n" % (len(body), body), True),
        (head + b"\r\n" + b"zz\r\n" + body + b"\r\n0\r\n\r\n", False),
        (head + b"\r\n" + b"ffffffffffffffff\r\n" + body, False),
        (head + b"\r\n" + b"%x\r\n%s\r\n" % (len(body), body), False),
        (head + b"Content-Length: 3\r\n\r\n" + good, False),
        # Over the 1 MiB a body may have.
        (head + b"\r\n" + b"200000\r\n" + b"[" * 0x200000 + b"\r\n0\r\n\r\n", True),
    ])


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
    head, _, body = raw.partition(b"\r\n\r\n")
    fields = head.split(b" ", 2)
    if len(fields) < 2 or not fields[0].startswith(b"HTTP/1.") or not fields[1].isdigit():
        return "not HTTP", False
    status = int(fields[1])
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


def still_right(api):
    """Every method answers as it should: the problems found."""
    current = json.loads(api.request(info()).body)["data"]["current"]
    other = judge.OTHER[current]
    asked = [(versions(), versions_answer()), (set_mode(other), set_answer()), (info(), info_answer(other)),
             (set_mode(current), set_answer())]
    return [f"{body}: {got.status} {got.body!r}" for body, want in asked
            if (got := api.request(body)).status != 200 or got.body != wire(want)]


@pytest.mark.load
def test_garbage_requests(sim, options, figure):
    count = 10_000 if options["long"] else 2_000
    seed = options["seed"]
    camera = sim()
    pid = camera.service.pid
    api = camera.api()
    rng = random.Random(seed)
    # Each request is made from a seed of its own, when it is sent.
    jobs = [(rng.choice(list(MAKERS)), rng.getrandbits(64)) for _ in range(count)]

    def run(job):
        name, job_seed = job
        data, must_answer = MAKERS[name](random.Random(job_seed))
        try:
            # A broken request shows within 2 s whether it is answered or held.
            raw = api.exchange(data, timeout=5.0 if must_answer else 2.0, half_close=not must_answer)
        except ConnectionResetError:
            raw = b""
        except OSError as error:
            return name, f"error {error.errno}", False
        return (name, *outcome(raw, must_answer))

    # What the service opens on first use (the system log, the user
    # database) is open before the count.
    assert not still_right(api) and api.request(BROKEN).body == wire(BROKEN_ANSWER)
    api.close()
    time.sleep(0.5)
    fds_before, rss_before = descriptors(pid), rss_kib(pid)
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
    wrong = still_right(api)
    api.close()
    fds_after, rss_after = descriptors(pid), rss_kib(pid)
    # Connections left half-open go at the endpoint's idle time-out (15 s).
    waited = 0
    while descriptors(pid) > fds_before and waited < 30:
        time.sleep(1)
        waited += 1
    fds_settled = descriptors(pid)
    figure(f"load (c): {count} garbage requests, seed {seed}, in {took:.1f} s: {sum(bad.values())} unacceptable")
    for name in MAKERS:
        figure(f"load (c):   {name:14} " + ", ".join(f"{result} {n}" for result, n in sorted(counts[name].items())))
    figure(f"load (c): then every method {'right' if not wrong else 'WRONG'}; RSS {rss_before} -> {rss_after} KiB; "
           f"descriptors {fds_before} -> {fds_after}, {fds_settled} after {waited} s more")
    assert not bad, f"unacceptable: {dict(bad)}"
    assert not wrong, "after the garbage: " + "; ".join(wrong)
    assert fds_settled <= fds_before, f"{fds_settled - fds_before} descriptors still open {waited} s after the garbage"
    camera.check_healthy()


@pytest.mark.load
def test_rotation_service_stalled(sim, options, figure):
    """The auto-rotation service stopped with SIGSTOP: a getViewModeInfo
    blocks until the D-Bus time-out and answers 8000, a client asking
    meanwhile waits behind it, and the service answers again at SIGCONT."""
    if not options["long"]:
        pytest.skip("--long: waits for the D-Bus time-out (about 25 s)")
    camera = sim()
    timed = {}

    def ask(name, body):
        began = time.monotonic()
        timed[name] = (Api(camera.url, timeout=120).request(body), time.monotonic() - began)

    camera.rotation.send_signal(signal.SIGSTOP)
    first = threading.Thread(target=ask, args=("stalled", info()))
    first.start()
    time.sleep(1)
    ask("waiting", versions())
    first.join()
    camera.rotation.send_signal(signal.SIGCONT)
    ask("again", info())
    (stalled, stalled_s), (waiting, waited_s), (again, again_s) = timed["stalled"], timed["waiting"], timed["again"]
    figure(f"load (d): getViewModeInfo blocked {stalled_s:.1f} s and answered 8000; getSupportedVersions sent 1 s "
           f"later waited {waited_s:.1f} s; after SIGCONT getViewModeInfo answered in {again_s * 1000:.0f} ms")
    assert b'"code": 8000' in stalled.body, stalled.body
    assert waiting.body == wire(versions_answer()), waiting.body
    assert b'"data": {"current"' in again.body, again.body
    timeouts = [line for line in camera.journal()
                if "ERROR: Failed to call dbus method GetAutoRotation (Timeout was reached)" in line]
    assert len(timeouts) == 1, f"{len(timeouts)} time-out lines logged"
    camera.check_healthy()
