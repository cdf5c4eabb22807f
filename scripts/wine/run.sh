#!/usr/bin/env bash
# Runs COMMAND where Wine runs (scripts/wine/route.sh): here, or in a virtual machine
# (scripts/in-vm.sh), first installing what that needs and saying so.
#   scripts/wine/run.sh COMMAND...
set -euo pipefail
here=$(dirname "$0")
route=$("$here/route.sh")  # a route that cannot work stops here, saying why
if [ "$route" = vm ]; then
  "$here/../install-deps.sh" --vm
  echo "This machine runs no 32-bit programs (or MKVTYPE_WINE=vm): Wine runs in a virtual" \
       "machine, under software emulation, so its times are the emulator's."
  exec "$here/../in-vm.sh" "$@"
fi
exec "$@"
