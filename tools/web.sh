#!/usr/bin/env bash
# The web stage, on the simulated camera (which tools/run.sh builds when
# needed): the API description against the docs' examples and the running service,
# linted with redocly's recommended rules, then the settings page in Debian's Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."

# redocly 2 runs on Node.js 20.19 or later; Debian 12's own nodejs is older.
node -e 'const [a, b] = process.versions.node.split(".").map(Number);
         process.exit(a > 20 || (a === 20 && b >= 19) ? 0 : 1)' ||
  { echo "web.sh: redocly needs Node.js 20.19 or later, not $(node --version)" >&2; exit 1; }

/usr/bin/python3 tests/web/check_api.py
cd tests/web
npm ci --no-audit --no-fund --loglevel=error
node_modules/.bin/validate-api ../../api/openapi.yaml
# No usage reports, no update checks: a test stage talks to nothing.
REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true \
  node_modules/.bin/redocly lint --extends=recommended --format=stylish ../../api/openapi.yaml
node --test settings_page.test.mjs
