#!/usr/bin/env bash
# Runs the browser tests of the web client in headless Chromium. Installs the
# pinned playwright-core on first use (again only when the lock file
# changes). scripts/setup installs Chromium, so a missing one fails the run
# rather than letting it pass unseen; a test host not built is skipped (77).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
chromium=${MORVANE_CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ]; then
  echo "Chromium not found at $chromium (scripts/setup installs it)" >&2
  exit 1
fi
if [ "${MORVANE_NEEDS_HARNESS:-}" = 1 ] && [ ! -x "${MORVANE_BUILD_DIR:-}/morvane-harness" ]; then
  echo "skipped: ${MORVANE_BUILD_DIR:-the build folder}/morvane-harness is not built"
  exit 77
fi
"$here/install-node-modules.sh"
export NODE_PATH="$here/node_modules"
exec node --test "$@"
