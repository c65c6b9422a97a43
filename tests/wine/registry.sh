#!/bin/sh
# A registry scenario: the seed is imported into a fresh prefix of the
# scenario's Windows version, the calls run in one process, and the keys
# named by the scenario are exported and compared with the expected
# registry; the answers are compared too. The registry before the calls is
# kept for compare.sh.
#   registry.sh NAME   (the scenario in scenarios/NAME)
# The scenario's "scenario" file sets VERSION, CALLS and KEYS (the keys to
# export, below HKEY_LOCAL_MACHINE, separated by newlines); seed.reg,
# answers.expected and registry.expected hold the rest; OVERRIDES, if set,
# is added to WINEDLLOVERRIDES for the calls. CONFIG_MANAGER=standin gives
# the calls the suite's cfgmgr32.dll (cfgmgr32_standin.cpp) instead of
# Wine's, which locates no device node.
. "$(dirname "$0")/lib.sh"
dir="$DATA/scenarios/$1"
. "$dir/scenario"
new_prefix "$VERSION"
if [ "${CONFIG_MANAGER:-}" = standin ]; then
  # The DLL loads cfgmgr32.dll by its full path in the system directory;
  # there Wine loads the file it finds only when the DLL's override is native.
  if [ "$QVINST98_BITS" = 64 ]; then sysdir=system32; else sysdir=syswow64; fi
  cp "$CFGMGR32_STANDIN" "$WINEPREFIX/drive_c/windows/$sysdir/cfgmgr32.dll"
  OVERRIDES="${OVERRIDES:+$OVERRIDES;}cfgmgr32=n"
fi

import_reg "$dir/seed.reg"
# What the calls start from, for the comparison with the simulation
# (compare.sh): the seed as imported together with the prefix's own keys
# (Wine has devices of its own) in the two trees the library reads.
export_trees "$WORK/before.reg"
(
  # A scenario can make system DLLs unavailable to the calls.
  if [ -n "${OVERRIDES:-}" ]; then export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$OVERRIDES"; fi
  # shellcheck disable=SC2086 # CALLS is a list of steps.
  call_dll calls $CALLS
)
expect_same "$dir/answers.expected" "$WORK/calls.out" "answers"

: >"$WORK/registry.out"
echo "$KEYS" | while read -r key; do
  [ -n "$key" ] || continue
  export_reg "HKEY_LOCAL_MACHINE\\$key" "$WORK/key.out"
  cat "$WORK/key.out" >>"$WORK/registry.out"
done
canonical_reg <"$dir/registry.expected" >"$WORK/registry.expected"
LC_ALL=C sort -o "$WORK/registry.out" "$WORK/registry.out"
expect_same "$WORK/registry.expected" "$WORK/registry.out" "registry"
echo "ok: scenario $1"
