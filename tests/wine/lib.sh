# Shared by the Wine harness scripts; sourced, not run. This is the one
# place where the prefix, the server and the loader are chosen, for both
# widths of the DLL.
#
# CTest passes: WINE_LOADER (the loader of the DLL's width: wine64 for the
# 64-bit twin, the 32-bit wine for the product), WINESERVER (the 64-bit
# wineserver), QVINST98_DLL, QVPROBE, BASE_PREFIX (prepared once by
# prefix.sh), WORK (this test's directory), DATA (tests/wine in the source
# tree), QVINST98_BITS (32 or 64), QVINST98_TRACE (ON or OFF).
set -eu

# Every prefix is a 64-bit one, for both widths: the 32-bit DLL runs in it as
# on 64-bit Windows, from syswow64. Such a prefix can be served only by the
# 64-bit wineserver, and a loader starts the server named in WINESERVER, so
# the 32-bit loader never starts a server of its own width.
export WINEARCH=win64
export WINESERVER
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
# No display unless a test starts its own (dialogs.sh): Wine would otherwise
# open its desktop on the caller's display.
unset DISPLAY

# Time limits. CTest stops a Wine test after 60 s; the harness stops it
# sooner, at the step that hangs, and says which step it was. Each Wine
# process gets what is left of the test's budget, at most STEP_LIMIT seconds.
TEST_BUDGET=${TEST_BUDGET:-50}
STEP_LIMIT=${STEP_LIMIT:-30}
budget_start=$(date +%s)

# The test's own error output, for messages from commands whose output is
# redirected. Programs started through limited do not inherit it.
exec 9>&2

fail() {
  echo "FAIL: $*" >&9
  exit 1
}

# Starts the budget again (random.sh does so for every machine).
reset_budget() {
  budget_start=$(date +%s)
}

# Runs a command within the time left; a command that runs out of time fails
# the test with its name, the steps so far and the prefix's processes.
#   limited WHAT COMMAND...
limited() {
  local what=$1 now left start status
  shift
  now=$(date +%s)
  left=$((TEST_BUDGET - (now - budget_start)))
  [ "$left" -le "$STEP_LIMIT" ] || left=$STEP_LIMIT
  [ "$left" -ge 1 ] || fail "out of time (${TEST_BUDGET} s) before: $what"
  start=$now
  if timeout -k 3 "$left" "$@" 9>&-; then status=0; else status=$?; fi
  printf '%s s: %s\n' "$(($(date +%s) - start))" "$what" >>"$WORK/steps.log"
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    {
      echo "steps (seconds each):"
      sed 's/^/  /' "$WORK/steps.log"
      echo "processes of this prefix:"
      prefix_processes | sed 's/^/  /'
    } >&9
    fail "did not finish within $left s: $what"
  fi
  return "$status"
}

# The processes started for this test's prefix, as "PID command line".
prefix_processes() {
  local dir
  for dir in /proc/[0-9]*; do
    if tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qxF "WINEPREFIX=${WINEPREFIX:-}"; then
      echo "${dir#/proc/} $(tr '\0' ' ' <"$dir/cmdline" 2>/dev/null)"
    fi
  done
}

# Compares two files and shows the difference when they differ.
expect_same() { # expected actual what
  if ! diff -u "$1" "$2" >&2; then fail "$3 differs from what is expected"; fi
}

wine() {
  limited "wine $*" "$WINE_LOADER" "$@"
}

# Starts the prefix's own server, so that it does not stop and start again
# between the test's Wine processes. It stays 20 s after the last process
# ends, not for ever: end_prefix stops it at once, and a test killed before
# end_prefix runs leaves no server behind for long. Its output goes to a
# file: a server that held CTest's output pipe would keep the test open
# after the script ended.
start_server() {
  limited "wineserver -p20" "$WINESERVER" -p20 </dev/null >>"$WORK/wine.log" 2>&1
}

# Debian's Wine keeps a prefix's server socket below a temporary directory
# whose name it writes to the prefix's file "wineserver". A copy of the base
# prefix would share that directory with every other copy, and copies made
# one after another often get the same inode, so the same socket path, as the
# copy before. Without the file Wine makes a directory for the copy alone;
# end_prefix removes it.
own_server_dir() {
  rm -f "$WINEPREFIX/wineserver"
}

remove_server_dir() {
  local name
  name=$(cat "$WINEPREFIX/wineserver" 2>/dev/null) || return 0
  case $name in
  wine-??????) rm -rf "${TMPDIR:-/tmp}/$name" ;;
  esac
}

# A fresh copy of the prepared prefix for this test, with its own
# wineserver kept running until the test ends; the DLL and the probe are
# copied to C:\qv. Version is a Wine version name (win98, winxp, ...).
new_prefix() { # version
  # A try that CTest killed at its time limit ran no end_prefix: its server
  # and processes may still be writing to the prefix. Stop them first, or
  # the retry's removal races them ("Directory not empty").
  if [ -d "$WORK/prefix" ]; then
    (
      export WINEPREFIX="$WORK/prefix"
      timeout 10 "$WINESERVER" -k >/dev/null 2>&1 || true
      timeout 10 "$WINESERVER" -w >/dev/null 2>&1 || true
      remove_server_dir
    )
  fi
  rm -rf "$WORK"
  mkdir -p "$WORK"
  export WINEPREFIX="$WORK/prefix"
  trap end_prefix EXIT
  cp -a "$BASE_PREFIX" "$WINEPREFIX"
  own_server_dir
  start_server
  QV="$WINEPREFIX/drive_c/qv"
  mkdir -p "$QV"
  cp "$QVINST98_DLL" "$QV/QVInst98.dll"
  cp "$QVPROBE" "$QV/qvprobe.exe"
  # The first process starts Wine's boot (services, devices) and waits for it;
  # what those processes print goes to the log, not to the test's output.
  set_version "$1" </dev/null >>"$WORK/wine.log" 2>&1
}

set_version() { # version
  wine reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null
}

# Stops every process of the prefix and its server, then removes the prefix
# (large); what a failure needs is kept in $WORK beside it.
end_prefix() {
  local status=$?
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    timeout 10 "$WINESERVER" -k >/dev/null 2>&1 || true
    timeout 10 "$WINESERVER" -w >/dev/null 2>&1 || true
    remove_server_dir
  fi
  if [ -n "${XVFB_PID:-}" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  rm -rf "${WINEPREFIX:-}"
  exit $status
}

# Runs the probe in the prefix: probe [OPTIONS] COMMAND ... with the DLL
# path filled in for exports and call.
probe() {
  wine 'C:\qv\qvprobe.exe' "$@"
}

# Calls exports in one process; prints NAME=RESULT lines. The trace of the
# calls goes to $WORK/$1.trace.
call_dll() { # name step...
  local name=$1
  shift
  rm -f "$QV/$name.trace"
  probe --trace "C:\\qv\\$name.trace" call 'C:\qv\QVInst98.dll' "$@" >"$WORK/$name.out"
  if [ -f "$QV/$name.trace" ]; then cp "$QV/$name.trace" "$WORK/$name.trace"; else : >"$WORK/$name.trace"; fi
}

# Imports a .reg file (REGEDIT4 text) into the prefix's registry.
import_reg() { # file
  cp "$1" "$QV/import.reg"
  wine regedit /S 'C:\qv\import.reg'
}

# Writes the keys below KEY in a canonical text: one line per key and one
# per value (key path, tab, value line), continuation lines joined, sorted,
# so that a registry can be compared with a hand-written expectation.
# A missing key gives no lines.
export_reg() { # key output
  rm -f "$QV/export.reg"
  wine regedit /E 'C:\qv\export.reg' "$1" 2>/dev/null || true
  if [ -f "$QV/export.reg" ]; then
    iconv -f UTF-16 -t UTF-8 "$QV/export.reg" | canonical_reg
  fi >"$2"
}

# The two trees the library reads, HKLM\Enum and
# HKLM\System\CurrentControlSet, as one regedit file (UTF-8). A key that
# gives no export is asked for a second time: once in about 1,300 random
# machines an existing HKLM\Enum gave none (steps.log notes each retry).
export_trees() { # output
  local key
  {
    echo 'Windows Registry Editor Version 5.00'
    for key in 'HKEY_LOCAL_MACHINE\Enum' 'HKEY_LOCAL_MACHINE\System\CurrentControlSet'; do
      rm -f "$QV/export.reg"
      wine regedit /E 'C:\qv\export.reg' "$key" >/dev/null 2>&1 || true
      if [ ! -f "$QV/export.reg" ]; then
        echo "no export of $key: asked again" >>"$WORK/steps.log"
        wine regedit /E 'C:\qv\export.reg' "$key" >/dev/null 2>&1 || true
      fi
      if [ -f "$QV/export.reg" ]; then
        iconv -f UTF-16 -t UTF-8 "$QV/export.reg" | tr -d '\r' | sed 1d
      fi
    done
  } >"$1"
}

canonical_reg() {
  tr -d '\r' | awk '
    /^Windows Registry Editor/ || /^REGEDIT4/ { next }
    {
      line = $0
      sub(/^ +/, "", line)
      if (line ~ /\\$/) { sub(/\\$/, "", line); pending = pending line; next }
      line = pending line; pending = ""
      if (line == "") next
      if (line ~ /^\[/) { key = line; print key; next }
      print key "\t" line
    }' | LC_ALL=C sort
}

# The lines of a canonical registry FILE that lie in KEYS (below
# HKEY_LOCAL_MACHINE, one per line): each key and everything below it, any
# case.
select_keys() { # keys file
  echo "$1" | while read -r key; do
    [ -n "$key" ] || continue
    root="[HKEY_LOCAL_MACHINE\\$key" awk '
      BEGIN { root = tolower(ENVIRON["root"]) }
      {
        path = tolower($0)
        sub(/\t.*/, "", path)
        if (path == root "]" || index(path, root "\\") == 1) print
      }' "$2"
  done | LC_ALL=C sort
}

# Of a list of differences or rules (stdin), the lines for this width: a
# line that begins with "32-bit: " or "64-bit: " holds for that width only.
this_width() {
  sed -e "s/^${QVINST98_BITS}-bit: //" -e '/^[0-9][0-9]-bit: /d'
}

# Runs CALLS over the simulated Windows (the Linux qvinst98 tool) for
# VERSION, with SIM_OPTIONS, from the registry Wine's calls started from, and
# writes what differs from Wine's results to $WORK/differences, sorted, one
# "SIDE WHAT LINE" each: SIDE is where the line is (wine or sim), WHAT is
# answer, registry (of KEYS) or, in a trace build, trace.
#   sim_differences SEED WINE_RESULTS
# WINE_RESULTS holds before.reg, calls.out, calls.trace and registry.out.
sim_differences() {
  local seed=$1 results=$2 top newer file
  [ -n "${QVINST98_SIM_TOOL:-}" ] ||
    fail "QVINST98_SIM_TOOL is not set: the Wine suite's CMake builds the qvinst98 tool or takes it from -DQVINST98_SIM_TOOL"
  [ -x "$QVINST98_SIM_TOOL" ] || fail "no qvinst98 tool at $QVINST98_SIM_TOOL: build this build tree first"
  # A tool older than the sources would compare the DLL with another library.
  top="$DATA/../.."
  newer=$(find "$top/src" "$top/platform/sim" "$top/tools" "$top"/platform/*.h -type f \
    \( -name '*.cpp' -o -name '*.h' \) -newer "$QVINST98_SIM_TOOL" | head -n 1)
  [ -z "$newer" ] || fail "$QVINST98_SIM_TOOL is older than $newer: build this build tree again"
  for file in before.reg calls.out calls.trace registry.out; do
    [ -f "$results/$file" ] || fail "the Wine run left no $file in $results"
  done

  # The seed must be part of the starting registry (key names as Wine stores
  # them may differ in case).
  lower_keys() { awk -F '\t' -v OFS='\t' '{ $1 = tolower($1); print }' | LC_ALL=C sort; }
  canonical_reg <"$seed" | lower_keys >"$WORK/seed.canonical"
  canonical_reg <"$results/before.reg" | lower_keys >"$WORK/before.canonical"
  LC_ALL=C comm -23 "$WORK/seed.canonical" "$WORK/before.canonical" >"$WORK/seed.missing"
  [ ! -s "$WORK/seed.missing" ] || {
    cat "$WORK/seed.missing" >&2
    fail "the registry before Wine's calls lacks these lines of the seed"
  }

  # shellcheck disable=SC2086 # SIM_OPTIONS and CALLS are lists.
  "$QVINST98_SIM_TOOL" --registry "$results/before.reg" --os "$VERSION" --trace \
    --save "$WORK/sim.reg" ${SIM_OPTIONS:-} $CALLS >"$WORK/sim.out" 2>"$WORK/sim.trace" || {
    cat "$WORK/sim.trace" >&2
    fail "the qvinst98 tool failed"
  }

  # Answers: the tool prints "NAME -> RESULT", the probe "NAME=RESULT".
  sed 's/ -> /=/' "$WORK/sim.out" >"$WORK/sim.answers"

  # The registry: the same canonical form as regedit's export, and of the
  # whole image only the keys Wine exported (each key and everything below).
  if [ "$(head -c 2 "$WORK/sim.reg" | od -An -tx1 | tr -d ' ')" = fffe ]; then
    iconv -f UTF-16 -t UTF-8 "$WORK/sim.reg"
  else
    cat "$WORK/sim.reg"
  fi | canonical_reg >"$WORK/sim.canonical"
  select_keys "$KEYS" "$WORK/sim.canonical" >"$WORK/sim.registry"

  differ() { # what wine-file sim-file
    diff --unchanged-line-format= --old-line-format="wine $1 %L" \
      --new-line-format="sim $1 %L" "$2" "$3" || [ $? -eq 1 ] || fail "cannot compare $2 with $3"
  }
  {
    differ answer "$results/calls.out" "$WORK/sim.answers"
    differ registry "$results/registry.out" "$WORK/sim.registry"
    if [ "$QVINST98_TRACE" = ON ]; then
      tr -d '\r' <"$results/calls.trace" >"$WORK/wine.trace"
      differ trace "$WORK/wine.trace" "$WORK/sim.trace"
    fi
  } >"$WORK/differences.unsorted"
  LC_ALL=C sort -o "$WORK/differences" "$WORK/differences.unsorted"
}
