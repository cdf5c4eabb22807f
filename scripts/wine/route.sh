#!/usr/bin/env bash
# Prints how Wine runs here: `native` where this machine's kernel runs a 32-bit program (Wine's
# own i386 loader is the one tried), `vm` where it does not and Wine must run in a virtual
# machine (scripts/in-vm.sh). MKVTYPE_WINE=native or vm forces one; asked for native where it
# cannot work, says why in one line on stderr and fails. MKVTYPE_WINE_I386_PROGRAM names another
# program to try, for the tests.
set -euo pipefail
loader=${MKVTYPE_WINE_I386_PROGRAM:-/usr/lib/wine/wine}

runs_32_bit_programs() {
  "$loader" --version >/dev/null 2>&1
}

case "${MKVTYPE_WINE:-auto}" in
  auto)
    if runs_32_bit_programs; then echo native; else echo vm; fi ;;
  native)
    if ! runs_32_bit_programs; then
      if [ ! -x "$loader" ]; then
        echo "no 32-bit Wine here: $loader is missing (scripts/install-deps.sh installs it)" >&2
      else
        echo "this kernel runs no 32-bit programs: boot it with ia32_emulation=on," \
             "or set MKVTYPE_WINE=vm" >&2
      fi
      exit 1
    fi
    echo native ;;
  vm) echo vm ;;
  *)
    echo "MKVTYPE_WINE is '$MKVTYPE_WINE': it takes auto, native or vm" >&2
    exit 1 ;;
esac
