#!/usr/bin/env bash
# Two clean builds of mkvtype.exe, from copies of the source in folders of different names and
# lengths, must give the same bytes.
#   check_reproducible.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1
work=$2
rm -rf "$work"

build_copy() {
  local copy=$1
  mkdir -p "$copy"
  tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xf -
  cmake -S "$copy" --preset windows >/dev/null
  cmake --build "$copy/build/windows" --target mkvtype >/dev/null
}

build_copy "$work/a/src"
build_copy "$work/another-folder/with-a-longer-name/mkvtype-source"
cmp "$work/a/src/build/windows/mkvtype.exe" \
    "$work/another-folder/with-a-longer-name/mkvtype-source/build/windows/mkvtype.exe"
echo "identical: $(sha256sum < "$work/a/src/build/windows/mkvtype.exe")"
rm -rf "$work"
