#!/bin/bash
# ./dev when the package registry fails: its functions run with a stand-in
# for apt-get that fails as a registry in the middle of a mirror sync does,
# and the end of a run without 32-bit Wine.
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

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
