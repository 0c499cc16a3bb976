#!/usr/bin/env bash
# Installs what is missing, builds, and runs the agent in command mode on this
# terminal: type one JSON command per line, end with Ctrl-D.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vantor_install_packages
vantor_build -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF

cat >&2 <<'HELP'
vantor: type commands, one JSON object per line, for example
  {"type":"stop"}
  {"type":"screenshot"}
Events appear on standard output, logs on standard error. Ctrl-D ends the agent.
HELP
exec "$VANTOR_BUILD/vantor" "$@"
