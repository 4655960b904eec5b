#!/usr/bin/env bash
# The web stage, on the simulated camera (which tools/run.sh builds when
# needed): the API description against the docs' examples and the running service,
# then the settings page in Debian's Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."

/usr/bin/python3 tests/web/check_api.py
cd tests/web
npm ci --no-audit --no-fund --loglevel=error
node_modules/.bin/validate-api ../../api/openapi.yaml
node --test settings_page.test.mjs
