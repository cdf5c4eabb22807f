#!/usr/bin/env bash
# Builds both presets and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset windows
cmake --build --preset windows
cmake --preset native
cmake --build --preset native
ctest --preset native
