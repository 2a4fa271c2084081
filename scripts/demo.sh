#!/usr/bin/env bash
# Installs what is missing, configures and builds the default preset, then runs
# the demo against the camera simulator, which it starts in its own process.
# Its arguments pass to the demo:
#   bash scripts/demo.sh [--address A.B.C.D] [--out DIR] [--frames N]
# (with an address: talks to the camera there instead)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --parallel "$(nproc)" --target tavrin-demo
exec build/default/examples/tavrin-demo "$@"
