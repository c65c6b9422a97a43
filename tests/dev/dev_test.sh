#!/bin/bash
# ./dev when the package registry fails: its functions run with a stand-in
# for apt-get that fails as a registry in the middle of a mirror sync does,
# the end of a run without 32-bit Wine, and the stages of a whole run (the
# long loops, each stage's time) with stand-ins for the build and test tools.
#
#   dev_test.sh DEV TMPDIR
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 DEV TMPDIR" >&2
  exit 2
fi
dev=$1
tmp=$2
rm -rf "$tmp"
mkdir -p "$tmp"
err=$tmp/err
# shellcheck source=../tool/checks.sh
. "$(dirname "$0")/../tool/checks.sh"

# The stand-in: "update" and "install" each fail their first FAIL_UPDATE
# and FAIL_INSTALL calls as the registry did; every call is counted.
cat >"$tmp/apt-get" <<'END'
#!/bin/sh
echo "$1" >>"$CALLS"
n=$(grep -cx "$1" "$CALLS")
case $1 in
update)
  echo "Hit:1 http://mirror.invalid/debian bookworm InRelease"
  if [ "$n" -le "$FAIL_UPDATE" ]; then
    echo "Err:4 http://mirror.invalid/debian-security bookworm-security/main i386 Packages"
    echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
  fi ;;
install)
  if [ "$n" -le "$FAIL_INSTALL" ]; then
    echo "Some packages could not be installed."
    echo "The following packages have unmet dependencies:"
    echo " libcurl4:i386 : Depends: libbrotli1:i386 (>= 0.6.0) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100
  fi
  echo "Setting up wine32:i386 (8.0~repack-4) ..." ;;
esac
END
chmod +x "$tmp/apt-get"
export QVINST98_APT_GET=$tmp/apt-get QVINST98_RETRY_PAUSE=0 QVINST98_WINE32_LOADER=/bin/true
export CALLS=$tmp/calls

# Runs setup_wine32 from ./dev in a shell of its own, on a machine that runs
# i386 programs and has the i386 architecture but not wine32.
setup() { # fail_update fail_install
  : >"$CALLS"
  FAIL_UPDATE=$1 FAIL_INSTALL=$2 bash -c '
    . "$1"
    can_run_i386() { return 0; }
    missing() { echo "$@"; }
    dpkg() { case $1 in --print-architecture) echo amd64 ;; --print-foreign-architectures) echo i386 ;; esac; }
    setup_wine32' _ "$dev" >"$tmp/out" 2>"$tmp/err"
  status=$?
  updates=$(grep -cx update "$CALLS")
  installs=$(grep -cx install "$CALLS")
}
expect_calls() { # updates installs
  if [ "$updates" -eq "$1" ] && [ "$installs" -eq "$2" ]; then ok; else
    fail "apt-get update ran $updates times, install $installs times; expected $1 and $2"
  fi
}

begin "an i386 index that fails to load does not stop the install, which succeeds"
setup 3 0
expect_status 0
expect_calls 3 1

begin "a registry that recovers: the second try of each succeeds"
setup 1 1
expect_status 0
expect_calls 2 2
grep -q "failed (try 1 of 3), again in 0 s: E: Unable to correct problems" "$tmp/err" && ok ||
  fail "no retry message for the install: $(cat "$tmp/err")"

begin "a registry outage: three tries each, and the reason quotes the first error line"
setup 9 9
expect_status 1
expect_calls 3 3
reason=$(cat "$tmp/out")
case $reason in
"wine32:i386 could not be installed: E: Unable to correct problems, you have held broken packages. (apt-get update: E: Failed to fetch "*"Mirror sync in progress? [IP: 192.0.2.1 80])") ok ;;
*) fail "the reason was: $reason" ;;
esac

begin "a run without 32-bit Wine: its suites stand out, and the last line says what was not proven"
bash -c '
  . "$1"
  wine32=no
  why_not="wine32:i386 could not be installed: E: Unable to correct problems"
  ctest() { echo "100% tests passed, 0 tests failed out of ${COUNT:-196}"; echo "Total Test time (real) = 1.00 sec"; }
  run_ctest default
  COUNT=4 run_ctest mingw32
  COUNT=45 run_ctest mingw64
  print_summary' _ "$dev" >"$tmp/run" 2>&1
status=$?
expect_status 0
grep -qx 'mingw32: 100% tests passed, 0 tests failed out of 4 (1.00 sec) <-- static checks only: 32-bit behaviour suite NOT RUN' "$tmp/run" &&
  ok || fail "the mingw32 line does not stand out: $(cat "$tmp/run")"
grep -qx 'mingw64: 100% tests passed, 0 tests failed out of 45 (1.00 sec)' "$tmp/run" && ok || fail "mingw64 line: $(cat "$tmp/run")"
last=$(tail -n 1 "$tmp/run")
case $last in
"NOT RUN: the 32-bit behaviour suite (32-bit DLL under Wine): wine32:i386 could not be installed: E: Unable to correct problems. The product DLL's behaviour was NOT proven in this run.") ok ;;
*) fail "the last line was: $last" ;;
esac

# A whole ./dev test run with stand-ins for the build and test tools: each
# call is logged with the loop counts it saw, and the clock moves 75 s at
# every reading.
stages() { # arguments of run_test_stages
  : >"$tmp/log"
  echo 0 >"$tmp/clock"
  T=$tmp bash -c '
    . "$1"
    shift
    wine32=no
    why_not="this machine does not execute i386 programs"
    now() { local t; t=$(cat "$T/clock"); echo $((t + 75)) >"$T/clock"; echo "$t"; }
    run_start=$(now)
    install() { :; }
    cmake() { echo "cmake $*" >>"$T/log"; }
    ctest() {
      echo "ctest $* kills=$QVINST98_KILL_POINTS races=$QVINST98_RACE_ROUNDS sweep=$QVINST98_FAULT_SWEEP" >>"$T/log"
      echo "100% tests passed, 0 tests failed out of 3"
      echo "Total Test time (real) = 1.00 sec"
    }
    run_test_stages "$@"' _ "$dev" "$@" >"$tmp/run" 2>&1
  status=$?
}
logged() { # what pattern: a line of the log matches the pattern (grep -E)
  grep -qE "$2" "$tmp/log" && ok || fail "$1: no call matched '$2': $(cat "$tmp/log")"
}

begin "./dev test --long: 500 kills, 50 races, the full sweep, 10 min of fuzzing, 1,000 random machines"
stages --long
expect_status 0
logged "the default tree" '^ctest --preset default --timeout 7200 kills=500 races=50 sweep=full$'
logged "the sanitizers" '^ctest --preset asan --timeout 7200 kills=500 races=50 sweep=full$'
logged "fuzzing" '^cmake --preset fuzz -DQVINST98_FUZZ_SECONDS=600$'
logged "the 32-bit DLL" '^cmake --preset mingw32 --no-warn-unused-cli .*-DQVINST98_RANDOM_MACHINES=1000$'
# Without 32-bit Wine the thousand go through the twin as well.
logged "the twin" '^cmake --preset mingw64 --no-warn-unused-cli .*-DQVINST98_RANDOM_MACHINES=1000$'
logged "the Windows trees" '^cmake --preset mingw64-trace --no-warn-unused-cli -DQVINST98_SIM_TOOL=.*/build/default/tools/qvinst98 '

begin "./dev test: the short loops, and no time limit of its own"
stages
expect_status 0
logged "the default tree" '^ctest --preset default kills=30 races=3 sweep=quick$'
logged "fuzzing" '^cmake --preset fuzz -DQVINST98_FUZZ_SECONDS=20$'
logged "the 32-bit DLL" '^cmake --preset mingw32 --no-warn-unused-cli .*-DQVINST98_RANDOM_MACHINES=25$'
grep -q -- '--timeout' "$tmp/log" && fail "a time limit in the normal run: $(cat "$tmp/log")" || ok

begin "the summary gives each stage's wall time, then the total; the NOT RUN line stays last"
times=$(sed -n '/^== time of each stage/,/^total:/p' "$tmp/run")
expected="== time of each stage (build and tests)
default: 1 min 15 s
asan: 1 min 15 s
release: 1 min 15 s
fuzz: 1 min 15 s
mingw32: 1 min 15 s
mingw32-trace: 1 min 15 s
mingw64: 1 min 15 s
mingw64-trace: 1 min 15 s
total: 21 min 15 s"
[ "$times" = "$expected" ] && ok || fail "the times were: $times"
case $(tail -n 1 "$tmp/run") in
"NOT RUN: the 32-bit behaviour suite"*) ok ;;
*) fail "the last line was: $(tail -n 1 "$tmp/run")" ;;
esac

begin "a stage that fails is timed too, and fails the run"
: >"$tmp/log"
echo 0 >"$tmp/clock"
T=$tmp bash -c '
  . "$1"
  now() { local t; t=$(cat "$T/clock"); echo $((t + 5)) >"$T/clock"; echo "$t"; }
  timed broken false || echo "status $?"
  printf "%s\n" "${stage_times[@]}"' _ "$dev" >"$tmp/run" 2>&1
[ "$(cat "$tmp/run")" = "status 1
broken: 5 s" ] && ok || fail "a failing stage gave: $(cat "$tmp/run")"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
