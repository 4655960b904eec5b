"""tools/bench.sh: the service against its floors on the `bench` build, as
one markdown table. The request engine against jansson, the caller's
look-up, round trips on the simulated camera against the D-Bus calls and
file saves they are made of, the camera's web server (lighttpd, TLS and
Digest) against the straight route into the same service, HTTP throughput
and start-up against nginx, and memory. Every figure comes from this run.

Other work on the machine only ever adds time and comes and goes, so a
figure and its floor are taken in turn, and what is compared is the best
of several rounds or the median of many requests. Exits 1 when an answer
was wrong.
"""
import csv
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/system"))
import wrk  # noqa: E402
from answers import batch, info, request, set_mode, versions, versions_answer  # noqa: E402
from camera import ROOT, USER, Api, SimCamera, free_port, rss_kib  # noqa: E402

B = ROOT / "build/bench"
GSV, GSV_ANSWER = versions(), versions_answer()
# The service as on a camera: no copy of its log, no page.
QUIET = {"ZU_LOG_STDERR": None, "ZU_HTTP_WEB_ROOT": None}
wrong = False


def say(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def gbench(command, env=None):
    """A Google Benchmark binary in 15 rounds interleaved at random: the
    best CPU time of each benchmark, in ns."""
    out = subprocess.run(command + ["--benchmark_min_time=0.1", "--benchmark_repetitions=15",
                                    "--benchmark_enable_random_interleaving=true",
                                    "--benchmark_report_aggregates_only=true", "--benchmark_format=csv"],
                         env=env, capture_output=True, text=True, check=True).stdout
    return {row["name"].removesuffix("_best"): float(row["cpu_time"])
            for row in csv.DictReader(out.splitlines()) if row["name"].endswith("_best")}


def figures_of(line):
    return {key: float(value) for key, value in (field.split("=") for field in line.split())}


def memory_kib(pid):
    """VmRSS and RssAnon of a process, in KiB."""
    fields = dict(line.split(":", 1) for line in Path(f"/proc/{pid}/status").read_text().splitlines())
    return int(fields["VmRSS"].split()[0]), int(fields["RssAnon"].split()[0])


def cpu_ns(pid):
    """CPU time of a single-threaded process, to the nanosecond."""
    return int(Path(f"/proc/{pid}/schedstat").read_text().split()[0])


def cpu_ticks(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def nginx_conf(folder, port):
    """A single process, as the service is one thread, returning the same bytes."""
    temp = "\n".join(f"  {kind}_temp_path {folder}/{kind};" for kind in ("client_body", "proxy", "fastcgi",
                                                                          "uwsgi", "scgi"))
    (folder / "nginx.conf").write_text(f"""daemon off;
master_process off;
worker_processes 1;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off;
{temp}
  server {{
    listen 127.0.0.1:{port};
    location = /panetessel/api {{
      default_type application/json;
      return 200 '{GSV_ANSWER}\\r\\n';
    }}
  }}
}}
""")
    return ["nginx", "-p", folder, "-c", folder / "nginx.conf", "-e", folder / "error.log"]


def wait_answered(url):
    for _ in range(200):
        try:
            return Api(url, timeout=1).request(GSV)
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing answers on {url}")


def checked(what, got):
    global wrong
    if got.get("wrong") or got.get("errors"):
        say(f"{what}: {got.get('wrong', 0):.0f} wrong answers, {got.get('errors', 0):.0f} errors")
        wrong = True
    return got


def roundtrip(where, rounds, kind, env, *more):
    out = subprocess.run([B / "bench/bench_roundtrip", str(where), str(rounds), kind, *map(str, more)], env=env,
                         capture_output=True, text=True, check=True).stdout
    return checked(kind, figures_of(out))


# The memory run: every kind of answer, 2 % of them rotation queries and a
# switch in every 250.
MIXED = [("GET", None, ["*"]) if body is None else ("POST", body, ["*"]) for i in range(1, 50) for body in (
    GSV, versions(f"c{i}"), batch(GSV, request("nosuch"), "5"), '{"method": "getSupportedVersions", "context": ',
    request("getViewModeInfo", version="2.0"), set_mode("hex"), request("setViewMode"), None, "[]", '{"method": 7}')]
MIXED += [("POST", info(), ["*"])] * 8 + [("POST", set_mode("quad"), ["*"]), ("POST", set_mode("single"), ["*"])]


def main():
    subprocess.run(["cmake", "--preset", "bench"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "bench"], cwd=ROOT, check=True, stdout=sys.stderr)
    model = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    machine = f"{os.cpu_count()} × {model}"
    load_start = " ".join(open("/proc/loadavg").read().split()[:3])
    work = Path(tempfile.mkdtemp(prefix="pts-bench."))
    camera = SimCamera(work / "camera", build=B, env=QUIET)
    processes = []
    try:
        camera.open()
        rows = measure(camera, work, processes)
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        camera.close()
        shutil.rmtree(work, ignore_errors=True)
    http = subprocess.run(f"ldd {B}/code/panetessel | grep -o 'libmicrohttpd\\.so[.0-9]*' | head -n1", shell=True,
                          capture_output=True, text=True).stdout.strip()
    web_server = subprocess.run(["lighttpd", "-v"], capture_output=True, text=True).stdout.split(" ", 1)[0]
    curl = subprocess.run(["pkg-config", "--modversion", "libcurl"], capture_output=True, text=True).stdout.strip()
    load_end = " ".join(open("/proc/loadavg").read().split()[:3])
    print(f"\nMachine: {machine}; load average {load_start} at the start, {load_end} at the end; "
          f"HTTP stand-in on {http or '?'}; web server {web_server or '?'}; libcurl {curl or '?'}.\n")
    for row in [("figure", "measured", "floor", "ratio", "goal", "goal met"), ("---",) * 6] + rows:
        print("| " + " | ".join(row) + " |")
    return 1 if wrong else 0


def measure(camera, work, processes):
    rows = []

    def row(figure, measured, floor=None, show=str, goal="report", met=None):
        """One row; a goal such as "≤ 1.25×" is met by measured against floor."""
        ratio = f"{measured / floor:.2f}×" if floor else ""
        if floor and goal != "report":
            factor = float(goal[2:-1])
            met = measured <= factor * floor if goal[0] == "≤" else measured >= factor * floor
        rows.append((figure, show(measured), show(floor) if floor else "", ratio, goal,
                     "" if met is None else ("yes" if met else "no")))

    say("engine against jansson")
    engine = gbench([B / "bench/bench_zucgi"])
    say("access level look-up")
    access_files = gbench([B / "bench/bench_access"], env=dict(os.environ, **camera.nss_environment()))
    access_nss = gbench([B / "bench/bench_access"])

    say(f"round trips on {camera.url}")
    port = int(camera.url.split(":")[2].split("/")[0])
    info_rt = roundtrip(port, 600, "info", dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=camera.bus_address))
    say("through the camera's web server and straight")
    # One camera: its web server and the straight route reach the same
    # service on the same socket, so only the web server differs.
    with SimCamera(work / "front", build=B, auth=True, env=QUIET) as front_camera:
        front_pid = front_camera.front_process.pid
        front_at_rest = memory_kib(front_pid)
        straight = front_camera.state / "front/api.sock"
        front_args = (front_camera.url, USER, front_camera.password, front_camera.cafile)
        front_cpu = [cpu_ns(front_pid)]
        front_kept = roundtrip(straight, 600, "front", None, *front_args)
        front_cpu.append(cpu_ns(front_pid))
        front_new = roundtrip(straight, 300, "front-new", None, *front_args)
        front_cpu.append(cpu_ns(front_pid))
        front_after = memory_kib(front_pid)
    # One switch writes the files that the floor works on copies of.
    Api(camera.url).request(set_mode("single"))
    files = work / "files"
    (files / "localdata").mkdir(parents=True)
    for name in ("ocul.conf", "parameters.conf", "localdata/panetessel.conf"):
        shutil.copy(camera.state / name, files / name)
    switch_rt = roundtrip(port, 100, "switch", dict(os.environ, BENCH_STATE_DIR=str(files)))

    say("HTTP getSupportedVersions, 32 connections, against nginx")
    (work / "nginx").mkdir()
    nginx_port = free_port()
    nginx = subprocess.Popen(nginx_conf(work / "nginx", nginx_port))
    processes.append(nginx)
    nginx_url = f"http://127.0.0.1:{nginx_port}/panetessel/api"
    wait_answered(nginx_url)
    best = {"service": (0, 1e9), "nginx": (0, 1e9)}
    for _ in range(5):
        for name, pid, url in (("service", camera.service.pid, camera.url), ("nginx", nginx.pid, nginx_url)):
            ticks = cpu_ticks(pid)
            got = checked("HTTP", wrk.run(url, [("POST", GSV, [GSV_ANSWER])], work, seconds=2))
            cpu_us = (cpu_ticks(pid) - ticks) * 1e6 / os.sysconf("SC_CLK_TCK") / got["answered"]
            best[name] = (max(best[name][0], got["rps"]), min(best[name][1], cpu_us))
    nginx.terminate()
    nginx.wait()
    camera.kill(signal.SIGTERM)

    say("start-up against nginx")
    runs = 21
    port = free_port()
    command = nginx_conf(work / "nginx", port)
    env = dict(camera.environment(), ZU_HTTP_LISTEN=f"127.0.0.1:{port}")
    env.pop("ZU_HTTP_READY_FILE")
    start_us = {"service": 1e12, "nginx": 1e12}
    for _ in range(runs):
        for name, program, program_env in (("service", [B / "code/panetessel"], env), ("nginx", command, None)):
            out = subprocess.run([B / "bench/bench_startup", str(port), "1", GSV, GSV_ANSWER + "\r\n", "--",
                                  *map(str, program)], cwd=camera.state, env=program_env,
                                 capture_output=True, text=True, check=True).stdout
            start_us[name] = min(start_us[name], figures_of(out)["min_us"])
    dynamic = subprocess.run(["readelf", "-d", B / "code/panetessel"], capture_output=True, text=True).stdout
    runpath = next((line.rsplit("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(RUNPATH)" in line), "")
    runpath_empty = runpath and "::" in f":{runpath}:"

    say("memory over 200,000 mixed requests")
    camera.start()
    time.sleep(0.5)
    pid = camera.service.pid
    at_rest = rss_kib(pid)
    # One run over the same 32 connections, sampled when 10,000 and 100,000
    # have been answered and at the end: the second half shows whether what
    # grows keeps growing.
    samples = {}

    def sample(count):
        for mark in (10_000, 100_000):
            if count >= mark and mark not in samples:
                samples[mark] = (count, rss_kib(pid))

    got = checked("memory", wrk.run(camera.url, MIXED, work, seconds=300, quota=100_000, every=500,
                                    on_progress=sample))
    rss_end = rss_kib(pid)
    (first, rss_10k), (half, rss_100k) = samples[10_000], samples[100_000]

    us = lambda ns: f"{ns / 1000:.2f} µs"  # noqa: E731
    ms = lambda us: f"{us / 1000:.3f} ms"  # noqa: E731
    for name, what, goal in (("GetSupportedVersions", "engine, `getSupportedVersions` (look-up left out) vs jansson "
                              "`json_loads` + `json_dumps` of the same answer", "≤ 1.25×"),
                             ("Batch100", "engine, 100-element batch, same floor", "≤ 1.25×"),
                             ("InvalidJson", "engine, invalid JSON (with its warning to the system log), same floor",
                              "≤ 2×")):
        row(what, engine[f"BM_Engine_{name}"], engine[f"BM_Floor_{name}"], us, goal)
    row("`get_access_level`: nss_wrapper files / the machine's nsswitch",
        f"{us(access_files['BM_AccessLevel'])} / {us(access_nss['BM_AccessLevel'])}")
    row("`getViewModeInfo` round trip (HTTP, one connection) vs four sequential `GetAutoRotation` calls from a "
        "plain GDBus client", info_rt["service_us"], info_rt["floor_us"], ms, "≤ 1.15×")
    row("`getViewModeInfo` through the camera's web server (lighttpd, https, Digest SHA-256) vs straight to the "
        "service's Unix socket, libcurl, one kept-alive connection each", front_kept["front_us"],
        front_kept["straight_us"], ms, "≤ 1.15×")
    row(f"401s the kept-alive libcurl client met in {front_kept['calls']:.0f} calls through the web server "
        f"(connections: {front_kept['connections']:.0f})", f"{front_kept['challenges']:.0f}",
        goal="1 (the first call)", met=front_kept["challenges"] == 1)
    row(f"`getViewModeInfo` on a new connection a call as curl `--digest` does it (TLS handshake, a 401, the answer; "
        f"{front_new['challenges']:.0f} 401s and {front_new['connections']:.0f} connections in "
        f"{front_new['calls']:.0f} calls) vs straight on a new connection", front_new["front_us"],
        front_new["straight_us"], ms)
    row("the web server's CPU per call through it (lighttpd, /proc/PID/schedstat): kept-alive; new connection",
        f"{(front_cpu[1] - front_cpu[0]) / 1000 / front_kept['calls']:.0f} µs; "
        f"{(front_cpu[2] - front_cpu[1]) / 1000 / front_new['calls']:.0f} µs")
    row(f"the web server's memory (lighttpd): VmRSS, RssAnon at rest after start; after the "
        f"{front_kept['calls'] + front_new['calls']:.0f} calls through it",
        f"{front_at_rest[0]} KiB, {front_at_rest[1]} KiB; {front_after[0]} KiB, {front_after[1]} KiB")
    (service_rps, service_cpu), (nginx_rps, nginx_cpu) = best["service"], best["nginx"]
    row("HTTP `getSupportedVersions`, 32 connections: answers/s vs nginx returning the same bytes",
        service_rps, nginx_rps, lambda rps: f"{rps:.0f}/s", "≥ 0.5×")
    row("server CPU per request, same run", service_cpu, nginx_cpu, lambda cpu: f"{cpu:.1f} µs")
    row("`setViewMode` round trip (one connection, alternating) vs the same file reads and saves",
        switch_rt["service_us"], switch_rt["floor_us"], ms)
    row(f"exec to first answered request vs nginx (best of {runs})", start_us["service"], start_us["nginx"],
        lambda us: f"{us / 1000:.1f} ms", "≤ 1.5×")
    row("run path of the service binary", f"empty element: `{runpath}`" if runpath_empty else "no empty element",
        goal="no empty element", met=not runpath_empty)
    row("RSS at rest", f"{at_rest} KiB")
    row(f"RSS growth from {first} to {got['answered']:.0f} mixed requests (32 connections); from {half} on",
        f"{rss_end - rss_10k} KiB; {rss_end - rss_100k} KiB", goal="≤ 64 KiB", met=rss_end - rss_10k <= 64)
    return rows


if __name__ == "__main__":
    sys.exit(main())
