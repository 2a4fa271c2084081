#!/usr/bin/env bash
# Installs what is missing, then configures, builds and runs every test of one
# preset (default: "default"; also "asan", "tsan").
#   bash scripts/test.sh [preset] [extra ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --parallel "$(nproc)"
ctest --preset "$preset" --parallel "$(nproc)" "$@"
