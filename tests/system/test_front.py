"""The front that authenticates, seen from a client: the Digest SHA-256 of
the harness's client, the same answers behind a password as without one,
who is refused, operators calling at once, the slow-down of a guesser, the
users tools/camera adds; and tools/run.sh, as people run it, with and
without --auth."""
import email.message
import os
import shlex
import signal
import subprocess
import time

import pytest

from answers import info, info_answer, set_answer, set_mode, versions, versions_answer, wire
from camera import ROOT, USER, Api, digest_challenge, digest_response, operators_at_once


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
    refused = Api(camera.url).request(set_mode("quad"))
    challenge = digest_challenge(refused.headers)
    assert (refused.status, refused.body) == (401, b"")
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


@pytest.mark.load
@pytest.mark.parametrize("who, status", [("wrong password", 401), ("unknown user", 401), ("viewer", 403)])
def test_refused(sim, who, status):
    camera = sim(auth=True, group="viewer" if who == "viewer" else "operator")
    api = {"wrong password": Api(camera.url, USER, camera.password + "x"),
           "unknown user": Api(camera.url, "nobody", camera.password),
           "viewer": camera.api()}[who]
    got = api.request(info())
    assert got.status == status and got.body == b""
    if status == 401:
        assert digest_challenge(got.headers)


@pytest.mark.load
def test_operators_at_once_are_served_and_a_guesser_slowed(sim, figure):
    camera = sim(auth=True)
    statuses = operators_at_once(camera)
    figure(f"operators at once: 4 with curl --digest (a new connection a call) and 4 kept alive, 10 calls each: "
           f"{dict(sorted(statuses.items()))}")
    assert statuses == {200: 80}
    guesser = Api(camera.url, USER, "guess", source="127.0.0.2")
    assert [guesser.request(info()).status for _ in range(10)] == [401] * 10
    slowed = Api(camera.url, USER, camera.password, source="127.0.0.2").request(info())
    assert slowed.status == 429 and slowed.headers["Retry-After"]
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
    assert users("list") == f"bob                  viewer\namy                  admin\n{USER:<20} viewer\n"
    assert [Api(camera.url, *who).request(info()).status for who in [("bob", "pw 1"), ("amy", "pw 2")]] == [403, 200]
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
            assert all(["--digest", "-u", f"{USER}:{password}"] == curl[2:5] for curl in curls)
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
