#!/usr/bin/env bash
# Runs COMMAND in a virtual machine of its own whose kernel runs 32-bit programs, in this
# folder, with its output and exit status as this script's: the way Wine is run where this
# machine's kernel cannot. See scripts/wine/vm/vm.py.
#   scripts/in-vm.sh COMMAND...
exec /usr/bin/python3 "$(dirname "$0")/wine/vm/vm.py" exec -- "$@"
