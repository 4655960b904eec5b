"""The camera's web server in front of the service, seen from a client over
https: the Digest SHA-256 of the harness's client, the same answers behind
it as without it, who and what it refuses, operators calling at once, the
slow-down of a guesser, the users tools/camera adds; and tools/run.sh, as
people run it, with and without --auth."""
import email.message
import os
import shlex
import signal
import socket
import ssl
import subprocess
import time
import urllib.parse

import pytest

from answers import info, info_answer, set_answer, set_mode, versions, versions_answer, wire
from camera import ROOT, USER, digest_challenge, digest_response, operators_at_once

API = "/panetessel/api"


@pytest.mark.load
def test_digest_of_rfc_7616():
    # RFC 7616, 3.9.1: the SHA-256 example.
    assert digest_response("Mufasa", "http-auth@example.org", "Circle of Life", "GET", "/dir/index.html",
                           "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", "00000001",
                           "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ") == \
        "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"
    headers = email.message.Message()
    headers["WWW-Authenticate"] = 'Digest realm="camera", qop="auth", algorithm=MD5, nonce="old"'
    headers["WWW-Authenticate"] = 'Digest realm="camera", qop="auth", algorithm=SHA-256, nonce="n\\"1", stale=true'
    assert digest_challenge(headers) == {"realm": "camera", "qop": "auth", "algorithm": "SHA-256",
                                         "nonce": 'n"1', "stale": "true"}


CALLS = [versions(), info(), set_mode("quad"), info(), set_mode("single"), "[" + info() + ", 5]",
         '{"method": "getViewModeInfo", "apiVersion": ']


@pytest.mark.load
def test_same_answers_behind_a_password(sim):
    open_camera, camera = sim("open"), sim("auth", auth=True)
    # Without credentials nothing reaches the service.
    refused = camera.api(user=None).request(set_mode("quad"))
    challenge = digest_challenge(refused.headers)
    assert refused.status == 401
    assert challenge and challenge["realm"] == "camera", refused.headers
    assert camera.stored() == "single"
    assert [line for line in camera.journal() if "zuhttp: listening on" not in line] == []
    plain, api = open_camera.api(), camera.api()
    for body in CALLS:
        want, got = plain.request(body), api.request(body)
        assert (got.status, got.body) == (want.status, want.body), body
    # One challenge serves a kept-alive connection, the nonce counted up.
    for _ in range(20):
        assert api.request(versions()).body == wire(versions_answer())
    assert api.challenges == 1


# What a client meets at the https front, signed in as camop unless the row
# says otherwise: (what, HTTP method, path, headers, who signs in, status).
# Every row asks for quad; none but the last may switch.
OWN = "https://127.0.0.1:{port}"
REFUSALS = [
    ("another site's page", "POST", API, {"Sec-Fetch-Site": "cross-site"}, None, 403),
    ("a sibling site's page", "POST", API, {"Sec-Fetch-Site": "same-site"}, None, 403),
    ("a null Origin", "POST", API, {"Origin": "null"}, None, 403),
    ("another Origin", "POST", API, {"Origin": "https://evil.example"}, None, 403),
    ("its own Origin over http", "POST", API, {"Origin": "http://127.0.0.1:{port}"}, None, 403),
    ("a preflight", "OPTIONS", API, {"Origin": "https://evil.example", "Access-Control-Request-Method": "POST",
                                     "Access-Control-Request-Headers": "content-type"}, None, 403),
    ("a rebinding Host", "POST", API, {"Host": "evil.example"}, None, 421),
    ("no credentials", "POST", API, {}, ("", ""), 401),
    ("a wrong password", "POST", API, {}, (USER, "guess"), 401),
    ("an unknown user", "POST", API, {}, ("nobody", "guess"), 401),
    ("a viewer", "POST", API, {}, ("vic", "vic's"), 403),
    ("the API by GET", "GET", API, {"Sec-Fetch-Site": "cross-site"}, None, 200),
    ("its own page", "POST", API, {"Origin": OWN, "Sec-Fetch-Site": "same-origin"}, None, 200),
]


@pytest.fixture
def front(sim):
    camera = sim(auth=True)
    camera.set_password("vic", "vic's")
    camera.set_group("vic", "viewer")
    return camera


@pytest.mark.load
@pytest.mark.parametrize("what, method, path, headers, who, status", REFUSALS, ids=[row[0] for row in REFUSALS])
def test_what_the_front_refuses(front, what, method, path, headers, who, status):
    port = urllib.parse.urlsplit(front.url).port
    headers = {name: value.format(port=port) for name, value in headers.items()}
    user, password = who or (USER, front.password)
    api = front.api(user=user or None, password=password or None)
    got = api.request(set_mode("quad") if method == "POST" else b"", method, headers, path)
    assert got.status == status, (got.status, got.headers, got.body)
    assert not [name for name in got.headers if name.lower().startswith("access-control-")]
    if status == 401:
        assert digest_challenge(got.headers)["realm"] == "camera"
    if status != 200:
        assert front.stored() == "single"
    assert (front.stored() == "quad") == (status == 200 and method == "POST")


@pytest.mark.load
@pytest.mark.filterwarnings("ignore:ssl.TLSVersion:DeprecationWarning")
def test_what_the_front_refuses_below_http(front):
    """A request without Host, a body over 1 MiB, TLS before 1.2; and the
    page's headers, which keep other sites from framing it."""
    api = front.api()
    no_host = api.exchange(b"POST /panetessel/api HTTP/1.0\r\nContent-Length: 2\r\n\r\n{}")
    assert no_host.startswith(b"HTTP/1.0 400 "), no_host
    # Refused on its announced length, before a byte of it is read.
    too_big = api.exchange(b"POST /panetessel/api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1048577\r\n\r\n")
    assert too_big.startswith(b"HTTP/1.1 413 "), too_big
    old = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    old.check_hostname, old.verify_mode = False, ssl.CERT_NONE
    old.minimum_version, old.maximum_version = ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1
    old.set_ciphers("DEFAULT:@SECLEVEL=0")  # what this side would still offer
    with socket.create_connection((api.host, api.port)) as sock:
        with pytest.raises(ssl.SSLError, match="PROTOCOL_VERSION|protocol version"):
            old.wrap_socket(sock)
    page = api.request(b"", "GET", path="/panetessel/")
    assert page.status == 200 and b"<html" in page.body
    assert "frame-ancestors 'none'" in page.headers["Content-Security-Policy"]
    assert (page.headers["X-Frame-Options"], page.headers["Referrer-Policy"]) == ("DENY", "no-referrer")
    assert page.headers["X-Content-Type-Options"] == "nosniff"
    assert front.stored() == "single"


@pytest.mark.load
def test_operators_at_once_are_served_and_a_guesser_slowed(sim, figure):
    camera = sim(auth=True)
    statuses = operators_at_once(camera)
    figure(f"operators at once: 4 with curl --digest (a new connection a call) and 4 kept alive, 10 calls each: "
           f"{dict(sorted(statuses.items()))}")
    assert statuses == {200: 80}
    guesser = camera.api(password="guess", source="127.0.0.2")
    assert [guesser.request(info()).status for _ in range(10)] == [401] * 10
    slowed = camera.api(source="127.0.0.2").request(info())
    assert slowed.status == 429 and slowed.headers["Retry-After"]
    # A nonce past its ten minutes is answered stale=true, which tried no
    # password: an address that meets it twelve times is still served.
    late = camera.api(source="127.0.0.3")
    for _ in range(12):
        late.challenge, late.count = {"realm": "camera", "nonce": f"{int(time.time()) - 660:x}:{'0' * 64}"}, 0
        assert late.request(info()).status == 200
    assert late.challenges == 12
    assert camera.api().request(info()).body == wire(info_answer("single"))


@pytest.mark.load
def test_users_added_by_tools_camera_stay_across_starts(sim):
    camera = sim(auth=True)

    def users(*args, password=""):
        done = subprocess.run([ROOT / "tools/camera", "--state", camera.state, "user", *args], input=password,
                              capture_output=True, text=True)
        assert done.returncode == 0, f"tools/camera user {' '.join(args)}: {done.returncode} {done.stderr}"
        return done.stdout

    users("add", "bob", "viewer", password="pw 1\n")
    users("add", "amy", "admin", password="pw 2\n")
    camera.close()
    camera = sim(auth=True, group="viewer")
    assert users("list") == f"{USER:<20} viewer\nbob                  viewer\namy                  admin\n"
    assert [camera.api(user=user, password=password).request(info()).status
            for user, password in [("bob", "pw 1"), ("amy", "pw 2")]] == [403, 200]
    assert camera.api().request(info()).status == 403


# --- tools/run.sh ----------------------------------------------------------------

@pytest.mark.load
@pytest.mark.parametrize("options, says", [
    (["--port", "99999"], "run.sh: bad port 99999"),
    (["--fresh"], "is not a simulated camera's folder; not wiping it"),
    (["--nonsense"], "unrecognized arguments: --nonsense"),
])
def test_run_sh_refuses(run_dir, options, says):
    (run_dir / "precious").write_text("mine")
    done = subprocess.run([ROOT / "tools/run.sh", "--state", run_dir, *options], capture_output=True, text=True)
    assert done.returncode == 2 and says in done.stderr
    assert (run_dir / "precious").exists()


@pytest.mark.load
@pytest.mark.parametrize("auth", [False, True], ids=["open", "auth"])
def test_run_sh_banner_commands_and_ctrl_c(run_dir, auth):
    state = run_dir / "state"
    with open(run_dir / "out", "w") as out, open(run_dir / "err", "w") as err:
        # With SIGINT ignored, as a background job of a script starts it.
        run = subprocess.Popen([ROOT / "tools/run.sh", "--port", "0", "--state", state] + ["--auth"] * auth,
                               stdout=out, stderr=err, start_new_session=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    try:
        deadline = time.monotonic() + 600  # it may have a build to do
        while "Ctrl-C stops everything." not in (run_dir / "out").read_text():
            assert run.poll() is None and time.monotonic() < deadline, (run_dir / "err").read_text()
            time.sleep(0.1)
        banner = (run_dir / "out").read_text()
        url = (state / "endpoint").read_text().strip()
        assert f"The simulated camera runs; the service answers on {url}\n" in banner
        assert f'(state folder: {state}, user "{USER}" in group "operator")' in banner
        curls = [shlex.split(line) for line in banner.splitlines() if line.startswith("  curl ")]
        if auth:
            password = (state / f"{USER}.password").read_text().strip()
            assert os.stat(state / f"{USER}.password").st_mode & 0o777 == 0o600
            cert = state / "front/cert.pem"
            assert all(["--digest", "-u", f"{USER}:{password}", "--cacert", str(cert)] == curl[2:7] for curl in curls)
            assert url.startswith("https://") and f"its certificate: {cert}" in banner
        answers = [subprocess.run(curl, capture_output=True).stdout for curl in curls]
        assert answers == [wire(versions_answer()), wire(info_answer("single")), wire(set_answer())]
        os.killpg(run.pid, signal.SIGINT)
        assert run.wait(timeout=30) == 0
        assert "run.sh: stopping" in (run_dir / "err").read_text()
        assert not [name for name in ("run.pid", "endpoint", "bus-address") if (state / name).exists()]
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGTERM)
            run.wait()
