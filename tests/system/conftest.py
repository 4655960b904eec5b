"""Fixtures of the system tests: each test gets a run folder of its own,
kept when it fails, and the simulated cameras it asks for.

  /usr/bin/python3 -m pytest tests/system -k soak      one scenario
  /usr/bin/python3 -m pytest tests/system -m load      one stage
  PTS_WRAPPER=valgrind ... -m memcheck                 the service under memcheck
"""
import random
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from camera import ROOT, SimCamera

# The stages that are markers here; tools/setup.sh lists each stage's
# packages, tools/test.sh runs them.
STAGES = {
    "memcheck": "the service under valgrind memcheck (tools/test.sh memcheck sets PTS_WRAPPER=valgrind)",
    "soak": "SIGKILLs at random moments of switches and starts, each judged",
    "load": "load, idle clients, garbage HTTP and the front, every answer checked",
    "boot": "the packages on the booted camera (arm64 Debian under qemu): boot, crash, power cuts, dpkg",
}


def pytest_addoption(parser):
    parser.addoption("--long", action="store_true", help="the long runs whose figures docs/proof.md gives")
    parser.addoption("--seed", type=int, help="seed of the random moments and requests (default: random)")
    parser.addoption("--kills", type=int, help="SIGKILLs the soak survives (default 50, --long 250)")
    parser.addoption("--cuts", type=int, default=3, help="the booted camera's power cuts (default 3; 1 under the "
                     "strict drop-in when both units run)")
    parser.addoption("--unit", choices=("shipped", "strict", "both"), default="both",
                     help="the booted camera's unit: as shipped, with the strict drop-in, or both in turn")


def pytest_configure(config):
    for name, what in STAGES.items():
        config.addinivalue_line("markers", f"{name}: {what}")
    config.figures, config.kept = [], []


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if report.failed:
        item.failed = True
        # A camera that can say more (the booted one's journal) does.
        if hasattr(item, "explain"):
            report.sections.append(item.explain())


def pytest_terminal_summary(terminalreporter, config):
    if config.figures:
        terminalreporter.section("figures")
        for line in config.figures:
            terminalreporter.write_line(line)
    for nodeid, folder in config.kept:
        terminalreporter.write_line(f"{nodeid} failed: its run folder is kept: {folder}", red=True)


@pytest.fixture(scope="session")
def built():
    """The service and the stand-ins of the dev preset, up to date."""
    for command in (["cmake", "--preset", "dev"],
                    ["cmake", "--build", "--preset", "dev", "--target", "panetessel", "zu-autorotation-sim",
                     "zu-sim-state"]):
        result = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
        if result.returncode:
            pytest.exit(f"{' '.join(command)} failed:\n{result.stdout}{result.stderr}", returncode=1)


@pytest.fixture
def options(request):
    config = request.config
    long = config.getoption("long")
    seed = config.getoption("seed")
    return {"long": long, "seed": random.randrange(2**31) if seed is None else seed,
            "kills": config.getoption("kills") or (250 if long else 50), "cuts": config.getoption("cuts"),
            "unit": config.getoption("unit")}


@pytest.fixture
def figure(request):
    """figure(line): one line of figures, shown at the end of the run."""
    return lambda line: request.config.figures.append(line)


@pytest.fixture
def run_dir(request):
    name = re.sub(r"[^\w]+", "-", request.node.name)[:50]
    folder = Path(tempfile.mkdtemp(prefix=f"pts-{name}-"))
    yield folder
    if getattr(request.node, "failed", False):
        request.config.kept.append((request.node.nodeid, folder))
    else:
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def sim(request, run_dir, built):
    """sim(name="camera", **options): a SimCamera, running, in the run folder."""
    cameras = []

    def make(name="camera", **options):
        camera = SimCamera(run_dir / name, **options)
        cameras.append(camera)
        return camera.open()

    yield make
    try:
        for camera in reversed(cameras):
            camera.close()
    except BaseException:
        request.node.failed = True
        raise
