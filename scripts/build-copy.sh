#!/usr/bin/env bash
# Builds mkvtype.exe from a copy of a checkout, in a fresh folder, so that nothing a build left
# in the checkout reaches it. Prints the built exe's path; what the build says goes to stderr.
#   scripts/build-copy.sh SOURCE_DIR COPY_DIR
set -euo pipefail
source_dir=$1
copy=$2
mkdir -p "$copy"
tar -C "$source_dir" --exclude=./build --exclude=./dist --exclude=./.git -cf - . |
  tar -C "$copy" -xf -
cmake -S "$copy" --preset windows >&2
cmake --build "$copy/build/windows" --target mkvtype >&2
echo "$copy/build/windows/mkvtype.exe"
