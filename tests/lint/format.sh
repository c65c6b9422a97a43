#!/usr/bin/env bash
# Fails when a C++ source of the project does not match .clang-format.
# Usage: format.sh SOURCE_DIR [CLANG_FORMAT]
set -euo pipefail
root=$1
clang_format=${2:-clang-format}
cd "$root"
mapfile -t files < <(find src platform tools tests -name '*.cpp' -o -name '*.h' | sort)
if [ ${#files[@]} -eq 0 ]; then
  echo "format: no sources found below $root" >&2
  exit 1
fi
"$clang_format" --dry-run -Werror "${files[@]}"
echo "format: ${#files[@]} files match .clang-format"
