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

[ -n "${QVINST98_SIM_TOOL:-}" ] ||
  fail "QVINST98_SIM_TOOL is not set: configure this build with -DQVINST98_SIM_TOOL=<the qvinst98 tool> (the mingw64 presets name build/default/tools/qvinst98; build the default preset first)"
[ -x "$QVINST98_SIM_TOOL" ] ||
  fail "no qvinst98 tool at $QVINST98_SIM_TOOL: build it first (cmake --preset default && cmake --build --preset default --target qvinst98_tool)"
# A tool older than the sources would compare the DLL with another library.
top="$DATA/../.."
newer=$(find "$top/src" "$top/platform/sim" "$top/tools" "$top"/platform/*.h -type f \
  \( -name '*.cpp' -o -name '*.h' \) -newer "$QVINST98_SIM_TOOL" | head -n 1)
[ -z "$newer" ] || fail "$QVINST98_SIM_TOOL is older than $newer: rebuild it (cmake --build --preset default --target qvinst98_tool)"
for file in before.reg calls.out calls.trace registry.out; do
  [ -f "$WINE_RESULTS/$file" ] || fail "the Wine run left no $file in $WINE_RESULTS"
done

# The seed must be part of the starting registry (key names as Wine stores
# them may differ in case).
lower_keys() { awk -F '\t' -v OFS='\t' '{ $1 = tolower($1); print }' | LC_ALL=C sort; }
canonical_reg <"$dir/seed.reg" | lower_keys >"$WORK/seed.canonical"
canonical_reg <"$WINE_RESULTS/before.reg" | lower_keys >"$WORK/before.canonical"
LC_ALL=C comm -23 "$WORK/seed.canonical" "$WORK/before.canonical" >"$WORK/seed.missing"
[ ! -s "$WORK/seed.missing" ] || {
  cat "$WORK/seed.missing" >&2
  fail "the registry before Wine's calls lacks these lines of seed.reg"
}

# shellcheck disable=SC2086 # SIM_OPTIONS and CALLS are lists.
"$QVINST98_SIM_TOOL" --registry "$WINE_RESULTS/before.reg" --os "$VERSION" --trace --save "$WORK/sim.reg" \
  ${SIM_OPTIONS:-} $CALLS >"$WORK/sim.out" 2>"$WORK/sim.trace" || {
  cat "$WORK/sim.trace" >&2
  fail "the qvinst98 tool failed"
}

# Answers: the tool prints "NAME -> RESULT", the probe "NAME=RESULT".
sed 's/ -> /=/' "$WORK/sim.out" >"$WORK/sim.answers"

# The registry: the same canonical form as regedit's export, and of the
# whole image only the keys Wine exported (each key and everything below it).
if [ "$(head -c 2 "$WORK/sim.reg" | od -An -tx1 | tr -d ' ')" = fffe ]; then
  iconv -f UTF-16 -t UTF-8 "$WORK/sim.reg"
else
  cat "$WORK/sim.reg"
fi | canonical_reg >"$WORK/sim.canonical"
: >"$WORK/sim.registry"
echo "$KEYS" | while read -r key; do
  [ -n "$key" ] || continue
  root="[HKEY_LOCAL_MACHINE\\$key" awk '
    BEGIN { root = tolower(ENVIRON["root"]) }
    {
      path = tolower($0)
      sub(/\t.*/, "", path)
      if (path == root "]" || index(path, root "\\") == 1) print
    }' "$WORK/sim.canonical" >>"$WORK/sim.registry"
done
LC_ALL=C sort -o "$WORK/sim.registry" "$WORK/sim.registry"

# The lines that differ, as "SIDE WHAT LINE": SIDE is where the line is
# (wine or sim), WHAT is answer, registry or trace.
differ() { # what wine-file sim-file
  diff --unchanged-line-format= --old-line-format="wine $1 %L" \
    --new-line-format="sim $1 %L" "$2" "$3" || [ $? -eq 1 ] || fail "cannot compare $2 with $3"
}
{
  differ answer "$WINE_RESULTS/calls.out" "$WORK/sim.answers"
  differ registry "$WINE_RESULTS/registry.out" "$WORK/sim.registry"
  if [ "$QVINST98_TRACE" = ON ]; then
    tr -d '\r' <"$WINE_RESULTS/calls.trace" >"$WORK/wine.trace"
    differ trace "$WORK/wine.trace" "$WORK/sim.trace"
  fi
} >"$WORK/differences.unsorted"
LC_ALL=C sort -o "$WORK/differences" "$WORK/differences.unsorted"

# The reviewed differences; trace lines count only where there is a trace.
allowed="$dir/differences"
: >"$WORK/differences.expected"
if [ -f "$allowed" ]; then
  grep -v -e '^#' -e '^$' "$allowed" | {
    if [ "$QVINST98_TRACE" = ON ]; then cat; else grep -v '^[a-z]* trace ' || true; fi
  } | LC_ALL=C sort >"$WORK/differences.expected"
fi
if ! diff -u "$WORK/differences.expected" "$WORK/differences" >&2; then
  echo "Wine's results and the simulation's are in $WINE_RESULTS and $WORK" >&2
  fail "Wine and the simulation differ other than listed in scenarios/$1/differences"
fi
echo "ok: Wine and the simulation agree on scenario $1 ($(wc -l <"$WORK/differences") listed differences)"
