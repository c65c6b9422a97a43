#!/bin/sh
# The export table as Windows' loader sees it: names, ordinals, nothing else.
. "$(dirname "$0")/lib.sh"
new_prefix winxp
probe exports 'C:\qv\QVInst98.dll' >"$WORK/exports.out" || {
  cat "$WORK/exports.out" >&2
  fail "export table"
}
cat "$WORK/exports.out"
