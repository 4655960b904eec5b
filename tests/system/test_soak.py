"""The crash soak: the service is killed with SIGKILL at random moments of
alternating switches and started again; a start that must bring the video
system and the parameter back is itself killed on the way, and one in four
that must bring the video system alone. judge.py says after every kill
where it landed and whether anything was lost, and after every restart
that the video system, the parameter, the key file and getViewModeInfo
agree, with no temporary key file left and nothing logged.

The moments follow where the kills land, so that they fall between every
two steps of a switch on a machine of any speed; --seed repeats a run."""
import random
import re
import shutil
import signal
import time
import urllib.parse
from http.client import HTTPException

import pytest

import judge
from answers import info, info_answer, set_answer, set_mode, wire

FILES = {"ocul.conf": "[mode]\nview_mode.name=single\navailable_view_modes=single,quad\n",
         "parameters.conf": "[parameters]\nroot.Image.I4.Enabled=no\n"}


def answered(api, body):
    """The body of a 200, or what came instead."""
    try:
        got = api.request(body)
    except (OSError, HTTPException) as error:
        return f"no answer ({error!r})"
    return got.body if got.status == 200 else f"status {got.status}"


@pytest.mark.soak
def test_kills_during_switches_and_starts(sim, run_dir, options, figure):
    kills, seed = options["kills"], options["seed"]
    time_limit = 1800 if options["long"] else 900
    rng = random.Random(seed)
    camera = sim(files=FILES)
    api = camera.api(timeout=30)
    failures = []

    def fail(what):
        snapshot = run_dir / f"failure-{len(failures) + 1}"
        shutil.copytree(camera.state / "localdata", snapshot / "localdata")
        for name in ("ocul.conf", "parameters.conf", "service.log"):
            shutil.copy(camera.state / name, snapshot)
        failures.append(f"kill {kill_count}: {what} (snapshot: {snapshot})")
        assert len(failures) < 10, "too many failures:\n" + "\n".join(failures)

    def agreed(when):
        mode, problems = judge.agree(camera.video(), camera.parameter(), camera.stored())
        for problem in problems:
            fail(f"{when}: {problem}")
        return mode

    switches = interrupted = kill_count = start_kills = restarts = reconciled = leftovers = 0
    switch_us = switch_total_us = switch_done = 0
    aim, start_aim, start_us_back = 125, 100, 0
    landed = dict.fromkeys(judge.SWITCH_STEPS, 0)
    start_landed = dict.fromkeys(judge.START_STEPS, 0)
    began = time.monotonic()
    mode = agreed("first start")
    assert mode, "the first start left no agreed mode"
    acked = mode

    while kill_count < kills:
        assert time.monotonic() - began < time_limit, f"time limit of {time_limit} s reached after {kill_count} kills"

        # Switches that run to their end.
        for _ in range(1 + rng.randrange(3)):
            target = judge.OTHER[mode]
            started = time.perf_counter()
            got = answered(api, set_mode(target))
            took = int((time.perf_counter() - started) * 1e6)
            # A smoothed switch time that a stall of the busy machine does not drag.
            took = took if switch_us == 0 or took < 3 * switch_us else 3 * switch_us
            switch_us = took if switch_us == 0 else (switch_us * 7 + took) // 8
            switch_total_us += took
            switch_done += 1
            switches += 1
            if got != wire(set_answer()):
                fail(f"switch to {target} answered: {got}")
            now = agreed(f"after a switch to {target}")
            if now is None:
                break
            mode = now
            if mode != target:
                fail(f"switch to {target} left the camera in {mode}")
            acked = mode

        # A switch killed at a random moment, from before the request is read
        # to after the answer is written. On a busy machine the kill lands
        # late by a good part of a switch, so the window follows where the
        # kills land: shorter while they land after the end, longer while
        # before the start.
        target = judge.OTHER[mode]
        delay = rng.randrange(switch_us * aim // 100 + 1)
        api.send(set_mode(target))
        time.sleep(delay / 1e6)
        camera.kill()
        try:
            if api.answer(timeout=1).body == wire(set_answer()):
                acked = target
        except (OSError, HTTPException):
            pass
        switches += 1
        interrupted += 1
        kill_count += 1
        video, parameter, stored = camera.video(), camera.parameter(), camera.stored()
        step, problems = judge.switch_cut(mode, target, video, parameter, stored, acked)
        for problem in problems:
            fail(f"after the kill: {problem}")
        stored = stored if stored in judge.MODES else mode
        landed[step] = landed.get(step, 0) + 1
        if step == judge.SWITCH_STEPS[3]:
            aim = aim - aim // 8 if aim > 10 else 10
        elif step == judge.SWITCH_STEPS[0]:
            aim = aim + aim // 8 + 1 if aim < 300 else 300
        reconciled += video != stored
        # The first start's time serves until one that brings a mode back is timed.
        start_us_back = start_us_back or int(camera.started_in * 1e6)

        # A start that must bring both the video system and the parameter
        # back is killed on the way, and one in four that must bring the
        # video system alone; the window again follows where the kills land.
        if video != stored and (parameter != judge.i4(stored) or rng.randrange(4) == 0):
            delay = rng.randrange(start_us_back * start_aim // 100 + 1)
            camera.start(wait=False)
            time.sleep(delay / 1e6)
            camera.kill()
            start_kills += 1
            kill_count += 1
            step, problems = judge.start_cut(stored, camera.video(), camera.parameter(), camera.stored())
            for problem in problems:
                fail(problem)
            start_landed[step] += 1
            if step == judge.START_STEPS[0]:
                start_aim = start_aim + start_aim // 8 + 1 if start_aim < 300 else 300
            elif step == judge.START_STEPS[2]:
                start_aim = start_aim - start_aim // 8 if start_aim > 10 else 10
        bringing_back = camera.video() != stored

        camera.start()
        api = camera.api(timeout=30)  # on the port of this start
        restarts += 1
        if bringing_back:
            start_us_back = (start_us_back * 7 + int(camera.started_in * 1e6)) // 8
        now = agreed("after the restart")
        if now is None:
            mode = stored
            continue
        mode = now
        if mode != stored:
            fail(f"the restart changed the stored mode from {stored} to {mode}")
        acked = mode
        got = answered(api, info())
        if got != wire(info_answer(mode)):
            fail(f"getViewModeInfo after the restart answered: {got}")
        logged = [line for line in camera.journal() if re.match(r"(ERROR|CRITICAL|WARNING):", line)]
        if logged:
            fail(f"the restart logged: {logged[:3]}")
        # An interrupted save must not leave its temporary file behind.
        temporary = list((camera.state / "localdata").glob("panetessel.conf.*"))
        if temporary:
            fail(f"temporary key files left after the restart: {[path.name for path in temporary]}")
            for path in temporary:
                path.unlink()
        # The stand-ins' own interrupted saves are the platform's business.
        for path in [*camera.state.glob("ocul.conf.??????"), *camera.state.glob("parameters.conf.??????")]:
            path.unlink()
            leftovers += 1

    elapsed = time.monotonic() - began
    figure(f"soak: seed {seed}, {elapsed:.0f} s; {switches} switches ({interrupted} of them killed, "
           f"{switches - interrupted} answered; {reconciled} brought back at start)")
    figure(f"soak: {kill_count} kills ({interrupted} during a switch, {start_kills} during a start), "
           f"{restarts} restarts, {len(failures)} failures")
    figure(f"soak: mean switch {switch_total_us / switch_done / 1000:.0f} ms; kill window 0 to "
           f"{switch_us * aim / 100000:.0f} ms after the request, at the end")
    figure("soak: kills landed: " + "; ".join(f"{step} {n}" for step, n in landed.items()))
    figure("soak: in starts: " + "; ".join(f"{step} {n}" for step, n in start_landed.items()))
    figure(f"soak: stand-in temp files cleared: {leftovers}")
    assert not failures, "\n".join(failures)


@pytest.mark.soak
def test_a_second_service_on_the_same_port_leaves_the_first_serving(sim):
    first, second = sim("first"), sim("second")
    second.kill(signal.SIGTERM)
    second.port = urllib.parse.urlsplit(first.url).port
    second.start(wait=False)
    refused = f"WARNING: zuhttp: cannot listen on 127.0.0.1:{second.port}: "
    deadline = time.monotonic() + 10
    while not any(line.startswith(refused) for line in second.journal()):
        assert time.monotonic() < deadline, second.journal()
        time.sleep(0.05)
    assert first.api().request(set_mode("quad")).body == wire(set_answer())
    assert (first.stored(), second.stored()) == ("quad", "single")
