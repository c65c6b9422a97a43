#!/bin/sh
# A registry scenario run twice: by the DLL under Wine (registry.sh, whose
# results are in WINE_RESULTS) and by the library over the simulated Windows
# (the Linux qvinst98 tool in QVINST98_SIM_TOOL), with the same Windows
# version and calls, both starting from the registry Wine's calls started
# from: the seed together with the prefix's own keys. The answers, the
# scenario's keys afterwards and, in a trace build, the trace must agree line
# by line, except for the lines the scenario's "differences" file lists:
# each listed line must differ and nothing else may.
#   compare.sh NAME   (the scenario in scenarios/NAME)
# The scenario file may set SIM_OPTIONS: tool options that give the
# simulation the answers Wine's system calls give (see the scenario).
. "$(dirname "$0")/lib.sh"
dir="$DATA/scenarios/$1"
. "$dir/scenario"
rm -rf "$WORK"
mkdir -p "$WORK"
sim_differences "$dir/seed.reg" "$WINE_RESULTS"

# The reviewed differences; trace lines count only where there is a trace,
# and a line that begins with "32-bit: " or "64-bit: " only for that width.
allowed="$dir/differences"
: >"$WORK/differences.expected"
if [ -f "$allowed" ]; then
  grep -v -e '^#' -e '^$' "$allowed" | this_width | {
    if [ "$QVINST98_TRACE" = ON ]; then cat; else grep -v '^[a-z]* trace ' || true; fi
  } | LC_ALL=C sort >"$WORK/differences.expected"
fi
if ! diff -u "$WORK/differences.expected" "$WORK/differences" >&2; then
  echo "Wine's results and the simulation's are in $WINE_RESULTS and $WORK" >&2
  fail "Wine and the simulation differ other than listed in scenarios/$1/differences"
fi
echo "ok: Wine and the simulation agree on scenario $1 ($(wc -l <"$WORK/differences") listed differences)"
