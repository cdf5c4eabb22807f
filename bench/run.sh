#!/usr/bin/env bash
# Times mkvtype.exe under Wine beside the floor and two other ways of writing its entries
# (bench/time-under-wine.sh), and prints the executable's size and the registry calls of each
# path of a run. Where this machine's kernel runs no 32-bit programs, the timed part runs in a
# virtual machine, under emulation: its milliseconds are the emulator's, its ratios still
# those of one run side by side.
#   bench/run.sh            (RUNS=N for another number of timed runs; 60 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset windows >/dev/null && cmake --build --preset windows >/dev/null
cmake --preset native >/dev/null && cmake --build --preset native --target count_calls >/dev/null

scripts/wine/run.sh bench/time-under-wine.sh
echo
echo "mkvtype.exe: $(stat -c %s build/windows/mkvtype.exe) bytes"
echo
build/native/bench/count_calls
