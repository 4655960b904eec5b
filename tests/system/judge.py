"""Where a kill or a power cut landed, and whether the camera kept what it
had acknowledged: the one judge of the soak and of the power cuts.

A switch moves the video system, then the image parameter, then the key
file; a start brings the stored mode back onto the video system, then onto
the parameter. So what the three hold after a cut names the step it came
at, and nothing else may be found. Each function returns the step and a
list of what is wrong (empty when all is well).
"""

MODES = ("single", "quad")
OTHER = {"single": "quad", "quad": "single"}  # the mode a switch from each goes to
SWITCH_STEPS = ("before the video system", "after the video system", "after the parameter", "after the key file")
START_STEPS = SWITCH_STEPS[:3]


def i4(mode):
    """The parameter root.Image.I4.Enabled that goes with a mode."""
    return "yes" if mode == "quad" else "no"


def _unreadable(stored):
    if stored is None:
        return "the key file does not parse or holds no view mode"
    return f"the key file holds '{stored}'"


def switch_cut(before, inflight, video, parameter, stored, acked=None):
    """A cut while the mode `before` was in place and a switch to
    `inflight` was under way (None: between two switches). video,
    parameter, stored: what they hold after the cut (stored None: the key
    file does not parse). acked: the mode of the last switch answered, when
    known; only it or the one in flight may be stored, and an answered
    switch is never lost. Returns (step, problems)."""
    problems = []
    if stored not in MODES:
        problems.append(_unreadable(stored))
        stored = before
    held = (video, parameter, stored)
    if inflight in (None, before):
        step = "between two switches" if inflight is None else "during a switch to the mode in place"
        if held != (before, i4(before), before):
            step = "nowhere"
    else:
        steps = {
            (before, i4(before), before): SWITCH_STEPS[0],
            (inflight, i4(before), before): SWITCH_STEPS[1],
            (inflight, i4(inflight), before): SWITCH_STEPS[2],
            (inflight, i4(inflight), inflight): SWITCH_STEPS[3],
        }
        step = steps.get(held, "nowhere")
    if step == "nowhere":
        problems.append(f"video system {video}, parameter {parameter}, key file {stored} "
                        f"(from {before} to {inflight or 'nothing'})")
    if acked is not None:
        if stored not in (acked, inflight):
            problems.append(f"the key file holds {stored}, answered was {acked}")
        if acked == inflight and stored != inflight:
            problems.append(f"the answered switch to {inflight} was lost")
    return step, problems


def start_cut(mode, video, parameter, stored):
    """A cut while a start brought the stored `mode` back. Returns (step,
    problems): a start never changes the key file."""
    problems = [] if stored == mode else [f"a killed start changed the key file from {mode} to {stored}"]
    if video != mode:
        return START_STEPS[0], problems
    if parameter != i4(mode):
        return START_STEPS[1], problems
    return START_STEPS[2], problems


def agree(video, parameter, stored):
    """After a start or an answered switch the three agree: (mode, problems)."""
    if stored not in MODES:
        return None, [_unreadable(stored)]
    problems = []
    if video != stored:
        problems.append(f"video system in '{video}', key file '{stored}'")
    if parameter != i4(stored):
        problems.append(f"parameter '{parameter}' in '{stored}'")
    return stored, problems
