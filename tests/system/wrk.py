"""wrk, the load generator, with tools/wrk.lua checking every answer."""
import signal
import subprocess
import time
from pathlib import Path

from answers import write_mix
from camera import ROOT


def run(url, mix, folder, threads=2, connections=32, seconds=3600, quota=0, every=0, on_progress=None):
    """Runs wrk on a mix (see answers.write_mix) until each thread has quota
    answers or the time is up; on_progress(answers so far) is called while
    it runs. Returns the figures of its last line, and "first_wrong"."""
    folder = Path(folder)
    write_mix(folder / "wrk-mix.txt", mix)
    prefix = folder / "wrk-progress-"
    for old in folder.glob("wrk-progress-*"):
        old.unlink()
    with open(folder / "wrk.out", "w") as out:
        process = subprocess.Popen(
            ["wrk", f"-t{threads}", f"-c{connections}", f"-d{seconds}s", "--timeout", "60s",
             "-s", ROOT / "tools/wrk.lua", url, "--", folder / "wrk-mix.txt", str(quota), str(every), str(prefix)],
            stdout=out, stderr=subprocess.STDOUT)
    if quota:
        # wrk sleeps out its time: once its threads have stopped, only the
        # main one is left, and an interrupt ends it.
        tasks = Path(f"/proc/{process.pid}/task")
        started = time.monotonic()
        while process.poll() is None and len(list(tasks.iterdir())) < 2 and time.monotonic() - started < 10:
            time.sleep(0.01)
        counts = {}
        while process.poll() is None and len(list(tasks.iterdir())) > 1:
            for file in folder.glob("wrk-progress-*"):
                text = file.read_text().strip()
                counts[file] = max(counts.get(file, 0), int(text) if text.isdigit() else 0)
            if on_progress:
                on_progress(sum(counts.values()))
            time.sleep(0.02)
        process.send_signal(signal.SIGINT)
    process.wait()
    output = (folder / "wrk.out").read_text()
    figures = {"first_wrong": None}
    for line in output.splitlines():
        if line.startswith("WRK answered="):
            figures.update((key, float(value)) for key, value in (field.split("=") for field in line.split()[1:]))
        elif line.startswith("WRK first wrong answer: "):
            figures["first_wrong"] = line.removeprefix("WRK first wrong answer: ")
    assert "answered" in figures, f"wrk gave no figures: {output}"
    figures["errors"] = sum(figures[k] for k in ("connect_errors", "read_errors", "write_errors", "timeouts"))
    return figures
