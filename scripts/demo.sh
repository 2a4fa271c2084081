#!/usr/bin/env bash
# Installs what is missing, configures and builds the default preset, then runs
# the demo against the camera simulator, which it starts in its own process.
#   bash scripts/demo.sh [HOST[:PORT]]   (with an address: talks to that camera instead)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --parallel "$(nproc)" --target tavrin-demo
exec build/default/examples/tavrin-demo "$@"
