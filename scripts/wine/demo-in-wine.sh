#!/usr/bin/env bash
# The demo's part under Wine: runs build/windows/mkvtype.exe once in a Wine prefix of this
# project's own (build/wine-demo, as a 32-bit Windows), and shows the three registry entries as
# the registry then holds them. scripts/demo.sh runs it, here or in a virtual machine, where
# the prefix is a fresh one in the guest's memory (use_win32_prefix). MKVTYPE_DEMO_PREFIX names
# another prefix, for the tests, used wherever the demo runs.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/wine/env.sh

if [ -n "${MKVTYPE_DEMO_PREFIX-}" ]; then
  export WINEPREFIX=$MKVTYPE_DEMO_PREFIX
  make_wine_prefix "$WINEPREFIX" win32
else
  use_win32_prefix "$PWD/build/wine-demo"
fi
# One wine server for the whole demo, rather than one for each program: where Wine runs
# under emulation, every server start costs seconds. Stopping it saves the registry.
wineserver --persistent </dev/null >/dev/null 2>&1
trap 'wineserver --kill; wineserver --wait' EXIT

echo "Giving the prefix the player's two extension keys, as an installed player has them."
install_player_keys

echo "Running build/windows/mkvtype.exe"
status=0
wine build/windows/mkvtype.exe || status=$?
echo "Exit status: $status"
echo

# The three queries from one cmd, which starts each reg as a child: under emulation a program
# that Wine starts from here costs a second, one that cmd starts a third of that. Each query
# runs only where the one before it succeeded, so that the first that fails ends the demo with
# its status. (Not `&&`: Wine's cmd runs what follows it even after a failure.)
queries="reg query $player_extensions\\MUIDescriptions /v 76"
queries+=" & if not errorlevel 1 reg query $player_extensions\\Types /v 76"
queries+=" & if not errorlevel 1 reg query HKCR\\.MKV /ve"
wine 'C:\windows\system32\cmd.exe' /c "$queries" | tr -d '\r' | sed '/^$/d'
