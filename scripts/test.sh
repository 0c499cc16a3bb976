#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# VANTOR_SANITIZE=address,undefined (or thread) builds and tests a sanitized
# tree in build-<sanitizer> instead.
set -euo pipefail
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/virtual-display.sh"
source "$(dirname "$0")/virtual-sound.sh"

vantor_install_packages
args=(-DVANTOR_TESTS=ON -DVANTOR_BENCH=ON)
if [ -n "${VANTOR_SANITIZE:-}" ]; then
  VANTOR_BUILD="$VANTOR_ROOT/build-${VANTOR_SANITIZE//,/-}"
  args+=(-DVANTOR_SANITIZE="$VANTOR_SANITIZE" -DVANTOR_BENCH=OFF)
fi
vantor_build "${args[@]}"

# The capture tests get a private X server of their own, never the user's
# screen, and a private sound server (PULSE_SERVER) instead of the user's.
trap 'vantor_sound_stop; vantor_display_stop' EXIT
vantor_display_start
vantor_sound_start

cd "$VANTOR_BUILD"
ctest --output-on-failure -j "$(nproc)" --timeout 300

# The Node package (packages/node) against the agent just built, on the same
# servers. It needs npm, which Debian packages apart from Node.js.
if command -v npm >/dev/null && node -e 'process.exit(process.versions.node.split(".")[0] >= 18 ? 0 : 1)'; then
  cd "$VANTOR_ROOT/packages/node"
  npm ci --no-audit --no-fund --silent
  npm run --silent build
  VANTOR_BINARY="$VANTOR_BUILD/vantor" npm test --silent
else
  echo "vantor: the Node package is not tested: no Node.js 18 or later with npm"
fi
