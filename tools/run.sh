#!/usr/bin/env bash
# Builds the service and runs it on a simulated camera: a private system
# bus, the auto-rotation simulator, the stand-in platform libraries and a
# user database of its own (tests/system/camera.py, the system tests'
# camera). Ctrl-C (or SIGTERM) stops all of it; --help lists the options.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh"
exec /usr/bin/python3 "$root/tests/system/camera.py" run "$@"
