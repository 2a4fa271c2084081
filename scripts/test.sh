#!/usr/bin/env bash
# Installs what is missing, then configures, builds and runs every test of one
# preset (default: "default"; also "asan", "tsan").
#   bash scripts/test.sh [preset] [extra ctest arguments...]
# A first argument that starts with "-" is a ctest argument (preset "default"),
# so "bash scripts/test.sh -LE slow" works as well.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
if [ $# -gt 0 ]; then
  case "$1" in
    -*) ;;
    *) preset="${1:-default}"; shift ;;
  esac
fi
bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --parallel "$(nproc)"
ctest --preset "$preset" --parallel "$(nproc)" "$@"
