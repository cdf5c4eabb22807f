#!/usr/bin/env bash
# Builds both presets and runs every test. Where this machine's kernel runs no 32-bit programs
# (or MKVTYPE_WINE=vm), the tests that need Wine run in a virtual machine; the tests of that
# route run everywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --vm

cmake --preset windows
cmake --build --preset windows
cmake --preset native
cmake --build --preset native
ctest --preset native
