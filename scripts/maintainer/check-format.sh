#!/usr/bin/env bash
# Fails when a C++ file of the project differs from what .clang-format makes of it, and says
# how to fix it.
#   scripts/maintainer/check-format.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/../..}"

if [ -d .git ]; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build -prune -o -path ./dist -prune -o \
                         \( -name '*.cpp' -o -name '*.h' \) -type f -print | sort)
fi

unformatted=()
for file in "${files[@]}"; do
  [ -f "$file" ] || continue
  if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
    unformatted+=("$file")
  fi
done

if [ "${#unformatted[@]}" -gt 0 ]; then
  echo "not formatted as .clang-format says: ${unformatted[*]}"
  echo "fix with: (cd $(pwd) && clang-format -i ${unformatted[*]})"
  exit 1
fi
echo "${#files[@]} C++ files formatted as .clang-format says"
