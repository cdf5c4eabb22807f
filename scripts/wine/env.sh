# Sourced by the scripts that run Wine: quiet, never the user's own prefix, no prompts to
# download Mono or Gecko, which the tool does not need and the network may not allow, and no
# desktop menus or file associations for this machine. The tests' prefixes are made so too, and
# in the virtual machine the demo unpacks the same ready prefix as they do.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# Makes the prefix at $1 for architecture $2 (win32 or win64) unless it is there already.
make_wine_prefix() {
  local prefix=$1 arch=$2
  if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    WINEPREFIX=$prefix WINEARCH=$arch wineboot --init >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver --wait
  fi
}

# Points WINEPREFIX at the 32-bit prefix $1, made where it is missing; in the virtual machine, at
# a fresh one in the guest's memory unpacked from the machine's ready prefixes
# (scripts/wine/vm/ready_prefixes.py): on the project's folder, which the guest cannot cache, a
# prefix's first program took 16 s to start and each later one 2 to 3 s.
use_win32_prefix() {
  if [ -n "${MKVTYPE_READY_PREFIXES-}" ]; then
    export WINEPREFIX=/dev/shm/mkvtype-$(basename "$1")
    /usr/bin/python3 scripts/wine/vm/ready_prefixes.py "$WINEPREFIX" win32
  else
    export WINEPREFIX=$1
    make_wine_prefix "$WINEPREFIX" win32
  fi
}

# The player's two extension keys, empty, as an installed player has them: the tool only opens
# them, so without them it writes nothing there. Both come from one .reg file, in one program:
# under emulation, each program's start costs a second or two.
player_extensions='HKLM\SOFTWARE\Microsoft\MediaPlayer\Player\Extensions'
install_player_keys() {
  local keys=$WINEPREFIX/drive_c/mkvtype-player-keys.reg
  local key="HKEY_LOCAL_MACHINE${player_extensions#HKLM}"
  printf 'REGEDIT4\r\n\r\n[%s\\MUIDescriptions]\r\n\r\n[%s\\Types]\r\n' "$key" "$key" >"$keys"
  wine reg import 'C:\mkvtype-player-keys.reg' >/dev/null
  rm -f "$keys"
}
