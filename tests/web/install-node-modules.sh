#!/usr/bin/env bash
# Installs the pinned test packages once; runs npm ci again only when the
# lock file is newer than the last install. Safe to call from parallel tests.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stamp="$here/node_modules/.package-lock.json"
exec 9>"${TMPDIR:-/tmp}/morvane-web-install.lock"
flock 9
if [ ! -f "$stamp" ] || [ "$here/package-lock.json" -nt "$stamp" ] || [ ! -d "$here/node_modules/playwright-core" ]; then
  (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
  touch "$stamp"
fi
