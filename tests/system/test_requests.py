"""Rounds of mixed requests and faults on one service: every method,
batches, broken input, rotated and failing channels, the video system,
parameter service and key file failing, the auto-rotation service
restarted. The memcheck stage runs it under valgrind, and the camera's
close() fails on any error memcheck reports."""
import pytest

from answers import info, set_mode, versions

OK = '"data": {}'
INVALID = '"code": 1000'
INTERNAL = '"code": 8000'
BOTH = '"viewModes": ["single", "quad"]'
LONG_CONTEXT = "c" * 20000
NESTED = "[" * 3000 + "]" * 3000
BIG_BATCH = "[" + f"{info()}, {versions()}, " * 30 + set_mode("single") + "]"


def rotate(channel, degrees):
    return lambda camera: camera.rotate(channel, degrees)


def fault(*args):
    return lambda camera: camera.fault(*args)


# Each row: what, a text the 200's body must hold, the request, its HTTP
# method, and what is done to the camera first.
ROUND = [
    ("versions", '"apiVersions": ["1.0"]', versions()),
    ("set quad", OK, set_mode("quad")),
    ("info quad", f'"current": "quad", {BOTH}', info()),
    ("batch", f'"current": "single", {BOTH}',
     f'[{set_mode("single")}, {info()}, {versions()}, {{"method": "nosuch", "apiVersion": "1.0"}}]'),
    ("big batch", '"apiVersions": ["1.0"]}}, {', BIG_BATCH),
    ("context", f'"context": "{LONG_CONTEXT}"',
     f'{{"method": "getViewModeInfo", "apiVersion": "1.0", "context": "{LONG_CONTEXT}"}}'),
    ("invalid JSON", '"code": 4000', '{"method": "getViewModeInfo", "apiVersion": '),
    ("not UTF-8", '"code": 4000', b'{"method": "get\xff\xfe"}'),
    ("deep nesting", '"code": 4000', NESTED),
    ("not POST", '"code": 2002', "", "PUT"),
    ("bad version", '"code": 2003', '{"method": "getViewModeInfo", "apiVersion": "2.0"}'),
    ("params not an object", '"code": 4002', '{"method": "setViewMode", "apiVersion": "1.0", "params": ["quad"]}'),
    ("bad value", INVALID, set_mode("Quad")),
    ("info rotated", '"viewModes": ["single"]', info(), "POST", rotate(2, 90)),
    ("quad while rotated", INVALID, set_mode("quad")),
    ("info, channel failing", INTERNAL, info(), "POST",
     lambda camera: (camera.rotate(2, 0), camera.fault("rotation", 1, "error"))),
    ("set, channel failing", INVALID, set_mode("single")),
    ("info, wrong type", INTERNAL, info(), "POST", fault("rotation", 1, "wrong-type")),
    ("video refuses", INTERNAL, set_mode("quad"), "POST",
     lambda camera: (camera.fault("rotation", 1, "none"), camera.fault("video", "apply", True))),
    ("no parameter service", INTERNAL, set_mode("quad"), "POST",
     lambda camera: (camera.fault("video", "apply", False), camera.fault("param", "new", True))),
    ("parameter refused", OK, set_mode("single"), "POST",
     lambda camera: (camera.fault("param", "new", False), camera.fault("param", "set", True))),
    ("key file unwritable", INTERNAL, set_mode("quad"), "POST",
     lambda camera: (camera.fault("param", "set", False), camera.fault("key file", "unwritable", True))),
    ("key file back", OK, set_mode("single"), "POST", fault("key file", "unwritable", False)),
]
# Every fourth round: the auto-rotation service goes and comes back.
RESTART = [
    ("no rotation service", INTERNAL, info(), "POST", lambda camera: camera.stop_rotation()),
    ("rotation service back", f'"current": "single", {BOTH}', info(), "POST", lambda camera: camera.start_rotation()),
]


@pytest.mark.memcheck
@pytest.mark.parametrize("auth", [False, True], ids=["open", "auth"])
def test_rounds_of_requests_and_faults(sim, figure, auth):
    rounds = 12 if not auth else 4
    camera = sim(auth=auth)
    api = camera.api()
    asked, wrong = 0, []
    for number in range(1, rounds + 1):
        for row in ROUND + (RESTART if number % 4 == 0 else []):
            what, expected, body, method, first = row + ("POST", None)[len(row) - 3:]
            if first:
                first(camera)
            got = api.request(body, method)
            asked += 1
            text = got.body.decode(errors="replace").replace("\r\n", "")
            if got.status != 200 or expected not in text:
                wrong.append(f"round {number}, {what}: expected {expected[:80]}, got {got.status} {text[:300]}")
    camera.close()
    figure(f"requests and faults ({'authenticated' if auth else 'open'}): {asked} requests in {rounds} rounds, "
           f"{len(wrong)} wrong" + (f"; {camera.memcheck}" if camera.memcheck else ""))
    assert not wrong, "\n".join(wrong)
