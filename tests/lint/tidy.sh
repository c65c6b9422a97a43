#!/usr/bin/env bash
# Runs clang-tidy with the committed .clang-tidy over the library, the
# simulated Windows and the tool, and fails on any finding.
# Usage: tidy.sh SOURCE_DIR BUILD_DIR [RUN_CLANG_TIDY]
set -euo pipefail
root=$1
build=$2
runner=${3:-run-clang-tidy}
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: $build/compile_commands.json is missing" >&2
  exit 1
fi
# Only the project's own sources, not generated files or the tests.
pattern="$root/(src|platform/sim|image|tools)/.*\\.cpp\$"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$runner" -quiet -p "$build" -j "$(nproc)" "$pattern" >"$log" 2>&1 || status=$?
if [ $status -ne 0 ] || grep -q "warning:\|error:" "$log"; then
  grep -v "^[0-9]* warnings generated\.$\|^Suppressed \|^Use -header-filter\|^Running clang-tidy" "$log" >&2 || true
  echo "tidy: findings above" >&2
  exit 1
fi
echo "tidy: no findings"
