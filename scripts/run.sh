#!/usr/bin/env bash
# Installs what is missing, builds, and runs the agent (headless when there is no display).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
exec ./build/tapdeck "$@"
