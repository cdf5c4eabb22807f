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

# The player's two extension keys, empty, as an installed player has them: the tool only opens
# them, so without them it writes nothing there.
player_extensions='HKLM\SOFTWARE\Microsoft\MediaPlayer\Player\Extensions'
install_player_keys() {
  wine reg add "$player_extensions\\MUIDescriptions" /f >/dev/null
  wine reg add "$player_extensions\\Types" /f >/dev/null
}
