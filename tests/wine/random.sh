#!/bin/sh
# Random machines through the DLL under Wine and through the simulation.
#   random.sh [--seed S] [--first I] [--count N]
# Machines I to I+N-1 of seed S (random_machine.py: the same seed and index
# always give the same machine and calls) run one after another in one
# prefix: each machine's keys are imported (after the previous machines' keys
# are deleted), the calls run in one process, and what the calls started
# from, their answers, trace and the registry afterwards are compared with
# the simulation's (sim_differences in lib.sh). Only the differences that
# random-differences lists are allowed. The run stops at the first machine
# that disagrees and prints it, its calls and the differences, with the
# command that runs it again.
. "$(dirname "$0")/lib.sh"

run_seed=1 first=0 count=50
while [ $# -gt 0 ]; do
  case $1 in
  --seed) run_seed=$2 ;;
  --first) first=$2 ;;
  --count) count=$2 ;;
  *) fail "usage: random.sh [--seed S] [--first I] [--count N]" ;;
  esac
  shift 2
done
case "$run_seed$first$count" in *[!0-9A-Za-z_-]*) fail "seed, first and count are words and numbers" ;; esac
command -v python3 >/dev/null || fail "python3 is needed to make the random machines"

# A run by hand (the build tree's random-machines) prepares the base prefix
# itself and starts a fresh prefix every PER_PREFIX machines.
PER_PREFIX=25
if [ -n "${RANDOM_BY_HAND:-}" ]; then
  run_dir=$WORK
  mkdir -p "$run_dir"
  WORK="$run_dir/prefix-setup" sh "$DATA/prefix.sh" >/dev/null
else
  run_dir=$WORK
  PER_PREFIX=$count
fi

allowed="$DATA/random-differences"
grep -v -e '^#' -e '^$' "$allowed" | this_width >"$run_dir.allowed"

# Prints the machine that failed (from the EXIT trap, so that a failure inside
# the harness is reported with its machine too).
machine=""
report() {
  [ -n "$machine" ] || return 0
  {
    echo "== machine $index of seed $run_seed: $VERSION, calls: $CALLS"
    echo "   simulation options: $SIM_OPTIONS"
    if [ -s "$machine/unexplained" ]; then
      echo "== differences not listed in tests/wine/random-differences (SIDE WHAT LINE):"
      head -n 40 "$machine/unexplained"
    fi
    echo "== the machine (seed.reg):"
    cat "$machine/seed.reg"
    echo "== Wine's and the simulation's files: $machine"
    echo "== again: random-machines --seed $run_seed --first $index --count 1 (in the build tree's tests-wine directory)"
  } >&9
}
finish() {
  local status=$?
  [ "$status" -eq 0 ] || report
  (exit "$status")
  end_prefix
}

last=$((first + count - 1))
done_here=0
for index in $(seq "$first" "$last"); do
  if [ "$done_here" -eq 0 ]; then
    WORK="$run_dir"
    machine=""
    if [ -n "${WINEPREFIX:-}" ]; then
      # The previous prefix of a run by hand.
      timeout 10 "$WINESERVER" -k >/dev/null 2>&1 || true
      timeout 10 "$WINESERVER" -w >/dev/null 2>&1 || true
      remove_server_dir
      rm -rf "$WINEPREFIX"
    fi
    reset_budget
    new_prefix winxp
    trap finish EXIT
    : >"$run_dir/owned"
  fi
  done_here=$(((done_here + 1) % PER_PREFIX))

  machine="$run_dir/machine-$index"
  WORK=$machine
  rm -rf "$machine"
  mkdir -p "$machine"
  reset_budget
  python3 "$DATA/random_machine.py" --seed "$run_seed" --index "$index" --out "$machine"
  VERSION="" CALLS="" SIM_OPTIONS="" KEYS=""
  . "$machine/scenario"

  # One import: the previous machines' keys deleted, the Windows version
  # set, this machine's keys written.
  {
    echo REGEDIT4
    echo
    sed 's/^\(.*\)$/[-HKEY_LOCAL_MACHINE\\\1]/' "$run_dir/owned"
    echo
    echo '[HKEY_CURRENT_USER\Software\Wine]'
    echo "\"Version\"=\"$VERSION\""
    echo
    sed 1d "$machine/seed.reg"
  } >"$machine/import.reg"
  import_reg "$machine/import.reg"
  cat "$machine/owned" >>"$run_dir/owned"
  LC_ALL=C sort -u -o "$run_dir/owned" "$run_dir/owned"

  export_trees "$machine/before.reg"
  # shellcheck disable=SC2086 # CALLS is a list of steps.
  call_dll calls $CALLS
  export_trees "$machine/after.reg"
  canonical_reg <"$machine/after.reg" >"$machine/after.canonical"
  select_keys "$KEYS" "$machine/after.canonical" >"$machine/registry.out"

  sim_differences "$machine/seed.reg" "$machine"
  # Every difference must be allowed by a rule of random-differences.
  canonical_reg <"$machine/before.reg" | grep -v "$(printf '\t')" >"$machine/before.keys" || true
  awk -v rules="$run_dir.allowed" -v before="$machine/before.keys" -v after="$machine/registry.out" '
    function text_of(line, f) { split(line, f, " "); return substr(line, length(f[1]) + length(f[2]) + 3) }
    BEGIN {
      while ((getline line < rules) > 0) {
        split(line, f, " ")
        n++; rule[n] = f[1]; kind[n] = f[2]; pattern[n] = text_of(line)
      }
      while ((getline line < before) > 0) had[tolower(line)] = 1
      while ((getline line < after) > 0) if (index(line, "\t") == 0) has[tolower(line)] = 1
    }
    { side[NR] = $1; what[NR] = $2; text[NR] = text_of($0); all[NR] = $0 }
    END {
      for (i = 1; i <= NR; i++) if (side[i] == "sim") simLine[what[i] SUBSEP tolower(text[i])] = i
      # Pairs first: a pair'"'"'s simulation line sorts before its Wine line.
      for (i = 1; i <= NR; i++) {
        if (side[i] != "wine") continue
        for (r = 1; r <= n && !ok[i]; r++) {
          if (rule[r] != "case" || kind[r] != what[i] || text[i] !~ pattern[r]) continue
          j = simLine[what[i] SUBSEP tolower(text[i])]
          if (j && !ok[j] && text[j] ~ pattern[r]) ok[i] = ok[j] = 1
        }
      }
      for (i = 1; i <= NR; i++) {
        if (ok[i]) continue
        for (r = 1; r <= n && !ok[i]; r++) {
          if (kind[r] != what[i] || text[i] !~ pattern[r]) continue
          if (rule[r] == side[i]) ok[i] = 1
          else if (rule[r] == "interface" && side[i] == "sim" && match(text[i], /##\?#[^\\\]]*/)) {
            split(substr(text[i], RSTART + 4, RLENGTH - 4), p, "#")
            instance = tolower("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\" p[1] "\\" p[2] "\\" p[3] "]")
            if ((instance in had) && !(instance in has)) ok[i] = 1
          }
        }
        if (!ok[i]) print all[i]
      }
    }' "$machine/differences" >"$machine/unexplained"
  [ ! -s "$machine/unexplained" ] || fail "machine $index of seed $run_seed: Wine and the simulation disagree"
  echo "ok: machine $index of seed $run_seed: $VERSION, $CALLS ($(wc -l <"$machine/differences") listed differences)"
  # Machines that agree are not kept.
  [ -n "${KEEP_MACHINES:-}" ] || rm -rf "$machine"
  machine=""
done
echo "ok: $count random machines of seed $run_seed from $first agree"
