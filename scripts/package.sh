#!/usr/bin/env bash
# Builds the Debian packages, tapdeck and tapdeck-relay, into build-release/packages/:
#
#   ./scripts/package.sh && sudo apt install ./build-release/packages/tapdeck_*_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
cpack --config build-release/CPackConfig.cmake -B build-release/packages
ls -1 build-release/packages/*.deb
