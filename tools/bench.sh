#!/usr/bin/env bash
# Builds the `bench` preset and measures the service against its floors on
# a simulated camera (bench/bench.py), printing one markdown table: the
# engine against jansson, the look-up, round trips against their D-Bus calls
# and file saves, the camera's web server (TLS, Digest) against the straight
# route, HTTP and start-up against nginx, memory.
# Loopback only, about two and a half minutes; exits 1 when an answer was wrong.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh" bench
exec /usr/bin/python3 "$root/bench/bench.py"
