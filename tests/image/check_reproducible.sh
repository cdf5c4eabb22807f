#!/usr/bin/env bash
# Two clean builds of mkvtype.exe, from copies of the source in folders of different names and
# lengths, must give the same bytes.
#   check_reproducible.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1
work=$2
rm -rf "$work"

build="$source_dir/scripts/releasekit/build.py"
first=$("$build" "$source_dir" "$work/a/src")
second=$("$build" "$source_dir" "$work/another-folder/with-a-longer-name/mkvtype-source")
cmp "$first" "$second"
echo "identical: $(sha256sum < "$first")"
rm -rf "$work"
