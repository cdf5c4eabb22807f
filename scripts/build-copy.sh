#!/usr/bin/env bash
# Builds mkvtype.exe from a copy of a checkout, in a fresh folder, so that nothing a build left
# in the checkout reaches it. With --commit the copy is the checkout's commit (HEAD) alone, as
# a release is made: uncommitted changes stay out. Prints the built exe's path; what the build
# says goes to stderr.
#   scripts/build-copy.sh [--commit] SOURCE_DIR COPY_DIR
set -euo pipefail
committed=no
if [ "${1-}" = --commit ]; then
  committed=yes
  shift
fi
source_dir=$1
copy=$2
mkdir -p "$copy"
if [ "$committed" = yes ]; then
  git -C "$source_dir" archive --format=tar HEAD | tar -C "$copy" -xf -
else
  tar -C "$source_dir" --exclude=./build --exclude=./dist --exclude=./.git -cf - . |
    tar -C "$copy" -xf -
fi
cmake -S "$copy" --preset windows >&2
cmake --build "$copy/build/windows" --target mkvtype >&2
echo "$copy/build/windows/mkvtype.exe"
