#!/usr/bin/env bash
# Runs the browser tests of the web client in headless Chromium. Installs the
# pinned playwright-core on first use (again only when the lock file
# changes) and skips, with exit code 77, when Chromium is not installed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
chromium=${MORVANE_CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ]; then
  echo "skipped: Chromium not found at $chromium (scripts/setup installs it)"
  exit 77
fi
if [ "${MORVANE_NEEDS_HARNESS:-}" = 1 ] && [ ! -x "${MORVANE_BUILD_DIR:-}/morvane-harness" ]; then
  echo "skipped: ${MORVANE_BUILD_DIR:-the build folder}/morvane-harness is not built"
  exit 77
fi
"$here/install-node-modules.sh"
export NODE_PATH="$here/node_modules"
exec node --test "$@"
