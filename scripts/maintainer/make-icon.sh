#!/usr/bin/env bash
# Makes the application icon from its reviewable source:
#   scripts/maintainer/make-icon.sh [app/icon/mkvtype.xpm [app/icon/mkvtype.ico]]
# One 32x32 image in 16 colours (4 bits per pixel). Debian's ImageMagick is called by its own
# name, since a plain `convert` on PATH may be something else.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
source_xpm=${1:-$here/app/icon/mkvtype.xpm}
target_ico=${2:-$here/app/icon/mkvtype.ico}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# No date or other metadata chunks, so the same source always gives the same bytes.
convert-im6.q16 "$source_xpm" -strip -define png:exclude-chunks=date,time \
  -colors 16 PNG8:"$work/mkvtype.png"
icotool --create --bit-depth=4 --output="$work/mkvtype.ico" "$work/mkvtype.png"
mv "$work/mkvtype.ico" "$target_ico"
