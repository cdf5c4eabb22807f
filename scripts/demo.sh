#!/usr/bin/env bash
# Builds mkvtype.exe, runs it once in a Wine prefix of this project's own (build/wine-demo, as a
# 32-bit Windows), and shows the three registry entries as the registry then holds them. Where
# this machine's kernel runs no 32-bit programs, Wine runs in a virtual machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows

exec scripts/wine/run.sh scripts/wine/demo-in-wine.sh
