# Shared by the Wine harness scripts; sourced, not run.
#
# CTest passes: WINE64, WINESERVER64 (64-bit Wine), QVINST98_DLL, QVPROBE,
# BASE_PREFIX (prepared once by prefix.sh), WORK (this test's directory),
# DATA (tests/wine in the source tree), QVINST98_TRACE (ON or OFF).
set -eu

export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Compares two files and shows the difference when they differ.
expect_same() { # expected actual what
  if ! diff -u "$1" "$2" >&2; then fail "$3 differs from what is expected"; fi
}

wine() { "$WINE64" "$@"; }

# A fresh copy of the prepared prefix for this test, with its own
# wineserver kept running until the test ends; the DLL and the probe are
# copied to C:\qv. Version is a Wine version name (win98, winxp, ...).
new_prefix() { # version
  rm -rf "$WORK"
  mkdir -p "$WORK"
  export WINEPREFIX="$WORK/prefix"
  cp -a "$BASE_PREFIX" "$WINEPREFIX"
  trap end_prefix EXIT
  "$WINESERVER64" -p
  QV="$WINEPREFIX/drive_c/qv"
  mkdir -p "$QV"
  cp "$QVINST98_DLL" "$QV/QVInst98.dll"
  cp "$QVPROBE" "$QV/qvprobe.exe"
  wine reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null
}

end_prefix() {
  local status=$?
  "$WINESERVER64" -k 2>/dev/null || true
  "$WINESERVER64" -w 2>/dev/null || true
  if [ -n "${XVFB_PID:-}" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  # The prefix is large; what a failure needs is kept in $WORK beside it.
  rm -rf "$WINEPREFIX"
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
  probe --trace "C:\\qv\\$name.trace" call 'C:\qv\QVInst98.dll' "$@" >"$WORK/$name.out"
  cp "$QV/$name.trace" "$WORK/$name.trace"
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
