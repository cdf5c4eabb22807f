#!/usr/bin/env bash
# The timed part of bench/run.sh, under Wine: mkvtype.exe beside the floor (an empty GUI
# executable built the same way), the floor with ADVAPI32 loaded as the tool has it, and two
# ways of writing the same three entries without it: regedit importing a .reg file, and a batch
# file of `reg add`. Prints the medians side by side. bench/run.sh runs it, here or in a
# virtual machine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine/env.sh

use_win32_prefix "$PWD/build/bench-wine"
# Everything on one core: a Wine process start is a string of hand-offs with the wine server,
# and across two cores their wake-ups made the times vary by a factor of three.
pin="taskset --cpu-list 0"
# A warm, persistent server and its services, started outside the timings and without our
# output, so that every timed run starts in the same conditions.
$pin wineserver --persistent </dev/null >/dev/null 2>&1
$pin wine build/windows/empty.exe </dev/null >/dev/null 2>&1
install_player_keys
# Lets the services that the first program started finish their own start-up first.
sleep 5

results=build/bench.json
# hyperfine splits each command as a shell would, so the Windows paths are quoted.
$pin hyperfine --shell=none --style none --warmup 3 --runs "${RUNS:-60}" --export-json "$results" \
  -n "empty.exe (floor)" "wine build/windows/empty.exe" \
  -n "advapi32_only.exe" "wine build/windows/advapi32_only.exe" \
  -n "mkvtype.exe" "wine build/windows/mkvtype.exe" \
  -n "regedit /s entries.reg" "wine regedit /s '$(winepath -w bench/entries.reg)'" \
  -n "cmd /c entries.bat (reg add)" "wine cmd /c '$(winepath -w bench/entries.bat)'"
wineserver --kill

/usr/bin/python3 - "$results" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
floor = next(r["median"] for r in results if r["command"].startswith("empty.exe"))
print(f"{'wall time under Wine':32} {'median ms':>10} {'stddev':>7} {'vs floor':>9}")
for r in results:
    print(f"{r['command']:32} {r['median'] * 1000:10.1f} {r['stddev'] * 1000:7.1f}"
          f" {(r['median'] / floor - 1) * 100:+8.1f}%")
PY
