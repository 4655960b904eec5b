#!/usr/bin/env bash
# The web stage: the API description against the README and the running
# service, on the simulated camera (which tools/run.sh builds when needed).
set -euo pipefail
cd "$(dirname "$0")/.."

/usr/bin/python3 tests/web/check_api.py
cd tests/web
npm ci --no-audit --no-fund --loglevel=error
node_modules/.bin/validate-api ../../api/openapi.yaml
